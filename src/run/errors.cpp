#include "run/errors.h"

#include <cstdarg>
#include <cstdio>

char ErrorText[ERROR_TEXT_SIZE];

namespace {
void vset_error(const char* format, va_list args) {
  vsnprintf(ErrorText, sizeof ErrorText, format, args);
}
}  // namespace

void set_error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vset_error(format, args);
  va_end(args);
}

void print_error() {
  printf("\nERROR: %s\n\n", ErrorText);
  fflush(stdout);
}

void report_error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vset_error(format, args);
  va_end(args);
  print_error();
}

void fatal(int code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vset_error(format, args);
  va_end(args);
  print_error();
  fail_exit(code);
}
