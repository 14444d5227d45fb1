// The one way errors are reported, and the one way the run ends.
#pragma once

constexpr int ERROR_TEXT_SIZE = 80;
extern char ErrorText[ERROR_TEXT_SIZE];

// printf-style into ErrorText; a longer message is cut at 79 characters.
void set_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Prints "\nERROR: %s\n\n" with ErrorText and flushes, whatever quiet says.
void print_error();
// set_error + print_error.
void report_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Releases everything in the fixed order and returns the exit code to use.
int cleanup_all(int code);
// cleanup_all, then ends the process with its result.
[[noreturn]] void fail_exit(int code);
// report_error + fail_exit.
[[noreturn]] void fatal(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));
