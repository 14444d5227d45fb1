// The module tools run as root through the shell: what runs must not depend on the caller.
#pragma once

// system(command) with an environment of its own, PATH=/usr/sbin:/usr/bin:/sbin:/bin and
// LC_ALL=C and nothing else; a stop signal that arrives meanwhile, or ends the command, is noted.
// Every system call of the tool goes through here.
int run_system_command(const char* command);
