#include "platform/command.h"

#include <cstdlib>
#include <cstring>

#include "run/signals.h"

extern char** environ;

namespace {

const char* const SHELL_VARIABLES[] = {"ENV", "BASH_ENV", "IFS", "CDPATH", "SHELLOPTS", "BASHOPTS", "GLOBIGNORE"};

// bash imports a variable named BASH_FUNC_name%% as the function name: it could stand in for a
// command. unsetenv moves the later entries down, so the same slot is looked at again. Called
// after a setenv, so environ is never null here.
void drop_exported_functions() {
  for (size_t i = 0; environ[i] != nullptr;) {
    const char* entry = environ[i];
    const char* eq = strchr(entry, '=');
    if (strncmp(entry, "BASH_FUNC_", 10) == 0 && eq != nullptr) {
      char name[256];
      size_t n = static_cast<size_t>(eq - entry);
      if (n < sizeof name) {
        memcpy(name, entry, n);
        name[n] = '\0';
        unsetenv(name);
        continue;
      }
    }
    ++i;
  }
}

}  // namespace

int run_system_command(const char* command) {
  // The tool reads no environment variable itself, so its own environment can be the one given.
  setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
  for (const char* name : SHELL_VARIABLES) unsetenv(name);
  drop_exported_functions();
  // system ignores SIGINT and SIGQUIT while the command runs, which discards a held one.
  note_held_signals();
  return system(command);
}
