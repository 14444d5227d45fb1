# A lab of virtual PCs for the collection's plays: each host is a machine of its own, reached on
# the local connection through wrappers that start every command under `zorvpc run MACHINE`.
import json
import os
import subprocess
import time

import pytest

SRC = os.environ.get('ZORFL_SRC', os.path.join(os.path.dirname(__file__), '..', '..'))
ZORVPC = os.environ.get('ZORVPC', os.path.join(SRC, 'build', 'vpc', 'zorvpc'))
TOOL = os.environ.get('ZORFL_TOOL', os.path.join(SRC, 'build', 'src', 'zorflashlnx2'))

# host: (machine description lines, fault of the wrapper)
HOSTS = {
    'h1': ([], None),
    'h2': (['rom_kb=1024'], None),
    'h3': (['write_fail=0xa0000'], None),
    'h4': (['rom_kb=4096'], None),
    'h5': ([], 0x90010),
}

# On a twin (a run of zorvpc already), the tool runs there; otherwise on this host's machine.
EXE = '''#!/bin/sh
case "${{LD_PRELOAD:-}}" in *libzorvpc.so*) [ -n "${{ZORVPC_STATE:-}}" ] && exec {tool} "$@" ;; esac
{zorvpc} run {m} -- {tool} "$@"
rc=$?
{flip}exit $rc
'''
# A flash that changes one byte after the run's own verify: the after-run check must see it.
FLIP = '''case "$*" in *" /i"*) [ $rc -eq 0 ] && python3 -c 'import sys
f = open(sys.argv[1], "r+b"); f.seek({off}); b = f.read(1)[0]; f.seek({off}); f.write(bytes([b ^ 1]))' {m}/flash.bin ;; esac
'''
ZWRAP = '#!/bin/sh\nexec {zorvpc} run {m} -- {zorvpc} "$@"\n'


def sh(*args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kw).stdout


def write_exec(path, text):
    with open(path, 'w') as f:
        f.write(text)
    os.chmod(path, 0o755)


class Lab:
    def __init__(self, root):
        self.root = root
        out = sh('ansible-galaxy', 'collection', 'build', os.path.join(SRC, 'ansible'), '--output-path',
                 str(root), '--force')
        tarball = out.strip().split()[-1]
        sh('ansible-galaxy', 'collection', 'install', tarball, '-p', str(root / 'collections'))
        hosts = {}
        for h, (desc, flip) in HOSTS.items():
            d = root / h
            d.mkdir()
            m = str(d / 'machine')
            sh(ZORVPC, 'init', m, 'module_installed=1', *desc)
            sh(ZORVPC, 'mkrom', m, str(d / 'new.rom'))
            size = os.path.getsize(d / 'new.rom')
            base = 0x100000 - size if size <= 0x100000 else 0
            flip_text = FLIP.format(off=flip - base, m=m) if flip else ''
            write_exec(d / 'zorflashlnx2', EXE.format(tool=TOOL, zorvpc=ZORVPC, m=m, flip=flip_text))
            write_exec(d / 'zorvpc', ZWRAP.format(zorvpc=ZORVPC, m=m))
            hosts[h] = dict(ansible_connection='local', ansible_python_interpreter='/usr/bin/python3',
                            zorflash_rom_src=str(d / 'new.rom'), zorflash_rom=str(d / 'rom' / 'new.rom'),
                            zorflash_boot_block=True, zorflash_nvram=True,
                            zorflash_backup_dir=str(d / 'backups'), zorflash_workdir=str(d / 'work'),
                            zorflash_executable=str(d / 'zorflashlnx2'), zorflash_zorvpc=str(d / 'zorvpc'))
        self.inventory = root / 'inventory.json'
        self.inventory.write_text(json.dumps({'bios': {'hosts': hosts}}))
        self.before = {h: self.flash(h) for h in HOSTS}

    def path(self, h, *rest):
        return os.path.join(str(self.root), h, *rest)

    def flash(self, h):
        with open(self.path(h, 'machine', 'flash.bin'), 'rb') as f:
            return f.read()

    def repair(self, h):
        """The machine anew without its fault, its flash as the failed run left it."""
        flash = self.flash(h)
        sh(ZORVPC, 'init', self.path(h, 'machine'), 'module_installed=1')
        with open(self.path(h, 'machine', 'flash.bin'), 'wb') as f:
            f.write(flash)

    def mkrom(self, h, name, *options):
        sh(ZORVPC, 'mkrom', self.path(h, 'machine'), self.path(h, name), *options)

    def trace(self, h):
        with open(self.path(h, 'machine', 'trace')) as f:
            return f.read()

    def play(self, hosts, check=False, **extra):
        """Runs the collection's roll-out playbook; returns {host: {task name: result}} and its exit status."""
        env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=str(self.root / 'collections'),
                   ANSIBLE_CALLBACK_PLUGINS=os.path.join(os.path.dirname(__file__), 'callback'),
                   ANSIBLE_CALLBACKS_ENABLED='record', ZORFL_RECORD=str(self.root / 'record.json'),
                   ANSIBLE_HOME=str(self.root / 'ansible-home'),
                   ANSIBLE_LOCALHOST_WARNING='false', ANSIBLE_NOCOLOR='1')
        env.pop('ZORVPC_STATE', None)
        extra = dict(zorflash_become=False, zorflash_backup_home=str(self.root / 'backups'), **extra)
        cmd = ['ansible-playbook', 'zorfl.bios.rollout', '-i', str(self.inventory), '--limit', ','.join(hosts),
               '-e', json.dumps(extra)] + (['--check', '--diff'] if check else [])
        start = time.monotonic()
        run = subprocess.run(cmd, capture_output=True, text=True, env=env, cwd=str(self.root))
        wall = time.monotonic() - start
        print(run.stdout[-3000:], run.stderr[-2000:])
        print('play %s%s on %s: %.1f s' % ('--check ' if check else '', extra, ','.join(hosts), wall))
        with open(self.root / 'record.json') as f:
            return json.load(f), run.returncode


@pytest.fixture(scope='module')
def lab(tmp_path_factory):
    return Lab(tmp_path_factory.mktemp('lab'))
