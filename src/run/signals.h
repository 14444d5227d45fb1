// Holding back the signals that would stop the run from the terminal or a closed pipe.
#pragma once

// Blocks SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP and SIGPIPE.
void hold_stop_signals();
// Unblocks them if held; one that arrived meanwhile then takes effect.
void release_stop_signals();
