// Kernel code is loaded from the working directory only when nobody else can have put or
// changed it there.
#pragma once

// An open descriptor of the module file path (a file in the working directory) when it may be
// loaded; the load command names this descriptor, so the file loaded is the one checked. The
// descriptor is inherited by the command; the caller closes it. Else -1: a line says why,
// unless the file does not exist.
int open_trusted_module(const char* path);
