# -*- coding: utf-8 -*-
# Copyright: the zorflashlnx2 authors
# GNU General Public License v2.0+ (see COPYING or https://www.gnu.org/licenses/gpl-2.0.txt)
"""The pure parts of the flash module: options to the tool's arguments, the twin's
`show changes` table, exit meanings and the messages built from them."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import re

from ansible_collections.zorfl.bios.plugins.module_utils import runrecord

NC_CHOICES = ['none', 'all'] + [str(i) for i in range(8)]

# What each exit status of the tool means, in the words of its manual page.
EXIT_MEANINGS = {
    1: 'invalid command line',
    2: 'the flash interface header was not found, or its records lie outside BIOS memory',
    3: 'the ROM file size differs from the ROM size',
    4: "the ROM file's ROM ID differs from the BIOS's: the file is made for another machine",
    5: 'the boot-block region of the ROM file does not sum to zero',
    6: 'more than 8 non-critical blocks in the ROM file',
    8: 'the ROM file needs the boot block and NVRAM programmed (boot_block and nvram)',
    16: 'the kernel driver failed to load or open',
    17: 'the I/O privilege level could not be raised (a locked-down kernel refuses it)',
    18: 'non-critical blocks only, and the ROM file has none',
    19: 'another zorflashlnx2 is running, or the run lock cannot be taken',
    20: 'stopped by a signal; the flash was not changed',
    21: 'on battery power: a system battery and no mains supply online; the flash was not changed',
    32: '/dev/mem failed to open',
    33: '/dev/mem failed to close',
    34: 'out of memory',
    36: 'transfer buffer not obtained from the kernel driver',
    37: 'transfer buffer not released',
    38: 'system BIOS segment not mapped',
    39: 'system BIOS window not unmapped',
    40: 'flash-info segment not mapped',
    41: 'flash-info window not unmapped',
    48: 'no usable input ROM file',
    49: 'ROM file read failed',
    50: 'save file not created',
    51: 'save file write failed',
    64: 'the BIOS refused to open its flash interface',
    65: 'the BIOS reported failure on closing its flash interface',
    66: 'flash block read failed',
    67: 'flash block erase failed; the flash is partly programmed',
    68: 'flash block write failed; the flash is partly programmed',
    69: 'flash block did not read back as the file after writing; the flash is partly programmed',
    70: 'the BIOS block table holds a block that cannot be programmed; nothing was erased',
    128: 'compare: ROM size check failed',
    129: 'compare: ROM ID check failed',
    130: 'compare: boot-block check failed',
}
AFTER_PROGRAMMING = (33, 37, 39, 41, 65)


class OptionError(Exception):
    pass


def tool_options(p):
    """The tool's selection arguments for the module parameters p, or OptionError for a
    combination the tool would refuse or silently change."""
    nc = p.get('non_critical') or 'none'
    if nc not in NC_CHOICES:
        raise OptionError('non_critical must be one of %s, not %r' % (', '.join(NC_CHOICES), nc))
    main = p.get('main', True)
    if not main and nc == 'none':
        raise OptionError('main: false programs only non-critical blocks: set non_critical to all or 0-7')
    if not main and (p.get('boot_block') or p.get('nvram')):
        # /k drops the letters b and n: refuse rather than program less than was asked.
        raise OptionError('main: false (non-critical blocks only) cannot program the boot block or NVRAM: '
                          'set main: true, or boot_block and nvram to false')
    args = []
    letters = ('b' if p.get('boot_block') else '') + ('n' if p.get('nvram') else '') + \
        ('c' if p.get('destroy_cmos') else '')
    if letters:
        args.append('/p' + letters)
    if nc != 'none':
        args.append(('/c' if main else '/k') + ('' if nc == 'all' else nc))
    if p.get('skip_rom_id_check'):
        args.append('/n')
    if p.get('signature'):
        args.append('/s')
    if p.get('skip_equal'):
        args.append('/e')
    return args


def check_paths(rom, backup, limit=127):
    """An error text for names the tool cannot take, or None."""
    for what, name in (('rom', rom), ('backup', backup)):
        if name is not None and len(name) > limit:
            return '%s is longer than %d characters, which the tool refuses: %s' % (what, limit, name)
    return None


_ROW = re.compile(r'^\s*(\d+)\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)\s+(.+)$')


def parse_changes(text):
    """The block rows of `zorvpc show TWIN changes`: columns are separated by two or more
    spaces, and a column may hold single spaces ("boot block", "partly written")."""
    blocks = []
    for line in text.splitlines():
        m = _ROW.match(line)
        if not m:
            continue
        rest = re.split(r'\s{2,}', m.group(4).strip())
        if len(rest) < 3:
            continue
        blocks.append({'index': int(m.group(1)), 'address': '0x%08X' % int(m.group(2), 16),
                       'size': int(m.group(3), 16), 'kind': rest[0], 'last_run': rest[1],
                       'now': '  '.join(rest[2:])})
    return blocks


def changed_blocks(blocks):
    """The blocks the rehearsal left different from the backup."""
    return [b for b in blocks if b['now'] != 'as in the backup']


def programmed_spans(blocks):
    """The flash spans of the twin's rows that the rehearsal erased or wrote: the blocks the
    command programs."""
    return [(int(b['address'], 16), int(b['address'], 16) + b['size'] - 1) for b in blocks
            if b['last_run'] != 'untouched']


def screen_lines(text):
    """Output as a terminal leaves it: a line redrawn with carriage returns keeps its last form."""
    return [line.rsplit('\r', 1)[-1].rstrip() for line in text.split('\n') if line.rsplit('\r', 1)[-1].strip()]


def words(out):
    """The tool's own words: every line it left on the screen, the ERROR frame and its plain lines."""
    return '; '.join(line.strip()[len('ERROR: '):] if line.strip().startswith('ERROR: ') else line.strip()
                     for line in screen_lines(out))


