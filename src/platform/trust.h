// Kernel code is loaded from the working directory only when nobody else can have put or
// changed it there.
#pragma once

// 1 when the load command that names path (a file in the working directory) may run; else a
// line says why not and the result is 0. A path that does not exist passes when the directory
// is safe: then nobody else can create it before the command runs.
int trusted_module_file(const char* path);
