#include "platform/driver.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/command.h"
#include "platform/load_failure.h"
#include "platform/trust.h"
#include "run/signals.h"

int driver_fd;
void* driver_map;

namespace {

const char NODE_NAME[] = "zorfl";
const char DRIVER_NAME[] = "zorfldrv";
const char FIRST_FILE[] = "./zorfldrv_mod.o";
const char SECOND_FILE[] = "./zorfldrv_mod";
// insmod is given the descriptor of the file that was checked, so a file swapped in under the
// same name afterwards is never the one loaded.
const char LOAD_FILE[] = "insmod /proc/self/fd/%d 2> /dev/null > /dev/null";
// insmod takes a file name only; a module installed in the module tree (the DKMS package puts it
// in /lib/modules/VERSION/updates/dkms) is found by name through modprobe.
const char THIRD_LOAD[] = "modprobe zorfldrv_mod 2> /dev/null > /dev/null";
const char UNLOAD[] = "rmmod zorfldrv_mod";
// A module this run did not load, or has already tried to unload once, is unloaded quietly: it
// may well not be there.
const char QUIET_UNLOAD[] = "rmmod zorfldrv_mod 2> /dev/null > /dev/null";
int module_loaded_here;

// The node is opened without following links and used only when it is a character device: a
// root process must not send driver requests to whatever a planted link or file points at.
int open_node() {
  int fd = open(NODE_NAME, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
    close(fd);
    errno = ENODEV;
    return -1;
  }
  return fd;  // never 0: the standard descriptors are open from the start
}

// A module file in the working directory is loaded only when it can be trusted; a refused or
// absent one counts as a failed load. The first command that ran and failed is kept, with the
// descriptor it names still open, to be asked again for the kernel's reason.
int load_from(const char* file, char* first_run, size_t size, int* first_fd) {
  int fd = open_trusted_module(file);
  if (fd < 0) return 0;
  char command[sizeof LOAD_FILE + 16];
  snprintf(command, sizeof command, LOAD_FILE, fd);
  int loaded = run_system_command(command) == 0;
  if (loaded) module_loaded_here = 1;
  // A stop asked for while insmod ran ends the run here; the clean-up takes a module out that
  // this command loaded.
  check_stop();
  if (!loaded && first_run[0] == '\0') {
    snprintf(first_run, size, "%s", command);
    *first_fd = fd;
  } else {
    close(fd);
  }
  return loaded;
}

// The result is not used: for a module this run loaded, the module tool says on the console why
// it failed.
void unload_module() {
  const char* command = module_loaded_here ? UNLOAD : QUIET_UNLOAD;
  module_loaded_here = 0;
  if (run_system_command(command) != 0) return;
}

// A file system mounted nodev refuses to open any device node on it, whoever asks.
const char* nodev_hint(int err) {
  struct statvfs fs;
  bool nodev = (err == EACCES || err == EPERM) && statvfs(".", &fs) == 0 && (fs.f_flag & ST_NODEV);
  errno = err;
  return nodev ? " The working directory is on a file system mounted nodev: run from a directory on"
                 " a file system that allows device files\n"
               : "";
}

// modprobe finds a module installed in the module tree; a stop asked for meanwhile ends the run here.
bool load_by_name() {
  int loaded = run_system_command(THIRD_LOAD) == 0;
  if (loaded) module_loaded_here = 1;
  check_stop();
  return loaded;
}

int make_node(unsigned major) { return mknod(NODE_NAME, S_IFCHR | 0600, driver_device_number(major)); }

void scan_devices(unsigned* major) {
  FILE* list = fopen("/proc/devices", "r");
  if (list == nullptr) return;
  scan_device_list(list, major);
  fclose(list);
}

int print_failure(const char* text) {
  fputs(text, stdout);
  fflush(stdout);
  return 0;
}

// insmod is handed the checked file as /proc/self/fd/N: without /proc no file can be, and only
// the load by name is left.
bool proc_mounted() {
  int fd = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    print_failure(" /proc is not mounted: zorfldrv_mod is loaded by name only\n");
    return false;
  }
  close(fd);
  return true;
}

// Reports the platform's error with its text and the hint, then takes back the node and the
// module.
int give_up(const char* format, const char* hint = "") {
  int err = errno;
  printf(format, err, strerror(err));
  fputs(hint, stdout);
  remove(NODE_NAME);
  fflush(stdout);
  unload_module();
  return 0;
}