def rom_id(out):
    m = re.search(r'ROM ID = (.{0,8})', out)
    return m.group(1).rstrip('\0 \n') if m else None


def image_rom_id(data):
    """The ROM ID an image carries, at 32 bytes before its end."""
    return data[-32:-24].rstrip(b'\0 \xff').decode('latin-1') if len(data) >= 32 else ''


def meaning(rc):
    if rc in EXIT_MEANINGS:
        return EXIT_MEANINGS[rc]
    if rc < 0 or rc > 128:
        return 'killed by signal %d' % (-rc if rc < 0 else rc - 128)
    return 'see the EXIT STATUS section of zorflashlnx2(8)'


def advice_untouched(rc):
    """What the operator does after a failure that left the flash as it was."""
    if rc == 4:
        return 'the flash was not changed; use the ROM file made for this machine (or skip_rom_id_check)'
    if rc in (19, 20):
        return 'the flash was not changed; run the task again'
    if rc == 21:
        return 'the flash was not changed; connect the charger and run the task again'
    return 'the flash was not changed; fix the cause and run the task again'


REHEARSAL_ADVICE = 'the flash of the host was not touched: the command would fail there too; fix the cause first'


def way_back(record, backup):
    """The restore, when the record names a backup that still holds its bytes."""
    if not backup:
        return 'there is no backup to restore'
    return 'restore the backup at %s (%s)' % (backup, runrecord.restore_command(record))


def advice_partly(record, backup):
    """What the operator does while the flash may be partly programmed."""
    return ('the flash is partly programmed: do not restart or power off the machine; run the same task again, '
            'or %s' % way_back(record, backup))


def options_of(record):
    """The module options that program what an unfinished run touched."""
    regions = record.get('regions', '')
    names = [n for c, n in (('b', 'boot_block'), ('n', 'nvram'), ('c', 'non_critical')) if c in regions]
    if record.get('rom_id_erased') == '1':
        names.append('skip_rom_id_check')
    return ', '.join(names) or 'the same choice of blocks'


def failure_msg(step, rc, out, advice):
    return '%s: %s (exit %d: %s); %s' % (step, words(out) or 'no output', rc, meaning(rc), advice)
