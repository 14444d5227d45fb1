#include "platform/load_failure.h"

#include "platform/command.h"
#include "run/quote.h"

#include <sys/mman.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char MODULE[] = "zorfldrv_mod";

// The first character of a one-line kernel file; 0 when it cannot be read.
int first_char(const char* path) {
  FILE* f = fopen(path, "re");
  if (f == nullptr) return 0;
  int c = fgetc(f);
  fclose(f);
  return c == EOF ? 0 : c;
}

// The last non-empty line of text, with control characters made visible as '?', into out.
void last_line(const char* text, char* out, size_t size) {
  const char* end = text + strlen(text);
  while (end > text && (end[-1] == '\n' || end[-1] == '\r')) --end;
  const char* start = end;
  while (start > text && start[-1] != '\n') --start;
  shown_text(out, size, start, static_cast<size_t>(end - start));
}

}  // namespace

void describe_load_failure(const LoadFacts& f, char* line, size_t size) {
  if (f.disabled) {
    snprintf(line, size, " module loading is disabled on this kernel (kernel.modules_disabled is 1) "
                         "until the next boot\n");
  } else if (strstr(f.output, "Key was rejected by service") != nullptr) {
    snprintf(line, size, " %s (Key was rejected by service): see Secure Boot in zorflashlnx2(8)\n",
             f.enforced ? "the kernel loads only signed modules, and zorfldrv_mod has no signature it trusts"
                        : "the kernel rejected the signature of zorfldrv_mod");
  } else if (f.by_name && (strstr(f.output, "zorfldrv_mod not found") != nullptr ||
                            strstr(f.output, "No such file or directory") != nullptr)) {
    snprintf(line, size, " no %s for this kernel (%s): install linux-headers-%s and zorfldrv-dkms\n",
             MODULE, f.release, f.release);
  } else if (f.output[0] != '\0') {
    char shown[256];
    last_line(f.output, shown, sizeof shown);
    snprintf(line, size, " %s did not load: %s\n", MODULE, shown);
  } else {
    snprintf(line, size, " %s did not load, and the module tool gave no reason\n", MODULE);
  }
}

int retry_load_for_reason(const char* load_command, char* line, size_t size) {
  LoadFacts facts = {};
  facts.disabled = first_char("/proc/sys/kernel/modules_disabled") == '1';
  facts.enforced = first_char("/sys/module/module/parameters/sig_enforce") == 'Y';
  facts.by_name = strncmp(load_command, "modprobe ", 9) == 0;
  struct utsname names = {};
  facts.release = uname(&names) == 0 ? names.release : "?";
  char output[200] = "";
  facts.output = output;
  if (!facts.disabled) {
    // The same command, its error output kept in a memory file that the shell inherits.
    int fd = memfd_create("zorfl-load", 0);
    if (fd >= 0) {
      char command[128];
      const char* quiet = strstr(load_command, " 2>");
      int length = static_cast<int>(quiet ? quiet - load_command : strlen(load_command));
      snprintf(command, sizeof command, "%.*s 2>&%d > /dev/null", length, load_command, fd);
      int status = run_system_command(command);
      char text[4096];
      ssize_t got = pread(fd, text, sizeof text - 1, 0);
      close(fd);
      if (status == 0) return 1;
      text[got > 0 ? got : 0] = '\0';
      last_line(text, output, sizeof output);
    }
  }
  describe_load_failure(facts, line, size);
  return 0;
}