// A node already in the directory was left by an earlier run: the run lock proves that no other
// run uses it. It is used only while it names the device the module has now; after a power cut
// the module is gone, and once the machine restarted its number may be another driver's.
void take_or_remove_old_node(unsigned* listed) {
  struct stat st;
  bool there = driver_fd >= 0 || (lstat(NODE_NAME, &st) == 0 && S_ISCHR(st.st_mode));
  scan_devices(listed);
  if (!there) return;
  if (driver_fd >= 0 && *listed != 0 && fstat(driver_fd, &st) == 0 && major(st.st_rdev) == *listed) return;
  if (driver_fd >= 0) close(driver_fd);
  driver_fd = -1;
  if (remove(NODE_NAME) == 0) print_failure("a device node zorfl left by an earlier, interrupted run was removed\n");
}

}  // namespace

unsigned parse_major(const char* piece) {
  const char* p = piece;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
  unsigned value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    unsigned digit = static_cast<unsigned>(*p - '0');
    value = value > (UINT_MAX - digit) / 10 ? UINT_MAX : value * 10 + digit;
  }
  return value;
}

void scan_device_list(FILE* list, unsigned* major) {
  char piece[128];
  while (fgets(piece, sizeof piece, list) != nullptr) {
    if (strstr(piece, DRIVER_NAME) != nullptr) {
      *major = parse_major(piece);
      return;
    }
  }
}

dev_t driver_device_number(unsigned major) { return makedev(major, 0); }

int load_driver() {
  unsigned major = 0;
  driver_fd = open_node();
  take_or_remove_old_node(&major);
  if (driver_fd >= 0) return 1;
  if (major != 0 && make_node(major) == 0) {
    driver_fd = open_node();
    if (driver_fd >= 0) return 1;
  }

  char first_run[sizeof LOAD_FILE + 16] = "";
  int first_fd = -1;
  bool files = proc_mounted();
  if (!(files && load_from(FIRST_FILE, first_run, sizeof first_run, &first_fd)) &&
      !(files && load_from(SECOND_FILE, first_run, sizeof first_run, &first_fd)) && !load_by_name()) {
    char reason[256];
    int loaded = retry_load_for_reason(first_run[0] ? first_run : THIRD_LOAD, reason, sizeof reason);
    if (first_fd >= 0) close(first_fd);
    if (loaded) module_loaded_here = 1;
    check_stop();
    if (!loaded) {
      print_failure("error loading driver\n");
      return print_failure(reason);
    }
  } else if (first_fd >= 0) {
    close(first_fd);
  }
  module_loaded_here = 1;

  scan_devices(&major);
  if (major == 0) {
    print_failure("error driver zorfldrv not found\n");
    unload_module();
    return 0;
  }
  if (make_node(major) != 0) return give_up("error %d creating node zorfl: %s\n");
  driver_fd = open_node();
  if (driver_fd < 0) return give_up("error %d opening driver: %s\n", nodev_hint(errno));
  return 1;
}

int unload_driver() {
  if (driver_fd == 0) return 1;
  if (driver_fd > 0) close(driver_fd);
  driver_fd = 0;
  remove(NODE_NAME);
  fflush(stdout);  // the module tool writes to the same console
  unload_module();
  return 1;
}

int drv_alloc(uint32_t size, uint32_t* phys_out, void** user_out) {
  DrvMemRequest request = {};
  request.word[0] = size;
  if (ioctl(driver_fd, DRV_IOC_ALLOC, &request) < 0) return 0;
  void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, driver_fd, 0);
  if (map == MAP_FAILED) {
    DrvMemRequest give_back = {};
    give_back.word[0] = size;
    ioctl(driver_fd, DRV_IOC_FREE, &give_back);
    return 0;
  }
  driver_map = map;
  *phys_out = request.word[2];
  *user_out = driver_map;
  return 1;
}

int drv_free(uint32_t /*phys*/, uint32_t size) {
  int unmapped = munmap(driver_map, size) == 0;
  DrvMemRequest request = {};
  request.word[0] = size;
  int freed = ioctl(driver_fd, DRV_IOC_FREE, &request) >= 0;
  driver_map = nullptr;
  return unmapped && freed ? 1 : 0;
}
