# -*- coding: utf-8 -*-
# Copyright: the zorflashlnx2 authors
# GNU General Public License v2.0+ (see COPYING or https://www.gnu.org/licenses/gpl-2.0.txt)
"""The tool's run record (/var/lib/zorflashlnx2/last-run): what the last programming run
touched, whether it finished, and which backup is the way back. Pure parts only."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import os
import re
import shlex

# A record is a few KB; anything much larger is not one.
RECORD_LIMIT = 1 << 20
# The tool refuses longer /i names; the restore command then starts in the backup's directory.
NAME_MAX = 127

_ESCAPE = re.compile(rb'\\(\\|x[0-9a-f]{2})')
_RANGE = re.compile(r'^0x([0-9a-f]{8})-0x([0-9a-f]{8})$')


def unescape(value):
    """The exact bytes of a value: printable ASCII as it is, a backslash as \\\\, any other byte
    as \\xHH."""
    if b'\\' in _ESCAPE.sub(b'', value):
        raise ValueError('a backslash that is not an escape')
    return _ESCAPE.sub(lambda m: b'\\' if m.group(1) == b'\\' else bytes([int(m.group(1)[1:], 16)]), value)


def parse(text):
    """The record's keys and values (str; bytes that are not UTF-8 kept as os.fsdecode keeps them).
    Keys the module does not know are kept; a value that does not decode counts as empty."""
    record = {}
    for line in text.split(b'\n'):
        key, sep, value = line.partition(b'=')
        if not sep or not re.match(rb'^[a-z_0-9]+$', key):
            continue
        try:
            record[key.decode('ascii')] = os.fsdecode(unescape(value))
        except ValueError:
            record[key.decode('ascii')] = ''
    return record


def ranges(text):
    """'0x00080000-0x0009ffff,0x000f0000-0x000fffff' as [(start, end)], ends inclusive."""
    out = []
    for part in (text or '').split(','):
        if not part:
            continue
        m = _RANGE.match(part)
        if not m or int(m.group(1), 16) > int(m.group(2), 16):
            raise ValueError('not a range of flash addresses: %r' % part)
        out.append((int(m.group(1), 16), int(m.group(2), 16)))
    return out


def rom_base(size):
    """The flash address of the image's first byte: the flash ends at 1 MB, or starts at 0 when larger."""
    return 0x100000 - size if size <= 0x100000 else 0


def first_difference(a, b, spans=None):
    """The flash address of the first byte where two images of one flash differ, within the spans
    [(start, end)] when given, or None."""
    base = rom_base(max(len(a), len(b)))
    for start, end in spans if spans is not None else [(base, base + max(len(a), len(b)) - 1)]:
        lo, hi = max(start - base, 0), max(end + 1 - base, 0)
        if a[lo:hi] == b[lo:hi]:
            continue
        n = min(len(a), len(b), hi)
        i = next((i for i in range(lo, n) if a[i] != b[i]), n)
        return base + i
    return None


def identity(record):
    """What tells one run's record from another's."""
    return tuple(record.get(k, '') for k in ('time', 'epoch', 'pid', 'boot_id', 'command'))


def reached_flash(before, after):
    """Whether a run wrote the record (it does so right before its first erase): the record after
    it is another run's than the one read before it."""
    return bool(after) and identity(after) != identity(before)


def pending(record):
    """Whether the flash may be partly programmed. A record without a format key (an older tool)
    says only how its run ended."""
    if 'format' not in record:
        return record.get('outcome', '') not in ('', 'finished')
    return record.get('pending') == '1'


def finished(record):
    return record.get('outcome') == 'finished'


def touched(record, image_size):
    """The spans an unfinished run may have left unlike the file: the record's, or, from an older
    tool that does not list them (or a list that does not read), the whole flash."""
    try:
        if 'format' in record:
            return ranges(record.get('touched', ''))
    except ValueError:
        pass
    base = rom_base(image_size)
    return [(base, base + image_size - 1)]


def reboot_required(record, boot_id, boot_time):
    """True while the host has not booted since its last finished programming run; never while
    the flash may be partly programmed."""
    if pending(record):
        return False
    changed_boot, changed_epoch = record.get('changed_boot_id', ''), record.get('changed_epoch', '')
    if changed_boot and boot_id:
        return changed_boot == boot_id
    if changed_epoch.isdigit() and boot_time:
        return int(changed_epoch) >= boot_time
    return False


def restore_command(record):
    """The command that programs the recorded backup back over every region the runs touched."""
    backup = record.get('backup', '')
    # An older record gives the letters in touched.
    regions = record.get('regions', '') if 'format' in record else record.get('touched', '')
    args = []
    letters = ''.join(c for c in 'bn' if c in regions)
    if letters:
        args.append('/p' + letters)
    if 'c' in regions:
        args.append('/c')
    if record.get('rom_id_erased') == '1':
        args.append('/n')
    directory, name = os.path.split(backup)
    if len(backup) <= NAME_MAX:
        return ' '.join(['zorflashlnx2', shlex.quote('/i' + backup)] + args)
    return ' '.join(['cd', shlex.quote(directory or '/'), '&&', 'zorflashlnx2', shlex.quote('/i' + name)] + args)
