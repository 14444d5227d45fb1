// Raising the I/O privilege level, and what to tell the user when a locked-down kernel or a
// missing capability refuses it.
#pragma once

#include <cstdio>

// The active mode named in brackets in the kernel's lockdown file ("none [integrity]
// confidentiality"): "integrity" or "confidentiality", or nullptr when the kernel is not
// locked down or the text names no mode this tool knows.
const char* active_lockdown(FILE* lockdown_file);

// Reads the lockdown file before anything else touches the kernel: a locked-down kernel, or an
// iopl(3) that fails, ends the run through the clean-up with 17 before any driver, node or port.
void take_io_privilege();
