#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: the zorflashlnx2 authors
# GNU General Public License v2.0+ (see COPYING or https://www.gnu.org/licenses/gpl-2.0.txt)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: lab
short_description: Make a lab of virtual PCs for a roll-out without hardware
description:
  - Makes virtual PCs in C(path), each with a ROM file of its own (C(HOST/new.rom)), and their inventory,
    C(path/hosts.yml), for the playbook zorfl.bios.rollout. Each host is reached on the local connection,
    without become, through wrappers that run the tool and the twin's launcher under C(zorvpc run) on that
    host's machine, C(HOST/machine).
  - A file C(HOST/faults) holds faults of the virtual PC (see C(zorvpc --help)), one a line, for every run
    of the tool on that host but the rehearsals; edit it to break or mend a host. A flash address in
    C(HOST/firmware-writes) is a byte that the firmware changes after every programming run that ends
    well, as a BIOS writing its NVRAM.
  - Machines and ROM files that exist are kept as they are.
version_added: "1.0.0"
author:
  - The zorflashlnx2 developers (@zorflashlnx2)
options:
  path:
    description: The lab's directory; made with mode 0700.
    type: path
    required: true
  machines:
    description:
      - Host names and what each machine is. C(description), machine description lines; C(faults), the
        first lines of C(HOST/faults); C(firmware_writes), the first address of C(HOST/firmware-writes);
        C(vars), inventory variables of the host.
    type: dict
    default: {pc1: {}, pc2: {faults: [write_fail=0xa0000]}, pc3: {}, pc4: {}}
  tool:
    description: The tool.
    type: path
    default: /usr/sbin/zorflashlnx2
  zorvpc:
    description: The virtual PC's launcher.
    type: path
    default: /usr/bin/zorvpc
requirements:
  - zorflashlnx2 and zorvpc on the controller
'''

EXAMPLES = r'''
- name: Four virtual PCs in ./lab
  zorfl.bios.lab:
    path: lab
'''

RETURN = r'''
inventory:
  description: The inventory of the lab's hosts.
  returned: always
  type: str
  sample: /home/me/lab/hosts.yml
'''

import json
import os
import shlex
import sys

from ansible.module_utils.basic import AnsibleModule

# On a twin (a run of zorvpc already) the tool runs there; otherwise on this host's machine, with
# the faults of HOST/faults.
TOOL = '''#!/bin/sh
# zorflashlnx2 on the virtual PC {host}/machine, with the faults of {host}/faults.
case "${{LD_PRELOAD:-}}" in *libzorvpc.so*) [ -n "${{ZORVPC_STATE:-}}" ] && exec {tool} "$@" ;; esac
programs=0
case " $* " in *" /i"*) case " $* " in *" /d "*) ;; *) programs=1 ;; esac ;; esac
n=$#
while IFS= read -r fault; do [ -n "$fault" ] && set -- "$@" --fault "$fault"; done <{host}/faults
set -- "$@" -- {tool}
while [ $n -gt 0 ]; do set -- "$@" "$1"; shift; n=$((n - 1)); done
{zorvpc} run {host}/machine "$@"
rc=$?
# The firmware writes a byte of its own after a programming run, as a BIOS keeping its NVRAM would.
at=$(cat {host}/firmware-writes)
[ $programs -eq 1 ] && [ $rc -eq 0 ] && [ -n "$at" ] && {python} - {host}/machine/flash.bin "$at" <<'PY'
import os, sys
size = os.path.getsize(sys.argv[1])
at = int(sys.argv[2], 0) - (0x100000 - size if size <= 0x100000 else 0)
with open(sys.argv[1], 'r+b') as f:
    f.seek(at)
    b = f.read(1)[0] ^ 1
    f.seek(at)
    f.write(bytes([b]))
PY
exit $rc
'''
ZORVPC = '''#!/bin/sh
# zorvpc on the virtual PC {host}/machine: a capture reads that machine.
exec {zorvpc} run {host}/machine -- {zorvpc} "$@"
'''


def write(path, text, mode):
    """Writes text unless the file holds it already; True when it wrote."""
    try:
        with open(path) as f:
            if f.read() == text:
                os.chmod(path, mode)
                return False
    except OSError:
        pass
    with open(path, 'w') as f:
        f.write(text)
    os.chmod(path, mode)
    return True


def main():
    module = AnsibleModule(
        argument_spec=dict(
            path=dict(type='path', required=True),
            machines=dict(type='dict', default={'pc1': {}, 'pc2': {'faults': ['write_fail=0xa0000']}, 'pc3': {},
                                                'pc4': {}}),
            tool=dict(type='path', default='/usr/sbin/zorflashlnx2'),
            zorvpc=dict(type='path', default='/usr/bin/zorvpc'),
        ),
        supports_check_mode=False,
    )
    lab = os.path.abspath(module.params['path'])
    tool, zorvpc = (os.path.abspath(module.params[k]) for k in ('tool', 'zorvpc'))
    changed = False
    hosts = {}
    for name, m in sorted(module.params['machines'].items()):
        m = m or {}
        if not name or '/' in name or name.startswith('.'):
            module.fail_json(msg='%r cannot be the name of a host directory' % name)
        h = os.path.join(lab, name)
        os.makedirs(h, 0o700, exist_ok=True)
        q = dict(host=shlex.quote(h), tool=shlex.quote(tool), zorvpc=shlex.quote(zorvpc))
        if not os.path.exists(os.path.join(h, 'machine', 'machine')):
            module.run_command([zorvpc, 'init', os.path.join(h, 'machine'), 'module_installed=1'] +
                               [str(line) for line in m.get('description', [])], check_rc=True)
            changed = True
        if not os.path.exists(os.path.join(h, 'new.rom')):
            module.run_command([zorvpc, 'mkrom', os.path.join(h, 'machine'), os.path.join(h, 'new.rom')], check_rc=True)
            changed = True
        if not os.path.exists(os.path.join(h, 'faults')):
            changed |= write(os.path.join(h, 'faults'), ''.join('%s\n' % f for f in m.get('faults', [])), 0o644)
            writes = m.get('firmware_writes')
            changed |= write(os.path.join(h, 'firmware-writes'), '' if writes is None else '%s\n' % writes, 0o644)
        changed |= write(os.path.join(h, 'zorflashlnx2'), TOOL.format(python=shlex.quote(sys.executable), **q), 0o755)
        changed |= write(os.path.join(h, 'zorvpc'), ZORVPC.format(**q), 0o755)
        hosts[name] = dict(ansible_connection='local', ansible_become=False, ansible_python_interpreter=sys.executable,
                           zorflash_rom_src=os.path.join(h, 'new.rom'), zorflash_boot_block=True, zorflash_nvram=True,
                           zorflash_backup_dir=os.path.join(h, 'backups'), zorflash_workdir=os.path.join(h, 'work'),
                           zorflash_executable=os.path.join(h, 'zorflashlnx2'),
                           zorflash_zorvpc=os.path.join(h, 'zorvpc'),
                           zorflash_record=os.path.join(h, 'machine', 'zorflashlnx2', 'last-run'))
        hosts[name].update(m.get('vars') or {})
    inventory = os.path.join(lab, 'hosts.yml')
    # JSON is YAML: the inventory reads as either.
    changed |= write(inventory, json.dumps({'bios': {'hosts': hosts}}, indent=2, sort_keys=True) + '\n', 0o644)
    module.exit_json(changed=changed, inventory=inventory)


if __name__ == '__main__':
    main()
