// Runs a function with standard output sent to a temporary file and returns what it printed.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

template <typename Fn>
std::string capture_stdout(Fn fn) {
  fflush(stdout);
  FILE* tmp = tmpfile();
  int saved = dup(fileno(stdout));
  dup2(fileno(tmp), fileno(stdout));
  fn();
  fflush(stdout);
  dup2(saved, fileno(stdout));
  close(saved);
  std::string text;
  rewind(tmp);
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, tmp)) > 0) text.append(buf, n);
  fclose(tmp);
  return text;
}
