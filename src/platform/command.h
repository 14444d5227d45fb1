// The module tools run as root through the shell: what runs must not depend on the caller.
#pragma once

// system(command) with the fixed PATH "/usr/sbin:/usr/bin:/sbin:/bin" and without the shell
// variables that make a shell run other code (ENV, BASH_ENV, IFS, CDPATH, SHELLOPTS, BASHOPTS,
// GLOBIGNORE, exported functions). Every system call of the tool goes through here.
int run_system_command(const char* command);
