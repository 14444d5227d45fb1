# The roll-out on five virtual PCs, row after row: each row builds on the machines the rows
# before it left. Runs the real engine; the tool only ever runs under zorvpc.
import glob

import pytest

from conftest import HOSTS

FOUR = ['h1', 'h2', 'h3', 'h4']


def flash_task(results, h):
    return next(r for name, r in results[h].items() if name.endswith(': Flash'))


def erases_and_writes(trace):
    return [line for line in trace.splitlines() if line.startswith(('smi 0x22', 'smi 0x23'))]


def test_check_mode_predicts_and_changes_nothing(lab):
    results, rc = lab.play(FOUR, check=True)
    assert rc == 0
    for h in FOUR:
        r = flash_task(results, h)
        assert r['changed'] and r['rehearsal']['rc'] == 0, h
        assert {b['kind'] for b in r['blocks']} == {'main', 'NVRAM', 'boot block'}, h
        assert 'differs from the backup' in r['diff']['prepared']
        assert 'backup' not in r and lab.flash(h) == lab.before[h], h


def test_rollout_stops_at_the_faulty_host(lab):
    results, rc = lab.play(FOUR)
    assert rc != 0
    for h in ('h1', 'h2'):
        r = flash_task(results, h)
        assert r['changed'] and r['reboot_required'] and r['rc'] == 0, h
        assert r['rom_id_before'] == r['rom_id_after']
        with open(lab.path(h, 'new.rom'), 'rb') as f:
            assert lab.flash(h) == f.read(), h
        assert results[h]['zorfl.bios.update : Note whether the host needs a reboot']['ansible_facts'] == \
            {'reboot_required': True}
    r = flash_task(results, 'h3')
    assert r['status'] == 'failed' and r['rc'] == 68
    assert 'Unable to write block' in r['msg'] and 'exit 68: flash block write failed' in r['msg']
    assert 'run the same task again, or restore the backup at %s' % r['backup'] in r['msg']
    assert 'h4' not in results and lab.flash('h4') == lab.before['h4']


def test_second_run_changes_nothing(lab):
    marks = {h: len(lab.trace(h)) for h in ('h1', 'h2')}
    results, rc = lab.play(['h1', 'h2'])
    assert rc == 0
    for h in ('h1', 'h2'):
        r = flash_task(results, h)
        assert not r['changed'] and not r['reboot_required'] and r['blocks'] == [], h
        assert erases_and_writes(lab.trace(h)[marks[h]:]) == [], h


def test_retry_keeps_the_first_backup(lab):
    first = glob.glob(lab.path('h3', 'backups', '*'))
    for repaired in (False, True):  # the fault still there; then gone, and the retry finishes the job
        results, rc = lab.play(['h3'])
        r = flash_task(results, 'h3')
        assert (rc == 0 and r['rc'] == 0) if repaired else (rc != 0 and r['rc'] == 68)
        assert [r['backup']] == first and glob.glob(lab.path('h3', 'backups', '*')) == first
        lab.repair('h3')
    with open(lab.path('h3', 'new.rom'), 'rb') as f:
        assert lab.flash('h3') == f.read()


@pytest.mark.parametrize('h', ['h1', 'h2', 'h3'])
def test_backups_at_home_hold_the_flash_before(lab, h):
    files = sorted(glob.glob(str(lab.root / 'backups' / h / '*.rom')))
    assert files, h
    with open(files[0], 'rb') as f:
        assert f.read() == lab.before[h]


@pytest.mark.parametrize('extra, words', [
    (dict(zorflash_rom_src='other.rom'), 'ROMID is not compatible with existing BIOS ROMID. (exit 4: '),
    (dict(zorflash_main=False, zorflash_non_critical='all'), 'cannot program the boot block or NVRAM'),
    (dict(zorflash_main=False, zorflash_boot_block=False, zorflash_nvram=False), 'set non_critical'),
    (dict(zorflash_non_critical='8'), 'value of non_critical must be one of'),
])
def test_refused_before_the_flash(lab, extra, words):
    if extra.get('zorflash_rom_src'):
        lab.mkrom('h4', 'other.rom', '--id', 'ZQOTHER1')
        extra = dict(extra, zorflash_rom_src=lab.path('h4', 'other.rom'))
    runs = len(lab.trace('h4'))
    results, rc = lab.play(['h4'], check=True, **extra)
    r = flash_task(results, 'h4')
    assert rc != 0 and r['status'] == 'failed' and words in r['msg'], r['msg']
    assert lab.flash('h4') == lab.before['h4']
    if 'rom_src' not in str(extra):
        assert len(lab.trace('h4')) == runs  # the tool was never started


def test_after_run_check_names_the_differing_address(lab):
    results, rc = lab.play(['h5'])
    r = flash_task(results, 'h5')
    assert rc != 0 and r['status'] == 'failed'
    assert "differs from the rehearsal's prediction at 0x%08X" % HOSTS['h5'][1] in r['msg']
