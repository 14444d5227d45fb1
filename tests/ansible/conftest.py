# A lab of virtual PCs for the collection's plays, made by its own zorfl.bios.lab and reached over
# SSH: an sshd of the test's own on a loopback port, with a host key and a client key made for the
# run, serves the user the tests run as (root, or a user with sudo), and every play becomes root.
import json
import os
import shutil
import socket
import subprocess
import time

import pytest

SRC = os.environ.get('ZORFL_SRC', os.path.join(os.path.dirname(__file__), '..', '..'))
ZORVPC = os.environ.get('ZORVPC', os.path.join(SRC, 'build', 'vpc', 'zorvpc'))
TOOL = os.environ.get('ZORFL_TOOL', os.path.join(SRC, 'build', 'src', 'zorflashlnx2'))
# Files the plays make as root are read through sudo by a user who is not.
SUDO = [] if os.geteuid() == 0 else ['sudo', '-n']

# host: the machine of zorfl.bios.lab (description lines, faults, firmware_writes, inventory vars)
HOSTS = {
    'h1': dict(firmware_writes=0xe0010, vars=dict(zorflash_nvram=False)),
    'h2': dict(description=['rom_kb=1024'], faults=['write_fail=0xa0000']),
    'h3': {},
    'h4': dict(description=['rom_kb=2048']),
    'h5': dict(faults=['write_fail=0xf8000']),
    'h6': dict(faults=['power_loss=30']),
    'h7': dict(faults=['battery=50']),
    'h8': dict(firmware_writes=0x90010),
    'h9': {},
}

# A playbook of an operator's own, beside which the backups come home.
PLAYBOOK = '''- name: Update the BIOS
  hosts: bios
  serial: {serial}
  any_errors_fatal: {fatal}
  become: true
  gather_facts: false
  roles:
    - role: zorfl.bios.update
'''


def sh(*args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kw).stdout


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


class Sshd:
    """sshd on 127.0.0.1 for the user the tests run as, with keys made for the run."""

    def __init__(self, d):
        d.mkdir()
        self.key = str(d / 'client')
        sh('ssh-keygen', '-q', '-t', 'ed25519', '-N', '', '-f', str(d / 'host'))
        sh('ssh-keygen', '-q', '-t', 'ed25519', '-N', '', '-f', self.key)
        shutil.copy(self.key + '.pub', d / 'authorized_keys')
        self.port = free_port()
        (d / 'sshd_config').write_text(
            'ListenAddress 127.0.0.1\nPort %d\nHostKey %s\nAuthorizedKeysFile %s\nPidFile %s\nUsePAM no\n'
            'StrictModes no\nPasswordAuthentication no\nKbdInteractiveAuthentication no\nLogLevel ERROR\n'
            'Subsystem sftp internal-sftp\n'
            % (self.port, d / 'host', d / 'authorized_keys', d / 'sshd.pid'))
        self.known_hosts = str(d / 'known_hosts')
        with open(self.known_hosts, 'w') as f:
            f.write('[127.0.0.1]:%d %s' % (self.port, (d / 'host.pub').read_text()))
        if os.geteuid() == 0:
            os.makedirs('/run/sshd', 0o755, exist_ok=True)  # sshd's privilege separation directory
        self.proc = subprocess.Popen(['/usr/sbin/sshd', '-D', '-e', '-f', str(d / 'sshd_config')])
        for _ in range(100):
            with socket.socket() as s:
                if s.connect_ex(('127.0.0.1', self.port)) == 0:
                    return
            time.sleep(0.1)
        raise RuntimeError('sshd did not start')

    def vars(self):
        return dict(ansible_host='127.0.0.1', ansible_port=self.port, ansible_user=os.environ.get('USER') or
                    sh('id', '-un').strip(), ansible_ssh_private_key_file=self.key,
                    ansible_ssh_common_args='-o UserKnownHostsFile=%s -o StrictHostKeyChecking=yes' % self.known_hosts,
                    ansible_python_interpreter='/usr/bin/python3')


