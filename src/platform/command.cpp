#include "platform/command.h"

#include <cstdlib>

#include "run/signals.h"

extern char** environ;

namespace {

// Built from nothing, not cleaned by a list of names: whatever the caller's environment holds
// (the loader's LD_ names, MODPROBE_OPTIONS, a shell's start-up file, a locale) reaches neither
// the shell nor the module tools, and their messages are the untranslated ones.
char path_entry[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
char locale_entry[] = "LC_ALL=C";
char* command_environment[] = {path_entry, locale_entry, nullptr};

}  // namespace

int run_system_command(const char* command) {
  // system starts the shell with environ; the tool's own is put back for the rest of the run.
  char** own = environ;
  environ = command_environment;
  // system ignores SIGINT and SIGQUIT while the command runs, which discards a held one.
  note_held_signals();
  int status = system(command);
  environ = own;
  note_command_status(status);
  return status;
}
