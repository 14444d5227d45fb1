#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: the zorflashlnx2 authors
# GNU General Public License v2.0+ (see COPYING or https://www.gnu.org/licenses/gpl-2.0.txt)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: flash
short_description: Program the BIOS flash with zorflashlnx2, rehearsed first on a twin of the host
description:
  - Runs on the host as root. Checks that the machine is supported (C(/t)), saves its flash (C(/o)),
    makes a twin of it with C(zorvpc capture), rehearses the exact command on the twin and reads
    C(zorvpc show TWIN changes) for the blocks the command rewrites.
  - When no block that the command rewrites differs from the flash, nothing is programmed and the task
    reports C(changed=false).
  - Otherwise the command runs for real; then the flash is saved again and compared byte for byte with
    the twin's flash after the rehearsal. A difference fails the task with the first differing address.
  - The module never reboots. After a programming run it returns C(reboot_required=true).
  - The ROM file is copied into the working directory first, so the rehearsal and the real run program
    the same bytes.
  - A backup is never replaced. When C(backup) exists already, or an earlier programming run from this
    working directory did not finish, the flash is saved into the working directory for the twin, and
    C(backup) names the first backup, which holds the flash as it was before that run.
version_added: "1.0.0"
author:
  - The zorflashlnx2 developers (@zorflashlnx2)
options:
  rom:
    description: The ROM file, a path on the host.
    type: path
    required: true
  main:
    description:
      - Program the main BIOS area. With C(false) only non-critical blocks are programmed (C(/k)), which
        needs C(non_critical) and cannot program the boot block or NVRAM; the module refuses those
        combinations, as the tool would drop the boot block and NVRAM silently.
    type: bool
    default: true
  boot_block:
    description: Also program the boot block (C(/pb)).
    type: bool
    default: false
  nvram:
    description: Also program the NVRAM blocks (C(/pn)).
    type: bool
    default: false
  non_critical:
    description:
      - Non-critical blocks to program, C(all) or one index from C(0) to C(7) (C(/c), C(/cN), or with
        C(main=false) C(/k), C(/kN)). C(none) programs none.
    type: str
    default: none
    choices: [none, all, '0', '1', '2', '3', '4', '5', '6', '7']
  destroy_cmos:
    description:
      - Destroy the CMOS checksum after programming (C(/pc)). Nothing is destroyed when nothing is programmed.
    type: bool
    default: false
  skip_rom_id_check:
    description: Do not compare the ROM file's ROM ID with the BIOS's (C(/n)).
    type: bool
    default: false
  signature:
    description: Leave the signature in the BIOS (C(/s)).
    type: bool
    default: false
  backup:
    description:
      - Where the flash is saved before programming, a path on the host. An existing file is never replaced.
      - Default a new file in C(backup_dir) named with the ROM ID and the time.
    type: path
  backup_dir:
    description: The directory of the default backup; made with mode 0700 when missing.
    type: path
    default: /var/lib/zorflashlnx2/backups
  workdir:
    description:
      - The working directory of the tool and the twin; made with mode 0700 when missing, and refused
        when it is not a directory of the user the module runs as, or others may write it.
    type: path
    default: /var/lib/zorflashlnx2/work
  executable:
    description: The tool.
    type: path
    default: /usr/sbin/zorflashlnx2
  zorvpc:
    description: The virtual PC's launcher, for the twin.
    type: path
    default: /usr/bin/zorvpc
notes:
  - Supports check mode, which stops after the rehearsal and saves nothing outside the working directory.
  - Supports diff mode, which shows the rehearsal's output and the blocks it rewrote.
requirements:
  - zorflashlnx2 and zorvpc on the host
'''

EXAMPLES = r'''
- name: Program the main area, boot block and NVRAM
  zorfl.bios.flash:
    rom: /var/lib/zorflashlnx2/roms/new.rom
    boot_block: true
    nvram: true
  register: bios

- name: Only the third non-critical block
  zorfl.bios.flash:
    rom: /var/lib/zorflashlnx2/roms/new.rom
    main: false
    non_critical: '2'
'''

RETURN = r'''
rc:
  description: Exit status of the tool in the step that failed, else of the real run (0 when nothing was programmed).
  returned: always
  type: int
stdout_lines:
  description: Output of the real run, as a terminal shows it.
  returned: when the real run ran
  type: list
  elements: str
