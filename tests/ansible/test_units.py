# The flash module's pure parts: the options it passes, the twin's table it reads, the messages it gives.
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', '..', 'ansible', 'plugins', 'module_utils'))
import zorflash as z  # noqa: E402


@pytest.mark.parametrize('params, args', [
    ({}, []),
    (dict(boot_block=True, nvram=True), ['/pbn']),
    (dict(destroy_cmos=True, nvram=True), ['/pnc']),
    (dict(non_critical='all'), ['/c']),
    (dict(non_critical='3', boot_block=True), ['/pb', '/c3']),
    (dict(main=False, non_critical='all'), ['/k']),
    (dict(main=False, non_critical='0', destroy_cmos=True), ['/pc', '/k0']),
    (dict(skip_rom_id_check=True, signature=True), ['/n', '/s']),
    (dict(main=False), 'set non_critical'),
    (dict(main=False, non_critical='all', boot_block=True), 'cannot program the boot block or NVRAM'),
    (dict(main=False, non_critical='2', nvram=True), 'cannot program the boot block or NVRAM'),
    (dict(non_critical='8'), 'must be one of'),
])
def test_tool_options(params, args):
    if isinstance(args, list):
        assert z.tool_options(params) == args
    else:
        with pytest.raises(z.OptionError, match=args):
            z.tool_options(params)


CHANGES = '''Last run against the captured backup (captured.rom), block by block:
  #  address     size        kind                  last run    flash now
  0  0x00080000  0x00010000  main                  rewritten   differs from the backup
  1  0x00090000  0x00010000  non-critical+NVRAM+boot block  rewritten   as in the backup
  2  0x000a0000  0x00010000  main                  partly written  erased, differs from the backup
  3  0x000b0000  0x00010000  main                  untouched   as in the backup
 12  0x000f8000  0x00008000  boot block            partly erased  outside the flash
1 erased, 3 rewritten, 1 untouched; the run was cut in block 2
'''


def test_parse_changes():
    rows = [(b['index'], b['address'], b['size'], b['kind'], b['last_run'], b['now'])
            for b in z.parse_changes(CHANGES)]
    assert rows == [
        (0, '0x00080000', 0x10000, 'main', 'rewritten', 'differs from the backup'),
        (1, '0x00090000', 0x10000, 'non-critical+NVRAM+boot block', 'rewritten', 'as in the backup'),
        (2, '0x000A0000', 0x10000, 'main', 'partly written', 'erased, differs from the backup'),
        (3, '0x000B0000', 0x10000, 'main', 'untouched', 'as in the backup'),
        (12, '0x000F8000', 0x8000, 'boot block', 'partly erased', 'outside the flash'),
    ]
    assert [b['index'] for b in z.changed_blocks(z.parse_changes(CHANGES))] == [0, 2, 12]


@pytest.mark.parametrize('a, b, at', [
    (b'\0' * 0x80000, b'\0' * 0x80000, None),
    (b'\0' * 0x80000, b'\0' * 0x10 + b'\1' + b'\0' * (0x80000 - 0x11), 0x80010),
    (b'\0' * 0x200000, b'\0' * 0x1FFFFF + b'\1', 0x1FFFFF),
    (b'\0' * 0x80000, b'\0' * 0x7FFFF, 0xFFFFF),
])
def test_first_difference(a, b, at):
    assert z.first_difference(a, b) == at


@pytest.mark.parametrize('rc, rehearsal, out, words', [
    (68, False, '\nERROR: Unable to write block 0x000A0000\n\n',
     ['Unable to write block 0x000A0000 (exit 68: flash block write failed',
      'run the same task again, or restore the backup at /b.rom (zorflashlnx2 /i/b.rom /pbn /c)']),
    (68, True, '\nERROR: Unable to write block 0x000A0000\n\n', ['exit 68', 'flash of the host was not touched']),
    (4, False, 'banner\n\nERROR: ROM file ROMID is not compatible with existing BIOS ROMID.\n\n',
     ['ROM file ROMID is not compatible', 'exit 4:', 'the flash was not changed']),
    (21, False, '\nERROR: On battery power: connect the charger and run again\n\n',
     ['On battery power: connect the charger and run again', 'exit 21: on battery power',
      'connect the charger and run the task again']),
    (99, False, 'last words\n', ['last words', 'exit 99: see the EXIT STATUS', 'the flash was not changed']),
])
def test_failure_msg(rc, rehearsal, out, words):
    msg = z.failure_msg('step', rc, out, '/b.rom', dict(boot_block=True, nvram=True, destroy_cmos=True,
                                                        non_critical='all'), rehearsal)
    for w in words:
        assert w in msg
    assert ('do not restart' in msg) == (rc == 68 and not rehearsal)


def test_screen_lines_and_rom_id():
    assert z.screen_lines(' Reading ... \r Reading ... 0x1 (0%)\r Reading ... done  \n\n ROM ID = ZX512A01') == \
        [' Reading ... done', ' ROM ID = ZX512A01']
    assert z.rom_id(' ROM ID = ZX512A01') == 'ZX512A01'
