#include "run/signals.h"

#include <csignal>
#include <initializer_list>

namespace {
int held;

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGPIPE}) sigaddset(&set, sig);
  return set;
}
}  // namespace

void hold_stop_signals() {
  sigset_t set = stop_signals();
  sigprocmask(SIG_BLOCK, &set, nullptr);
  held = 1;
}

void release_stop_signals() {
  if (!held) return;
  held = 0;
  sigset_t set = stop_signals();
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
}
