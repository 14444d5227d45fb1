// Stop signals: SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE. Before the first erase they end
// the run in order, through the clean-up; from the first erase on they are held and never end
// the run early nor change its exit code.
#pragma once

// Installs a handler that only notes a stop; a signal ignored at start (nohup) stays ignored.
void catch_stop_signals();
// Called between two flash commands or file pieces: a stop noted before the first erase ends
// the run with 20. Does nothing once the signals are held or the clean-up has begun.
void check_stop();
// Before the first erase: blocks the stop signals and SIGTSTP until the clean-up has run. A stop
// noted before this ends the run here, with the flash untouched.
void hold_stop_signals();
// Before something that sets a held signal to ignored (system does for SIGINT and SIGQUIT):
// remembers that one is pending, so that its line is still printed.
void note_held_signals();
// After a command started by system: one ended by SIGINT or SIGQUIT counts as a stop that
// arrived meanwhile, noted as check_stop or the held line would see it.
void note_command_status(int status);
// Start of the clean-up: a stop noted from now on no longer ends the run.
void begin_cleanup_signals();
// End of the clean-up: signals held since the first erase are dropped, SIGTSTP among them, and
// a line says that a stop was held; they never end the process nor change its code.
void drop_held_signals();
// Unblocks held signals and starts over (for a program that runs the sequence repeatedly).
void release_stop_signals();
