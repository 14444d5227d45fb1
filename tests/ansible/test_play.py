# The roll-out on nine virtual PCs over SSH, row after row: each row builds on the machines the
# rows before it left, and each play serves several rows. Runs the real engine; the tool only ever
# runs under zorvpc.
import glob
import os
import stat

import pytest

from conftest import SUDO

FOUR = ['h1', 'h2', 'h3', 'h4']
# Up to date at the end: they all get the rerun.
RERUN = ['h1', 'h2', 'h3', 'h6']


def flash_task(results, h):
    return next(r for name, r in results[h].items() if name.endswith(': Flash'))


def failure(results, h):
    return results[h]['zorfl.bios.update : Stop here when the BIOS task failed']['msg']


def backups(lab, h):
    return sorted(os.path.basename(p) for p in glob.glob(str(lab.root / 'backups' / h / '*')))


def test_check_mode_predicts_and_writes_nothing(lab):
    # As root, the lab's inventory as zorfl.bios.lab wrote it: the local connection, without become.
    # (A user's runs would leave the machines' /run to that user, which root's tool then refuses.)
    files = lab.files()
    results, rc = lab.play(FOUR, check=True, local=not SUDO, zorflash_serial=4)
    assert rc == 0
    for h in FOUR:
        r = flash_task(results, h)
        assert r['changed'] and r['rehearsal']['rc'] == 0, h
        assert {b['kind'] for b in r['blocks']} >= {'main', 'boot block'}, h
        assert 'differs from the backup' in r['diff']['prepared']
        assert 'backup' not in r and lab.flash(h) == lab.before[h], h
    assert lab.files() == files and lab.staged(results) == []


def test_first_failure_stops_the_rollout_in_batches_of_two(lab):
    # A ROM file relative to where ansible-playbook runs (the lab's parent), the backups home there too.
    results, rc = lab.play(FOUR, zorflash_serial=2, hostvars={'h1': dict(zorflash_rom_src='lab/h1/new.rom')})
    assert rc != 0
    r = flash_task(results, 'h1')
    assert r['changed'] and r['reboot_required'] and r['rc'] == 0
    assert r['rom_id_before'] == r['rom_id_after']
    # The firmware wrote an NVRAM byte that the command did not program: a warning, not a failure.
    assert any('at 0x000E0010, outside the blocks this task programmed' in w for w in r['warnings'])
    flash, rom = lab.flash('h1'), lab.rom('h1')
    assert flash[:0x60000] == rom[:0x60000] and flash[0x70000:] == rom[0x70000:]  # all but NVRAM
    r = flash_task(results, 'h2')
    assert r['status'] == 'failed' and r['rc'] == 68 and r['changed'] and not r['reboot_required']
    for words in ('Unable to write block: 0x000A0000', 'exit 68: flash block write failed',
                  'do not restart or power off the machine; run the same task again, or restore the backup at '
                  '%s (zorflashlnx2 /i%s /pbn)' % (r['backup'], r['backup'])):
        assert words in r['msg'] and words in failure(results, 'h2')
    for h in ('h3', 'h4'):
        assert h not in results and lab.flash(h) == lab.before[h], h
    # The backups came home private, the failed host's too.
    for h in ('h1', 'h2'):
        (name,) = backups(lab, h)
        home = lab.root / 'backups' / h / name
        assert [stat.S_IMODE(os.stat(p).st_mode) for p in (home.parent.parent, home.parent, home)] == \
            [0o700, 0o700, 0o600]
        assert home.read_bytes() == lab.before[h]


def test_any_errors_fatal_stops_the_next_batch(lab):
    first = backups(lab, 'h2')
    results, rc = lab.play(['h2', 'h3', 'h4'], playbook='own:2:true')
    assert rc != 0 and flash_task(results, 'h2')['rc'] == 68
    assert backups(lab, 'h2') == first == lab.listdir('h2', 'backups')
    assert lab.flash('h3') == lab.rom('h3')  # the same lockstep task as the failure
    assert 'h4' not in results and lab.flash('h4') == lab.before['h4']


def test_retry_cut_battery_and_a_changed_block(lab):
    lab.set('h2', 'faults', '')
    results, rc = lab.play(['h2', 'h5', 'h6', 'h7', 'h8'], zorflash_serial=5)
    assert rc != 0
    r = flash_task(results, 'h2')
    assert r['rc'] == 0 and r['changed'] and lab.flash('h2') == lab.rom('h2')
    assert [os.path.basename(flash_task(results, 'h2')['backup'])] == backups(lab, 'h2') == \
        lab.listdir('h2', 'backups')
    r = flash_task(results, 'h5')
    assert r['rc'] == 68 and 'Unable to write block: 0x000F8000' in r['msg'] and '/pbn /n)' in r['msg']
    r = flash_task(results, 'h6')  # a power cut while programming
    assert r['rc'] == 137 and r['changed'] and 'killed by signal 9' in r['msg']
    assert 'do not restart or power off' in r['msg'] and 'not changed' not in r['msg']
    r = flash_task(results, 'h7')
    assert r['rc'] == 21 and not r['changed'] and not r['reboot_required']
    assert 'On battery power' in r['msg'] and 'connect the charger and run the task again' in r['msg']
    assert lab.flash('h7') == lab.before['h7'] and lab.listdir('h7', 'backups') == []
    r = flash_task(results, 'h8')
    assert "differs from the rehearsal's prediction at 0x00090010, in a block this task programmed" in r['msg']


