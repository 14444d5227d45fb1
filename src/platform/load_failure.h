// Why the module did not load, found after every quiet load command failed: one line that
// names the cause, for the user to act on.
#pragma once

#include <cstddef>

struct LoadFacts {
  bool disabled;       // /proc/sys/kernel/modules_disabled reads 1
  bool enforced;       // /sys/module/module/parameters/sig_enforce reads Y
  bool by_name;        // the attempt was modprobe, through the module tree
  const char* output;  // the attempt's error output, its last line
  const char* release; // the running kernel's release
};

// The line for these facts, ending in a newline, cut to fit size.
void describe_load_failure(const LoadFacts& facts, char* line, size_t size);

// Runs the load command once more, with its error output kept, unless the kernel loads no
// modules at all. Returns 1 when the module loaded this time; else fills line with the cause.
int retry_load_for_reason(const char* load_command, char* line, size_t size);
