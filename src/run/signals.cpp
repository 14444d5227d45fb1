#include "run/signals.h"

#include <sys/wait.h>

#include <csignal>
#include <cstdio>

#include "run/errors.h"
#include "run/exit_codes.h"

namespace {

const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
const int HELD_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGTSTP};

enum Phase { RUNNING, HELD, CLEANING };
Phase phase = RUNNING;
volatile sig_atomic_t stop_noted;
bool held_noted;  // a held signal was seen pending before something could discard it

// The handler only notes the stop: the run acts on it where nothing is half done.
void note_stop(int) { stop_noted = 1; }

sigset_t held_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : HELD_SIGNALS) sigaddset(&set, sig);
  return set;
}

// A held signal waiting to be delivered; one that was ignored from the start (SIGHUP under
// nohup) stays pending while blocked but was never a request to stop.
bool held_pending() {
  sigset_t pending;
  sigpending(&pending);
  bool any = false;
  for (int sig : HELD_SIGNALS) {
    struct sigaction act = {};
    sigaction(sig, nullptr, &act);
    any = any || (sigismember(&pending, sig) == 1 && act.sa_handler != SIG_IGN);
  }
  return any;
}

[[noreturn]] void stop_run() { fatal(EXIT_STOPPED, "Stopped by a signal; the flash was not changed"); }

}  // namespace

void catch_stop_signals() {
  // A write past the file-size limit then fails as any other write does, and the run ends
  // through the clean-up instead of being killed.
  signal(SIGXFSZ, SIG_IGN);
  struct sigaction act = {};
  act.sa_handler = note_stop;
  act.sa_flags = SA_RESTART;  // a console write or file read in progress completes
  sigemptyset(&act.sa_mask);
  for (int sig : STOP_SIGNALS) {
    struct sigaction old = {};
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) sigaction(sig, &act, nullptr);
  }
}

void check_stop() {
  if (phase == RUNNING && stop_noted) stop_run();
}

void hold_stop_signals() {
  sigset_t set = held_signals();
  sigprocmask(SIG_BLOCK, &set, nullptr);
  // A stop that came before the block is still acted on: nothing is erased yet.
  if (phase == RUNNING && stop_noted) stop_run();
  phase = HELD;
}

void note_held_signals() {
  if (phase == HELD && held_pending()) held_noted = true;
}

void note_command_status(int status) {
  // The command shares the terminal's process group: a Ctrl-C ends it while system has the tool
  // ignore the signal, so the way it ended is the only trace of the request.
  if (status == -1 || !WIFSIGNALED(status)) return;
  if (WTERMSIG(status) != SIGINT && WTERMSIG(status) != SIGQUIT) return;
  if (phase == HELD) held_noted = true;
  if (phase == RUNNING) stop_noted = 1;
}

void begin_cleanup_signals() {
  if (phase == RUNNING) phase = CLEANING;
}

void drop_held_signals() {
  if (phase != HELD) return;
  phase = CLEANING;
  bool any = held_noted || held_pending();
  // Ignoring a pending signal discards it; the process only flushes and exits after this.
  for (int sig : HELD_SIGNALS) signal(sig, SIG_IGN);
  sigset_t set = held_signals();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  if (any) {
    fputs("\n Stop signal held until programming ended\n", stdout);
    fflush(stdout);
  }
}

void release_stop_signals() {
  sigset_t set = held_signals();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  phase = RUNNING;
  stop_noted = 0;
  held_noted = false;
}
