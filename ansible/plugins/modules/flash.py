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
  - Runs on the host as root. Checks that the machine is supported and saves its flash into a
    temporary file (C(/t /o)), makes a twin of it with C(zorvpc capture), rehearses the exact command on the twin and
    reads C(zorvpc show TWIN changes) for the blocks the command rewrites.
  - When no block that the command rewrites differs from the flash, nothing is programmed, no file is
    kept, and the task reports C(changed=false).
  - Otherwise the command runs for real, with C(/o) saving the backup; then the flash is saved again and
    compared byte for byte with the twin's flash after the rehearsal, in every block the command
    programmed. A difference there fails the task with its first address; a difference elsewhere (the
    firmware writing its NVRAM) is a warning.
  - The tool's run record (C(record)) is the module's only state. While it says that the last programming
    run did not finish, that run's backup is the way back and no new backup is made; the task fails,
    before programming, when it would leave blocks that run touched unlike the ROM file.
  - After a non-zero exit of the real run the flash counts as partly programmed, unless the record shows
    that the run never reached its first erase; then C(changed=false).
  - One task per host at a time. The task holds a lock on C(workdir) from its first save to its last
    check; another waits for it at most C(lock_timeout) seconds. Each task's ROM copy, saves and twin
    live in a directory of its own under C(workdir), removed when the task ends.
  - The module never reboots. C(reboot_required) is true while the host has not booted since the last
    programming run that finished (the record's boot id and time against the kernel's), so a later task
    still reports it after an aborted roll-out.
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
      - Where the flash is saved before programming, a path on the host. An existing file is never
        replaced; the task fails before programming.
      - Default a new file in C(backup_dir) named with the ROM ID and the time.
    type: path
  backup_dir:
    description: The directory of the default backup; made with mode 0700 when missing.
    type: path
    default: /var/lib/zorflashlnx2/backups
  workdir:
    description:
      - The working directory of the tasks, locked by each; made with mode 0700 when missing, and refused
        when it is not a directory of the user the module runs as, or others may write it or a directory
        above it. In check mode a working directory that the task had to make is removed again.
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
  record:
    description:
      - The tool's run record. Refused when anyone but root or the user the module runs as could have
        written it.
    type: path
    default: /var/lib/zorflashlnx2/last-run
  lock_timeout:
    description: How many seconds a task waits for another task on the same host to end.
    type: int
    default: 600
  skip_equal:
    description:
      - Read each chosen block before erasing it and leave alone those that already hold the ROM file's
        bytes (C(/e)), in the rehearsal and the real run.
    type: bool
    default: true
notes:
  - Supports check mode, which stops after the rehearsal and leaves no file behind.
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
  description:
    - The backup that holds the flash as it was before the last programming run; while that run did not
      finish, the one it saved. Named only when the file still holds the bytes the record names.
  returned: when a programming run made it, or while the last one did not finish
  type: str
  sample: /var/lib/zorflashlnx2/backups/ZX512A01-20261210T101500Z.rom
backup_sha256:
  description: SHA-256 of the backup.
  returned: with backup
  type: str
rom_sha256:
  description: SHA-256 of the ROM file, as programmed.
  returned: always
  type: str
flash_sha256_before:
  description: SHA-256 of the flash before the task.
  returned: unless a step before the save failed
  type: str
flash_sha256_after:
  description: SHA-256 of the flash after the task.
  returned: unless in check mode or a step failed
  type: str
rom_id_before:
  description: The BIOS's ROM ID before the run.
  returned: always
  type: str
rom_id_after:
  description: The BIOS's ROM ID after the run.
  returned: unless in check mode
  type: str
rom_id_file:
  description: The ROM file's ROM ID.
  returned: always
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
  description: The tool's arguments of the real run.
  returned: when the real run ran
  type: list
  elements: str
last_run:
  description:
    - The tool's run record at the end of the task, key by key (time, command, selected, touched, regions,
      backup, outcome, pending, ...); empty when the host has none.
  returned: always
  type: dict
reboot_required:
  description:
    - True while the host has not booted since the last programming run that finished; false while the
      flash may be partly programmed.
  returned: always
  type: bool