backup:
  description: The backup that holds the flash as it was before programming.
  returned: unless in check mode
  type: str
  sample: /var/lib/zorflashlnx2/backups/ZX512A01-20261210T101500Z.rom
rom_id_before:
  description: The BIOS's ROM ID before the run.
  returned: always
  type: str
rom_id_after:
  description: The BIOS's ROM ID after the run.
  returned: unless in check mode
  type: str
blocks:
  description: The blocks the command rewrites that differ from the flash (address, size, kind).
  returned: always
  type: list
  elements: dict
  sample: [{index: 0, address: "0x00080000", size: 65536, kind: main, last_run: rewritten,
            now: differs from the backup}]
rehearsal:
  description: Exit status and output of the command on the twin.
  returned: always
  type: dict
  sample: {rc: 0, stdout_lines: []}
command:
  description: The tool's arguments, as rehearsed and run.
  returned: always
  type: list
  elements: str
reboot_required:
  description: True after a programming run.
  returned: always
  type: bool
'''

import datetime
import json
import os
import re
import shutil
import stat

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zorfl.bios.plugins.module_utils.zorflash import (
    NC_CHOICES, OptionError, changed_blocks, check_paths, failure_msg, first_difference, parse_changes,
    rom_id, screen_lines, tool_options)

PENDING = 'pending.json'


def private_dir(module, path, mode=None):
    """A directory of this user's that nobody else may write, made 0700 when missing."""
    if not os.path.isdir(path):
        os.makedirs(path, 0o700)
        mode = 0o700
    st = os.lstat(path)
    if not stat.S_ISDIR(st.st_mode) or st.st_uid != os.geteuid() or st.st_mode & 0o022:
        module.fail_json(msg='%s is not a directory of uid %d that only its owner may write' % (path, os.geteuid()))
    if mode is not None:
        os.chmod(path, mode)
    return path


def read_bytes(path):
    with open(path, 'rb') as f:
        return f.read()


def main():
    module = AnsibleModule(
        argument_spec=dict(
            rom=dict(type='path', required=True),
            main=dict(type='bool', default=True),
            boot_block=dict(type='bool', default=False),
            nvram=dict(type='bool', default=False),
            non_critical=dict(type='str', default='none', choices=NC_CHOICES),
            destroy_cmos=dict(type='bool', default=False),
            skip_rom_id_check=dict(type='bool', default=False),
            signature=dict(type='bool', default=False),
            backup=dict(type='path'),
            backup_dir=dict(type='path', default='/var/lib/zorflashlnx2/backups'),
            workdir=dict(type='path', default='/var/lib/zorflashlnx2/work'),
            executable=dict(type='path', default='/usr/sbin/zorflashlnx2'),
            zorvpc=dict(type='path', default='/usr/bin/zorvpc'),
        ),
        supports_check_mode=True,
    )
    p = module.params
    result = dict(changed=False, rc=0, reboot_required=False, blocks=[])
    try:
        selection = tool_options(p)
    except OptionError as e:
        module.fail_json(msg=str(e), **result)
    rom = os.path.abspath(p['rom'])
    if not os.path.isfile(rom):
        module.fail_json(msg='rom %s is not a regular file' % rom, **result)
    if p['backup'] and os.path.abspath(p['backup']) == rom:
        module.fail_json(msg='backup and rom are the same file: the save would replace the ROM file', **result)
    exe, zorvpc = p['executable'], p['zorvpc']
    wd = private_dir(module, os.path.abspath(p['workdir']), 0o700)
    pending_path = os.path.join(wd, PENDING)
    pending = None
    if os.path.exists(pending_path):
        try:
            with open(pending_path) as f:
                pending = json.load(f)['backup']
        except (ValueError, KeyError, TypeError) as e:
            module.fail_json(msg='%s, the record of an unfinished programming run, does not read (%s): it names '
                             'the backup to keep; mend or remove it' % (pending_path, e), **result)
    new_rom = os.path.join(wd, 'new.rom')
    if not os.path.exists(new_rom) or not os.path.samefile(rom, new_rom):
        shutil.copyfile(rom, new_rom)
    os.chmod(new_rom, 0o600)
    command = ['/q'] + selection + ['/i' + new_rom]
    result['command'] = command
    backup = pending or p['backup']

    def run(step, args, cwd=wd):
        rc, out, err = module.run_command(args, cwd=cwd)
        if rc != 0:
            result['rc'] = rc
            module.fail_json(msg=failure_msg(step, rc, out + err, backup or '(none)', p),
                             stdout_lines=screen_lines(out), stderr_lines=screen_lines(err), **result)
        return out

    # 1. Is the machine supported? Also its ROM ID before.
    result['rom_id_before'] = rom_id(run('the support check (/t)', [exe, '/q', '/t']))
    # 2. The backup. A file that exists is never replaced: it may be the way back of a run that failed.
    if not backup:
        stamp = datetime.datetime.utcnow().strftime('%Y%m%dT%H%M%SZ')
        name = re.sub(r'[^A-Za-z0-9._-]', '_', result['rom_id_before'] or 'unknown')
        backup = os.path.join(p['backup_dir'], '%s-%s.rom' % (name, stamp))
    backup = os.path.abspath(backup)
    fresh = not module.check_mode and not os.path.lexists(backup)
    # While a run is unfinished the tool makes only new files: each save gets a name of its own.
    unique = '%s-%d' % (datetime.datetime.utcnow().strftime('%Y%m%dT%H%M%S%fZ'), os.getpid())
    save = backup if fresh else os.path.join(wd, 'before-%s.rom' % unique)
    if fresh:
        private_dir(module, os.path.dirname(backup))
    err = check_paths(new_rom, save)
    if err:
        module.fail_json(msg=err, **result)
    run('the save (/o)', [exe, '/q', '/o' + save])
    if not module.check_mode:
        result['backup'] = backup
    # 3. A twin with that flash; 4. the exact command on it; 5. the blocks it rewrote.
    twin = os.path.join(wd, 'twin')
    rehearsal_dir = os.path.join(wd, 'rehearsal')
    shutil.rmtree(twin, ignore_errors=True)
    run('the capture of a twin', [zorvpc, 'capture', twin, '--flash', save])
    private_dir(module, rehearsal_dir, 0o700)
    # The twin plays the module load; a placeholder lets it load one from the working directory.
    open(os.path.join(rehearsal_dir, 'zorfldrv_mod.o'), 'a').close()
    rc_r, out_r, err_r = module.run_command([zorvpc, 'run', twin, '--', exe] + command, cwd=rehearsal_dir)
    result['rehearsal'] = dict(rc=rc_r, stdout_lines=screen_lines(out_r + err_r))
    if rc_r != 0:
        result['rc'] = rc_r
        module.fail_json(msg=failure_msg('the rehearsal on the twin', rc_r, out_r + err_r, backup, p, True),
                         **result)
    blocks = changed_blocks(parse_changes(run('the twin\'s changes', [zorvpc, 'show', twin, 'changes'])))
    result['blocks'] = blocks
    # The bytes decide; the table names the blocks, and must name some when the bytes differ.
    result['changed'] = read_bytes(os.path.join(twin, 'flash.bin')) != read_bytes(save)
    if result['changed'] and not blocks:
        module.fail_json(msg='the rehearsal changed the flash, but zorvpc show %s changes names no block that '
                         'differs: nothing was programmed' % twin, **result)
    listing = ''.join('%s +0x%X %s: %s\n' % (b['address'], b['size'], b['kind'], b['now']) for b in blocks)
    result['diff'] = dict(prepared='rehearsal of zorflashlnx2 %s: exit %d\n%s%s' % (
        ' '.join(command), rc_r, ''.join(line + '\n' for line in result['rehearsal']['stdout_lines']),
        listing or 'no block differs from the flash\n'))
    if module.check_mode or not result['changed']:
        if not module.check_mode:
            result['rom_id_after'] = result['rom_id_before']
        module.exit_json(**result)

    # The real run. The record names the first backup until a run finishes and checks out.
    if pending is None:
        with open(pending_path, 'w') as f:
            json.dump(dict(backup=backup, rom=rom), f)
    result['reboot_required'] = True
    out = run('the programming run', [exe] + command)
    result['stdout_lines'] = screen_lines(out)
    after = os.path.join(wd, 'after-%s.rom' % unique)
    result['rom_id_after'] = rom_id(run('the save after programming (/o)', [exe, '/q', '/t', '/o' + after]))
    at = first_difference(read_bytes(os.path.join(twin, 'flash.bin')), read_bytes(after))
    if at is not None:
        module.fail_json(msg='the flash differs from the rehearsal\'s prediction at 0x%08X: do not restart the '
                         'machine; program the ROM file again, or restore the backup at %s' % (at, backup),
                         **result)
    os.remove(pending_path)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
