# The flash module's pure parts: the options it passes, the twin's table and the run record it reads,
# the messages it gives; and its lock.
import os
import sys
import tempfile

import pytest

# The collection's code imports itself as ansible_collections.zorfl.bios.
_top = tempfile.mkdtemp()
os.makedirs(os.path.join(_top, 'ansible_collections', 'zorfl'))
os.symlink(os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..', 'ansible')),
           os.path.join(_top, 'ansible_collections', 'zorfl', 'bios'))
sys.path.insert(0, _top)
from ansible_collections.zorfl.bios.plugins.module_utils import runrecord as rr  # noqa: E402
from ansible_collections.zorfl.bios.plugins.module_utils import zorflash as z  # noqa: E402
from ansible_collections.zorfl.bios.plugins.modules import flash  # noqa: E402


@pytest.mark.parametrize('params, args', [
    ({}, []),
    (dict(boot_block=True, nvram=True), ['/pbn']),
    (dict(destroy_cmos=True, nvram=True), ['/pnc']),
    (dict(non_critical='all'), ['/c']),
    (dict(non_critical='3', boot_block=True), ['/pb', '/c3']),
    (dict(main=False, non_critical='all'), ['/k']),
    (dict(main=False, non_critical='0', destroy_cmos=True), ['/pc', '/k0']),
    (dict(skip_rom_id_check=True, signature=True, skip_equal=True), ['/n', '/s', '/e']),
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


@pytest.mark.parametrize('a, b, spans, at', [
    (b'\0' * 0x80000, b'\0' * 0x80000, None, None),
    (b'\0' * 0x80000, b'\0' * 0x10 + b'\1' + b'\0' * (0x80000 - 0x11), None, 0x80010),
    (b'\0' * 0x200000, b'\0' * 0x1FFFFF + b'\1', None, 0x1FFFFF),
    (b'\0' * 0x80000, b'\0' * 0x7FFFF, None, 0xFFFFF),
    # Only the spans count: a byte outside them is not a difference.
    (b'\0' * 0x80000, b'\0' * 0x10 + b'\1' + b'\0' * (0x80000 - 0x11), [(0x90000, 0x9ffff)], None),
    (b'\0' * 0x80000, b'\0' * 0x10010 + b'\1' + b'\0' * (0x80000 - 0x10011), [(0x80000, 0x8ffff),
                                                                            (0x90000, 0x9ffff)], 0x90010),
])
def test_first_difference(a, b, spans, at):
    assert rr.first_difference(a, b, spans) == at


RECORD = (b'format=2\nepoch=1796920862\npid=77\nboot_id=b1\ntime=2026-12-10 16:41:02 UTC\n'
          b'backup=/var/lib/b\\\\ x\\x0a\\xffy.rom\nbackup_sha256=ab\nregions=mbn\nrom_id_erased=1\n'
          b'touched=0x00080000-0x000dffff,0x000f0000-0x000fffff\npending=1\nnew_key=kept\nbad=\\q\nnoequals\n'
          b'changed_epoch=1796920862\nchanged_boot_id=b1\n')


def test_record_reads_exact_bytes_and_ranges():
    r = rr.parse(RECORD)
    assert os.fsencode(r['backup']) == b'/var/lib/b\\ x\n\xffy.rom'
    assert r['new_key'] == 'kept' and r['bad'] == '' and 'noequals' not in r
    assert rr.touched(r, 0x80000) == [(0x80000, 0xdffff), (0xf0000, 0xfffff)]
    assert rr.touched({'outcome': 'running'}, 0x80000) == [(0x80000, 0xfffff)]  # an older record: all of it
    assert rr.touched({'format': '2', 'touched': '0x8-'}, 0x80000) == [(0x80000, 0xfffff)]
    assert rr.restore_command(dict(r, backup='/b.rom')) == 'zorflashlnx2 /i/b.rom /pbn /n'
    long_name = '/d' * 70 + '/b.rom'
    assert rr.restore_command({'backup': long_name, 'format': '2'}) == "cd %s && zorflashlnx2 /ib.rom" % ('/d' * 70)
    with pytest.raises(ValueError):
        rr.ranges('0x00080000-0x0007ffff')


@pytest.mark.parametrize('record, boot, required', [
    ({'format': '2', 'pending': '0', 'changed_boot_id': 'b1', 'changed_epoch': '100'}, ('b1', 50), True),
    ({'format': '2', 'pending': '0', 'changed_boot_id': 'b1', 'changed_epoch': '100'}, ('b2', 50), False),
    ({'format': '2', 'pending': '1', 'changed_boot_id': 'b1', 'changed_epoch': '100'}, ('b1', 50), False),
    ({'format': '2', 'pending': '0', 'changed_boot_id': '', 'changed_epoch': '100'}, ('', 50), True),
    ({'format': '2', 'pending': '0', 'changed_boot_id': '', 'changed_epoch': '100'}, ('', 150), False),
    ({'format': '2', 'pending': '0', 'changed_boot_id': '', 'changed_epoch': ''}, ('b1', 50), False),
    ({}, ('b1', 50), False),
])
def test_reboot_required(record, boot, required):
    assert rr.reboot_required(record, *boot) == required


class Refused(Exception):
    pass


class Module:
    def fail_json(self, **kw):
        raise Refused(kw['msg'])


def test_lock_waits_then_says_why(tmp_path):
    held = flash.take_lock(Module(), str(tmp_path), 0)
    with pytest.raises(Refused, match='another task is working on this host .* waited 1 s'):
        flash.take_lock(Module(), str(tmp_path), 1)
    os.close(held)
    os.close(flash.take_lock(Module(), str(tmp_path), 0))


PENDING = dict(format='2', backup='/b.rom', regions='mbnc', rom_id_erased='0')


@pytest.mark.parametrize('rc, advice, out, words', [
    (68, z.advice_partly(PENDING, '/b.rom'), '\nERROR: Unable to write block 0x000A0000\n\n The flash may be partly\n',
     ['Unable to write block 0x000A0000; The flash may be partly (exit 68: flash block write failed',
      'do not restart', 'run the same task again, or restore the backup at /b.rom (zorflashlnx2 /i/b.rom /pbn /c)']),
    (137, z.advice_partly(PENDING, None), '', ['no output (exit 137: killed by signal 9)', 'do not restart',
                                               'there is no backup to restore']),
    (68, z.REHEARSAL_ADVICE, '\nERROR: Unable to write block 0x000A0000\n\n',
     ['exit 68', 'flash of the host was not touched']),
    (4, z.advice_untouched(4), 'banner\n\nERROR: ROM file ROMID is not compatible with existing BIOS ROMID.\n\n',
     ['banner; ROM file ROMID is not compatible', 'exit 4:', 'the flash was not changed']),
    (21, z.advice_untouched(21), '\nERROR: On battery power: connect the charger and run again\n\n',
     ['On battery power: connect the charger and run again', 'exit 21: on battery power',
      'connect the charger and run the task again']),
    (99, z.advice_untouched(99), 'last words\n',
     ['last words', 'exit 99: see the EXIT STATUS', 'the flash was not changed']),
])
def test_failure_msg(rc, advice, out, words):
    msg = z.failure_msg('step', rc, out, advice)
    for w in words:
        assert w in msg
    assert ('do not restart' in msg) == (advice.startswith('the flash is partly'))


def test_screen_lines_and_rom_id():
    assert z.screen_lines(' Reading ... \r Reading ... 0x1 (0%)\r Reading ... done  \n\n ROM ID = ZX512A01') == \
        [' Reading ... done', ' ROM ID = ZX512A01']
    assert z.rom_id(' ROM ID = ZX512A01') == 'ZX512A01'
