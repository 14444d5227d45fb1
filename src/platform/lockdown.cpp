#include "platform/lockdown.h"

#include <cerrno>
#include <cstring>

#include "platform/ports.h"
#include "run/errors.h"
#include "run/exit_codes.h"

namespace {

const char LOCKDOWN_FILE[] = "/sys/kernel/security/lockdown";

}  // namespace

const char* active_lockdown(FILE* lockdown_file) {
  char text[128];
  if (fgets(text, sizeof text, lockdown_file) == nullptr) return nullptr;
  if (strstr(text, "[integrity]") != nullptr) return "integrity";
  if (strstr(text, "[confidentiality]") != nullptr) return "confidentiality";
  return nullptr;
}

void take_io_privilege() {
  // In lockdown the kernel refuses iopl and /dev/mem to every process, root or not; the file
  // exists only where securityfs is mounted, and the iopl result below covers the rest.
  const char* mode = nullptr;
  if (FILE* f = fopen(LOCKDOWN_FILE, "re")) {
    mode = active_lockdown(f);
    fclose(f);
  }
  if (mode != nullptr) {
    printf(" the kernel is locked down (%s): it refuses port access and /dev/mem to every program\n"
           " to update the BIOS, turn off Secure Boot in the firmware setup or boot a kernel"
           " without lockdown, for the update only\n",
           mode);
    fatal(EXIT_NO_IO_PRIVILEGE, "Unable to raise I/O privilege level");
  }
  raise_io_privilege();
  if (io_privilege_raised) return;
  int err = errno;
  printf(" error %d raising the I/O privilege level: %s\n", err, strerror(err));
  if (err == EPERM) {
    printf(" the kernel grants it only to root with CAP_SYS_RAWIO, and to no program while it is"
           " locked down\n");
  }
  fatal(EXIT_NO_IO_PRIVILEGE, "Unable to raise I/O privilege level");
}
