#include "platform/power.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "run/errors.h"
#include "run/exit_codes.h"
#include "run/options.h"

namespace {

const char POWER_SUPPLY_DIR[] = "/sys/class/power_supply";
constexpr int LOW_CHARGE = 10;

// The first line of dir/name/attribute, without its newline; "" when there is none.
void read_attribute(int dfd, const char* name, const char* attribute, char* out, size_t size) {
  char path[NAME_MAX + 32];
  snprintf(path, sizeof path, "%s/%s", name, attribute);
  out[0] = '\0';
  int fd = openat(dfd, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  ssize_t n = read(fd, out, size - 1);
  close(fd);
  out[n > 0 ? n : 0] = '\0';
  out[strcspn(out, "\n")] = '\0';
}

}  // namespace

PowerState read_power_supplies(const char* dir) {
  PowerState s = {false, false, -1};
  int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return s;
  DIR* d = fdopendir(dfd);
  if (d == nullptr) {
    close(dfd);
    return s;
  }
  for (dirent* e; (e = readdir(d)) != nullptr;) {
    if (e->d_name[0] == '.') continue;
    char type[32], scope[32], value[32];
    read_attribute(dfd, e->d_name, "type", type, sizeof type);
    read_attribute(dfd, e->d_name, "scope", scope, sizeof scope);
    // A supply of a device (a mouse, a keyboard, a phone on a USB port) neither powers the
    // machine nor charges it; the kernel's "Unknown" scope is taken as the system's.
    if (strcmp(scope, "Device") == 0) continue;
    if (strcmp(type, "Battery") == 0) {
      s.battery = true;
      read_attribute(dfd, e->d_name, "capacity", value, sizeof value);
      char* end = nullptr;
      long c = strtol(value, &end, 10);
      if (end != value && c >= 0 && c <= 100 && (s.capacity < 0 || c < s.capacity)) s.capacity = static_cast<int>(c);
    } else if (strcmp(type, "Mains") == 0 || strncmp(type, "USB", 3) == 0 || strcmp(type, "Wireless") == 0) {
      // 1 and 2 are the kernel's "online, fixed" and "online, programmable"; anything else is off.
      read_attribute(dfd, e->d_name, "online", value, sizeof value);
      s.ac_online = s.ac_online || strcmp(value, "1") == 0 || strcmp(value, "2") == 0;
    }
  }
  closedir(d);
  return s;
}

void check_power() {
  if (options.ignore_power) return;
  PowerState s = read_power_supplies(POWER_SUPPLY_DIR);
  if (s.battery && !s.ac_online) fatal(EXIT_ON_BATTERY, "On battery power: connect the charger and run again");
  // Said with /q too: the charger must not be pulled while the flash is being programmed.
  if (s.battery && s.capacity >= 0 && s.capacity < LOW_CHARGE) {
    printf(" The battery is at %d %%: keep the charger connected until the run ends\n", s.capacity);
    fflush(stdout);
  }
}