'''

import datetime
import errno
import fcntl
import hashlib
import os
import re
import shutil
import stat
import tempfile
import time

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zorfl.bios.plugins.module_utils import runrecord
from ansible_collections.zorfl.bios.plugins.module_utils.zorflash import (
    AFTER_PROGRAMMING, NC_CHOICES, REHEARSAL_ADVICE, OptionError, advice_partly, advice_untouched, changed_blocks,
    check_paths, failure_msg, image_rom_id, options_of, parse_changes, programmed_spans, rom_id, screen_lines,
    tool_options, way_back as way_back_of)


def trusted(st, owner_only=False):
    """Owned by root or by this user, and not writable by anyone else (a sticky directory aside)."""
    if st.st_uid not in (0, os.geteuid()) or (owner_only and st.st_uid != os.geteuid()):
        return False
    return not st.st_mode & 0o022 or (stat.S_ISDIR(st.st_mode) and st.st_mode & stat.S_ISVTX and not owner_only)


def private_dirs(module, path):
    """Makes the directory path with mode 0700, and its missing parents too; refuses a path that
    another user could change. Returns the topmost directory made, or None."""
    made = None
    parts = path.rstrip('/').split('/')
    for i in range(2, len(parts) + 1):
        d = '/'.join(parts[:i])
        try:
            os.mkdir(d, 0o700)
            made = made or d
        except OSError as e:
            if e.errno != errno.EEXIST:
                module.fail_json(msg='%s cannot be made: %s' % (d, e.strerror))
        st = os.lstat(d)
        if not stat.S_ISDIR(st.st_mode) or not trusted(st, owner_only=d == path):
            module.fail_json(msg='%s is not a directory that only %s may change: it is not used' %
                             (d, 'uid %d' % os.geteuid() if d == path else 'root or uid %d' % os.geteuid()))
    return made


def remove_made(path, top):
    """Removes path and its parents up to top, as far as they are empty."""
    while path and len(path) >= len(top):
        try:
            os.rmdir(path)
        except OSError:
            return
        path = os.path.dirname(path)


def take_lock(module, wd, timeout):
    """One task per host at a time: an exclusive lock on the working directory, waited for at most
    timeout seconds. Returns the descriptor that holds it."""
    fd = os.open(wd, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW)
    deadline = time.monotonic() + timeout
    while True:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return fd
        except OSError as e:
            if e.errno not in (errno.EAGAIN, errno.EWOULDBLOCK):
                raise
        if time.monotonic() >= deadline:
            os.close(fd)
            module.fail_json(msg='another task is working on this host (it holds the lock on %s); waited %d s for it: '
                             'run this task again once that one has ended, or raise lock_timeout' % (wd, timeout),
                             changed=False)
        time.sleep(0.5)


def read_bytes(path):
    with open(path, 'rb') as f:
        return f.read()


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def read_record(module, path):
    """The tool's run record: {} when there is none; refused when anyone but root or this user could
    have written it."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError as e:
        if e.errno in (errno.ENOENT, errno.ENOTDIR):
            return {}
        module.fail_json(msg='the run record %s does not open: %s' % (path, e.strerror))
    with os.fdopen(fd, 'rb') as f:
        st = os.fstat(f.fileno())
        if not stat.S_ISREG(st.st_mode) or not trusted(st) or not trusted(os.stat(os.path.dirname(path))):
            module.fail_json(msg='the run record %s is not the tool\'s own: another user could have written it; it is '
                             'not used: make it and its directory root\'s, writable by nobody else' % path)
        text = f.read(runrecord.RECORD_LIMIT + 1)
    if len(text) > runrecord.RECORD_LIMIT:
        module.fail_json(msg='the run record %s is larger than %d bytes: it is not one' %
                         (path, runrecord.RECORD_LIMIT))
    return runrecord.parse(text)


def verified_backup(module, record):
    """The record's backup when the file at its name still holds the bytes it names, else None."""
    path = record.get('backup', '')
    if not path:
        return None
    try:
        st = os.lstat(path)
        ok = stat.S_ISREG(st.st_mode) and trusted(st)
        if ok and record.get('backup_sha256'):
            ok = str(st.st_size) == record.get('backup_size') and sha256(read_bytes(path)) == record['backup_sha256']
    except OSError:
        ok = False
    if not ok:
        module.warn('the backup %s that the run record names is missing or no longer holds the bytes saved: it is '
                    'not a way back' % path)
    return path if ok else None


def boot_identity():
    """This kernel's boot id and boot time (seconds since 1970)."""
    try:
        boot_id = read_bytes('/proc/sys/kernel/random/boot_id').decode().strip()
    except OSError:
        boot_id = ''
    try:
        btime = int(re.search(rb'^btime (\d+)', read_bytes('/proc/stat'), re.M).group(1))
    except (OSError, AttributeError):
        btime = 0
    return boot_id, btime


def unlike_blocks(rows, image, rom, spans):
    """The blocks of the twin's table within spans whose bytes in image differ from the ROM file's."""
    base = runrecord.rom_base(len(rom))
    out = []
    for b in rows:
        start = int(b['address'], 16)
        if any(s <= start + b['size'] - 1 and start <= e for s, e in spans) and \
                image[start - base:start - base + b['size']] != rom[start - base:start - base + b['size']]:
            out.append('%s (%s)' % (b['address'], b['kind']))
    return out


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
            record=dict(type='path', default='/var/lib/zorflashlnx2/last-run'),
            lock_timeout=dict(type='int', default=600),
            skip_equal=dict(type='bool', default=True),
        ),
        supports_check_mode=True,
    )
    p = module.params
    result = dict(changed=False, rc=0, reboot_required=False, blocks=[])
    try:
        selection = tool_options(p)
    except OptionError as e:
        module.fail_json(msg=str(e), **result)
    for what, package in (('executable', 'zorflashlnx2'), ('zorvpc', 'zorvpc')):
        if not os.path.isfile(p[what]) or not os.access(p[what], os.X_OK):
            module.fail_json(msg='%s %s is not an executable file: install the package %s on the host, or set %s to '
                             'where it is' % (what, p[what], package, what), **result)
    rom = os.path.abspath(p['rom'])
    if not os.path.isfile(rom):
        module.fail_json(msg='rom %s is not a regular file' % rom, **result)
    if p['backup'] and os.path.abspath(p['backup']) == rom:
        module.fail_json(msg='backup and rom are the same file: the save would replace the ROM file', **result)
    wd = os.path.abspath(p['workdir'])
    made = private_dirs(module, wd)
    lock = take_lock(module, wd, p['lock_timeout'])
    task = None
    try:
        # Left by a task that was killed (a power cut): nothing else can use them while the lock is held.
        for name in os.listdir(wd):
            if name.startswith('task-'):
                shutil.rmtree(os.path.join(wd, name), ignore_errors=True)
        task = tempfile.mkdtemp(prefix='task-', dir=wd)
        flash(module, p, result, selection, rom, task)
    finally:
        if task:
            shutil.rmtree(task, ignore_errors=True)
        if made and module.check_mode:
            remove_made(wd, made)
        os.close(lock)


def flash(module, p, result, selection, rom, task):
    exe, zorvpc = p['executable'], p['zorvpc']
    boot = boot_identity()

    def end(failed=False, **extra):
        """Every result says what the host's record says now: whether it needs a reboot, and the record."""
        record = read_record(module, p['record'])
        result['reboot_required'] = runrecord.reboot_required(record, *boot)
        result['last_run'] = record
        (module.fail_json if failed else module.exit_json)(**dict(result, **extra))

    def run(step, args, advice=None):
        rc, out, err = module.run_command(args, cwd=task)
        if rc != 0:
            result['rc'] = rc
            end(True, msg=failure_msg(step, rc, out + err, advice or advice_untouched(rc)),
                stdout_lines=screen_lines(out), stderr_lines=screen_lines(err))
        return out

    # The ROM file's bytes are fixed here: the rehearsal and the real run program this copy.
    new_rom = os.path.join(task, 'new.rom')
    shutil.copyfile(rom, new_rom)
    rom_bytes = read_bytes(new_rom)
    result.update(rom_sha256=sha256(rom_bytes), rom_id_file=image_rom_id(rom_bytes))
    record = read_record(module, p['record'])
    unfinished = record if runrecord.pending(record) else None
    way_back = verified_backup(module, unfinished) if unfinished else None

    # 1. Is the machine supported? Its ROM ID, and the flash as it is, for the twin.
    before = os.path.join(task, 'before.rom')
    err = check_paths(new_rom, before)
    if err:
        end(True, msg=err)
    result['rom_id_before'] = rom_id(run('the support check and save (/t /o)', [exe, '/q', '/t', '/o' + before]))
    before_bytes = read_bytes(before)
    result['flash_sha256_before'] = sha256(before_bytes)
    # 3. A twin with that flash; 4. the exact command on it; 5. the blocks it rewrote.
    twin = os.path.join(task, 'twin')
    rehearsal_dir = os.path.join(task, 'rehearsal')
    run('the capture of a twin', [zorvpc, 'capture', twin, '--flash', before])
    os.mkdir(rehearsal_dir, 0o700)
    # The twin plays the module load; a placeholder lets it load one from the working directory.
    open(os.path.join(rehearsal_dir, 'zorfldrv_mod.o'), 'a').close()
    command = ['/q'] + selection + ['/i' + new_rom]
    rc_r, out_r, err_r = module.run_command([zorvpc, 'run', twin, '--', exe] + command, cwd=rehearsal_dir)
    result['rehearsal'] = dict(rc=rc_r, stdout_lines=screen_lines(out_r + err_r))
    if rc_r != 0:
        result['rc'] = rc_r
        end(True, msg=failure_msg('the rehearsal on the twin', rc_r, out_r + err_r, REHEARSAL_ADVICE))
    rows = parse_changes(run('the twin\'s changes', [zorvpc, 'show', twin, 'changes']))
    result['blocks'] = blocks = changed_blocks(rows)
    twin_bytes = read_bytes(os.path.join(twin, 'flash.bin'))
    # The bytes decide; the table names the blocks, and must name some when the bytes differ.
    would_change = twin_bytes != before_bytes
    if would_change and not blocks:
        end(True, msg='the rehearsal changed the flash, but zorvpc show %s changes names no block that differs: '
            'nothing was programmed' % twin)
    listing = ''.join('%s +0x%X %s: %s\n' % (b['address'], b['size'], b['kind'], b['now']) for b in blocks)
    result['diff'] = dict(prepared='rehearsal of zorflashlnx2 %s: exit %d\n%s%s' % (
        ' '.join(command), rc_r, ''.join(line + '\n' for line in result['rehearsal']['stdout_lines']),
        listing or 'no block differs from the flash\n'))
    if unfinished:
        # A run that did not finish may have erased blocks that this command leaves alone.
        spans = runrecord.touched(unfinished, len(rom_bytes))
        unlike = unlike_blocks([b for b in rows if b['last_run'] == 'untouched'], twin_bytes, rom_bytes, spans)
        if unlike:
            end(True, msg='the run of %s (%s) did not finish and left %s unlike the ROM file, which this task does not '
                'program: do not restart or power off the machine; program them too (%s), or %s' % (
                    unfinished.get('time', '?'), unfinished.get('command', '?'), ', '.join(unlike),
                    options_of(unfinished), way_back_of(unfinished, way_back)))
    name_backup(result, way_back)
    if module.check_mode or not would_change:
        result['changed'] = would_change
        if not module.check_mode:
            result.update(rom_id_after=result['rom_id_before'], flash_sha256_after=result['flash_sha256_before'])
        end()

    # 6. The real run. While an earlier run is unfinished its backup is the way back; else this run saves one.
    backup = None
    if not unfinished:
        backup = new_backup(module, p, result)
        command = ['/q', '/o' + backup] + command[1:]
    err = check_paths(new_rom, backup)
    if err:
        end(True, msg=err)
    result['command'] = command
    before_run = read_record(module, p['record'])
    rc, out, err = module.run_command([exe] + command, cwd=task)
    after_run = read_record(module, p['record'])
    result.update(rc=rc, stdout_lines=screen_lines(out), stderr_lines=screen_lines(err))
    # A tool that could not write its record says so; then nothing tells that the flash was not reached.
    reached = runrecord.reached_flash(before_run, after_run) or ' No run record: ' in out
    ours = after_run if runrecord.reached_flash(before_run, after_run) else {}
    way_back = verified_backup(module, ours) if ours.get('backup') else (
        backup if reached and backup and os.path.isfile(backup) else way_back)
    name_backup(result, way_back)
    if rc != 0 and not reached:
        # Refused before the first erase: the save this run made is not a backup of anything that changed.
        if backup and os.path.isfile(backup):
            os.remove(backup)
        end(True, msg=failure_msg('the programming run', rc, out + err, advice_untouched(rc)))
    result['changed'] = True
    if rc != 0:
        if runrecord.finished(ours) and rc in AFTER_PROGRAMMING:
            advice = ('every chosen block was written and verified (the run record says finished); the failure came '
                      'while cleaning up: run the task again, which checks the flash')
        else:
            advice = advice_partly(ours or after_run, way_back)
        end(True, msg=failure_msg('the programming run', rc, out + err, advice))

    # 7. The flash again, against the twin's prediction in every block the command programmed.
    after = os.path.join(task, 'after.rom')
    out = run('the save after programming (/o)', [exe, '/q', '/t', '/o' + after],
              'the programming run ended with exit 0, but the flash could not be read back to check it: do not restart '
              'the machine; run the task again, which checks the flash')
    result['rom_id_after'] = rom_id(out)
    after_bytes = read_bytes(after)
    result['flash_sha256_after'] = sha256(after_bytes)
    at = runrecord.first_difference(twin_bytes, after_bytes, programmed_spans(rows))
    if at is not None:
        end(True, msg='the flash differs from the rehearsal\'s prediction at 0x%08X, in a block this task programmed: '
            'do not restart the machine; program the ROM file again, or %s' % (at, way_back_of(after_run, way_back)))
    at = runrecord.first_difference(twin_bytes, after_bytes)
    if at is not None:
        module.warn('the flash differs from the rehearsal\'s prediction at 0x%08X, outside the blocks this task '
                    'programmed: the firmware may have written it (NVRAM) while the task ran' % at)
    if runrecord.pending(after_run):
        unlike = unlike_blocks(rows, after_bytes, rom_bytes, runrecord.touched(after_run, len(rom_bytes)))
        if unlike:
            end(True, msg='%s still differ from the ROM file since a run that did not finish; %s' % (
                ', '.join(unlike), advice_partly(after_run, way_back)))
    end()


def name_backup(result, path):
    """The way back in the result: its path and the SHA-256 of its bytes."""
    result.pop('backup', None)
    result.pop('backup_sha256', None)
    if path:
        result.update(backup=path, backup_sha256=sha256(read_bytes(path)))


def new_backup(module, p, result):
    """A name for this run's backup that no file has: an existing file is never replaced."""
    if p['backup']:
        backup = os.path.abspath(p['backup'])
        if os.path.lexists(backup):
            module.fail_json(msg='backup %s exists, and a backup is never replaced: name a new file, or leave backup '
                             'unset' % backup, **result)
    else:
        stamp = datetime.datetime.utcnow().strftime('%Y%m%dT%H%M%SZ')
        name = re.sub(r'[^A-Za-z0-9._-]', '_', result['rom_id_before'] or 'unknown')
        backup = os.path.join(os.path.abspath(p['backup_dir']), '%s-%s.rom' % (name, stamp))
        n = 1
        while os.path.lexists(backup):
            n += 1
            backup = os.path.join(os.path.abspath(p['backup_dir']), '%s-%s-%d.rom' % (name, stamp, n))
    private_dirs(module, os.path.dirname(backup))
    return backup


if __name__ == '__main__':
    main()
