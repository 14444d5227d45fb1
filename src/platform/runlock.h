// One run at a time on a machine: the BIOS handler's parameter block, the module and its node
// are shared by every process, so a second run must not start while one is busy.
#pragma once

// Takes the machine-wide lock and keeps it until the process ends; ends the run with 19 when
// another run holds it or the lock file cannot be opened.
void take_run_lock();