def test_two_plays_at_once_and_retries(lab):
    """Two plays on h3 at once, each with a ROM file of its own; beside them the retry after the cut
    on h6, and one after the boot-block failure on h5 that would leave the boot block erased."""
    lab.set('h5', 'faults', '')
    lab.set('h6', 'faults', '')
    h5 = lab.flash('h5')
    roms = [lab.mkrom('h3', 'b.rom', '--seed', '7'), lab.mkrom('h3', 'c.rom', '--seed', '8')]
    main_only = dict(zorflash_boot_block=False, zorflash_skip_rom_id_check=True)
    first = lab.play(['h3', 'h6'], playbook='own:0:false', wait=False, hostvars={'h3': dict(zorflash_rom_src=roms[0])})
    second = lab.play(['h3', 'h5'], playbook='own:0:false', wait=False,
                      hostvars={'h3': dict(zorflash_rom_src=roms[1]), 'h5': main_only})
    (a, rc_a), (b, _) = first(), second()
    assert rc_a == 0
    for r in (flash_task(a, 'h3'), flash_task(b, 'h3')):
        assert r['rc'] == 0 and r['changed'] and r['flash_sha256_after'] == r['rom_sha256']
    assert lab.flash('h3') in [lab.read(rom) for rom in roms]
    lab.hosts['h3']['zorflash_rom_src'] = next(rom for rom in roms if lab.read(rom) == lab.flash('h3'))
    r = flash_task(a, 'h6')  # the first retry after the cut
    assert r['rc'] == 0 and r['changed'] and lab.flash('h6') == lab.rom('h6')
    r = flash_task(b, 'h5')
    assert r['status'] == 'failed' and not r['changed'] and lab.flash('h5') == h5
    assert 'left 0x000F8000 (boot block) unlike the ROM file' in r['msg']
    assert 'program them too (boot_block, nvram, skip_rom_id_check)' in r['msg']


REFUSALS = {
    'rom': (dict(zorflash_rom_src='other.rom'), 'ROM file ROMID is not compatible with existing BIOS ROMID. (exit 4: '),
    'nc': (dict(zorflash_main=False, zorflash_non_critical='all'), 'cannot program the boot block or NVRAM'),
    'none': (dict(zorflash_main=False, zorflash_boot_block=False, zorflash_nvram=False), 'set non_critical'),
    'choice': (dict(zorflash_non_critical='8'), 'value of zorflash_non_critical must be one of'),
    'type': (dict(zorflash_boot_block='maybe'), "zorflash_boot_block' is of type"),
    'tool': (dict(zorflash_executable='/nonexistent/zorflashlnx2'), 'install the package zorflashlnx2'),
}


@pytest.fixture(scope='module')
def rerun(lab):
    """The hosts that are up to date again; h5 with the options its unfinished run named; aliases of
    h9 with settings that are refused."""
    aliases = {a: dict(extra) for a, (extra, _) in REFUSALS.items()}
    aliases['rom']['zorflash_rom_src'] = lab.mkrom('h9', 'other.rom', '--id', 'ZQOTHER1')
    aliases['h5'] = dict(zorflash_skip_rom_id_check=True)
    files = lab.files()
    results, rc = lab.play(RERUN + ['h5'] + ['%s=h9' % a for a in REFUSALS], playbook='own:0:false',
                           hostvars=aliases)
    return results, files, lab.files()


def test_rerun_changes_nothing(lab, rerun):
    results, files_before, files_after = rerun
    r = flash_task(results, 'h5')  # after the boot-block failure, with the boot block and /n
    assert r['rc'] == 0 and r['changed'] and lab.flash('h5') == lab.rom('h5')
    assert [f for f in files_after if '/h5/' not in f] == [f for f in files_before if '/h5/' not in f]
    assert lab.staged(results) == []
    for h in RERUN:
        r = flash_task(results, h)
        assert r['status'] == 'ok' and not r['changed'] and r['flash_sha256_before'] == r['flash_sha256_after'], h
        assert r['reboot_required'] and 'backup' not in r, h  # h1's from the aborted roll-out too


@pytest.mark.parametrize('alias', REFUSALS)
def test_refused_before_the_flash(lab, rerun, alias):
    results = rerun[0]
    r = next(iter(results[alias].values())) if alias in ('choice', 'type') else flash_task(results, alias)
    assert r['status'] == 'failed' and REFUSALS[alias][1] in r['msg'], r['msg']
    assert ('rom_id_before' in r) == (alias == 'rom')  # the tool was started for the ROM file only
    assert lab.flash('h9') == lab.before['h9']
