#include "platform/runlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "run/errors.h"
#include "run/exit_codes.h"

namespace {

// /run is root's and 0755: nobody else can plant, replace or open a file there, whereas the
// world-writable /run/lock lets any user create the name first or open a file root made.
const char LOCK_DIR[] = "/run";
const char LOCK_PATH[] = "/run/zorflashlnx2.lock";

// Never follows a link: a planted link must not make root create or lock another file. The
// file is never removed, so every run locks the same inode.
int open_lock() { return open(LOCK_PATH, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600); }

}  // namespace

void take_run_lock() {
  int fd = open_lock();
  if (fd < 0 && errno == ENOENT && mkdir(LOCK_DIR, 0755) == 0) fd = open_lock();
  if (fd < 0) fatal(EXIT_RUN_LOCK, "Unable to open %s: %s", LOCK_PATH, strerror(errno));
  // Someone else's file there could be held by them; a FIFO or device is no lock at all.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid())
    fatal(EXIT_RUN_LOCK, "%s is not a regular file of this user", LOCK_PATH);
  // A file left readable by others could be opened, and held, by them.
  fchmod(fd, 0600);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) fatal(EXIT_RUN_LOCK, "Another zorflashlnx2 is running on this machine");
    fatal(EXIT_RUN_LOCK, "Unable to lock %s: %s", LOCK_PATH, strerror(errno));
  }
  // The descriptor stays open, and the lock held, until the process ends; close-on-exec keeps
  // it from the module tools the run starts.
}