class Lab:
    def __init__(self, root, sshd):
        self.root = root
        self.env = dict(os.environ, ANSIBLE_COLLECTIONS_PATH=str(root / 'collections'),
                        ANSIBLE_CALLBACK_PLUGINS=os.path.join(os.path.dirname(__file__), 'callback'),
                        ANSIBLE_CALLBACKS_ENABLED='record', ANSIBLE_HOME=str(root / 'ansible-home'),
                        ANSIBLE_LOCALHOST_WARNING='false', ANSIBLE_NOCOLOR='1', ANSIBLE_FORKS='10',
                        ANSIBLE_PIPELINING='1')
        self.env.pop('ZORVPC_STATE', None)
        out = sh('ansible-galaxy', 'collection', 'build', os.path.join(SRC, 'ansible'), '--output-path', str(root),
                 '--force')
        sh('ansible-galaxy', 'collection', 'install', out.strip().split()[-1], '-p', str(root / 'collections'))
        sh('ansible-playbook', 'zorfl.bios.lab', '-e', json.dumps(dict(
            zorflash_lab=str(root / 'lab'), zorflash_lab_machines=HOSTS, zorflash_lab_tool=TOOL,
            zorflash_lab_zorvpc=ZORVPC)), env=self.env, cwd=str(root))
        with open(root / 'lab' / 'hosts.yml') as f:
            self.local = json.load(f)['bios']['hosts']
        self.hosts = json.loads(json.dumps(self.local))
        # Root saves only into directories of root's or of the user it runs as (or the login user's,
        # whom a user's session through runuser or sshd without PAM does not have).
        self.private = subprocess.run(SUDO + ['mktemp', '-d'], check=True, capture_output=True,
                                      text=True).stdout.strip() if SUDO else str(root / 'lab')
        for h, v in self.hosts.items():
            del v['ansible_connection'], v['ansible_become']
            v.update(sshd.vars(), zorflash_workdir=os.path.join(self.private, h, 'work'),
                     zorflash_backup_dir=os.path.join(self.private, h, 'backups'))
        for h in HOSTS:
            with open(self.path(h, 'new.rom'), 'rb') as f:
                self.hosts[h]['rom'] = f.read()
        self.before = {h: self.flash(h) for h in HOSTS}

    def path(self, h, *rest):
        return os.path.join(str(self.root), 'lab', h, *rest)

    def listdir(self, h, what):
        """The names in the host's work or backups directory."""
        d = os.path.join(self.private, h, what)
        return sorted(subprocess.run(SUDO + ['ls', '-A', d], capture_output=True, text=True).stdout.split())

    def read(self, path):
        return subprocess.run(SUDO + ['cat', path], check=True, capture_output=True).stdout

    def flash(self, h):
        return self.read(self.path(h, 'machine', 'flash.bin'))

    def rom(self, h):
        return self.hosts[h]['rom']

    def set(self, h, what, text):
        """Writes HOST/faults or HOST/firmware-writes: the next runs on h have these."""
        with open(self.path(h, what), 'w') as f:
            f.write(text)

    def mkrom(self, h, name, *options):
        sh(*SUDO, ZORVPC, 'mkrom', self.path(h, 'machine'), self.path(h, name), *options)
        return self.path(h, name)

    def trace(self, h):
        return self.read(self.path(h, 'machine', 'trace'))

    def files(self):
        """Every file the plays may leave, with its size and time: the hosts' (the virtual PCs' own
        bookkeeping aside) and the controller's backups."""
        top = sorted({str(self.root / 'lab'), str(self.root / 'backups'), self.private})
        out = subprocess.run(SUDO + ['find'] + top + ['(', '-path', '*/machine/*', '!', '-name', 'flash.bin', '!',
                                                    '-path', '*/zorflashlnx2/last-run', ')', '-prune', '-o', '-type',
                                                    'f', '-printf', '%p %s %T@\n'], capture_output=True,
                             text=True).stdout
        return sorted(out.splitlines())

    def staged(self, results):
        """The hosts' directories for the ROM file that are still there after a play."""
        dirs = [r[t]['path'] for r in results.values() for t in r if t.endswith('Make a directory for the ROM file')]
        return [d for d in dirs if subprocess.run(SUDO + ['test', '-e', d]).returncode == 0]

    def play(self, hosts, check=False, playbook='zorfl.bios.rollout', hostvars=None, wait=True, local=False,
             **extra):
        """Runs a playbook on hosts (names of HOSTS, or alias=HOST with that host's machine and the
        variables in hostvars), over SSH, or with local as the lab's inventory has them; returns
        {host: {task name: result}} and its exit status."""
        inventory = {}
        for name in hosts:
            alias, _, h = name.partition('=')
            known = self.local if local else self.hosts
            inventory[alias] = {k: v for k, v in known[h or alias].items() if k != 'rom'}
            inventory[alias].update((hostvars or {}).get(alias, {}))
        n = len(list(self.root.glob('play-*.json')))
        inv = self.root / ('play-%d.json' % n)
        inv.write_text(json.dumps({'bios': {'hosts': inventory}}))
        if playbook.startswith('own'):
            serial, fatal = playbook.split(':')[1:]
            playbook = str(self.root / ('own-%d.yml' % n))
            with open(playbook, 'w') as f:
                f.write(PLAYBOOK.format(serial=serial, fatal=fatal))
        cmd = ['ansible-playbook', playbook, '-i', str(inv), '-e', json.dumps(extra)] + \
            (['--check', '--diff'] if check else [])
        env = dict(self.env, ZORFL_RECORD=str(self.root / ('record-%d.json' % n)))
        start = time.monotonic()
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env,
                                cwd=str(self.root))

        def result():
            out = proc.communicate()[0]
            print(out[-4000:])
            print('play %s on %s: %.1f s' % (' '.join(cmd[1:2] + cmd[5:]), ','.join(hosts), time.monotonic() - start))
            with open(env['ZORFL_RECORD']) as f:
                return json.load(f), proc.returncode
        return result() if wait else result


@pytest.fixture(scope='module')
def lab(tmp_path_factory):
    if SUDO and subprocess.run(SUDO + ['true']).returncode != 0:
        pytest.skip('the plays become root: sudo must work without a password')
    root = tmp_path_factory.mktemp('lab')
    sshd = Sshd(root / 'sshd')
    lab = None
    try:
        lab = Lab(root, sshd)
        yield lab
    finally:
        sshd.proc.terminate()
        sshd.proc.wait()
        if SUDO:
            subprocess.run(SUDO + ['rm', '-rf', str(root / 'lab')] + ([lab.private] if lab else []))
