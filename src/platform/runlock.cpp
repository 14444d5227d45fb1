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

// A rescue system may have no /run: it is made as every other program expects it, whatever
// the umask. A link that leads nowhere is named, not made into mkdir's "File exists".
int open_lock_dir() {
  int fd = open(LOCK_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT) return fd;
  struct stat st;
  if (lstat(LOCK_DIR, &st) == 0 && S_ISLNK(st.st_mode))
    fatal(EXIT_RUN_LOCK, "%s is a link to nothing: it must be root's directory", LOCK_DIR);
  mode_t mask = umask(022);
  int made = mkdir(LOCK_DIR, 0755);
  umask(mask);
  if (made != 0 && errno != EEXIST) fatal(EXIT_RUN_LOCK, "Unable to make %s: %s", LOCK_DIR, strerror(errno));
  return open(LOCK_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Whoever can write in /run can put a file of theirs, or a link, under the lock's name first.
void check_lock_dir() {
  int fd = open_lock_dir();
  if (fd < 0) fatal(EXIT_RUN_LOCK, "Unable to open %s: %s", LOCK_DIR, strerror(errno));
  struct stat st;
  int got = fstat(fd, &st);
  int err = errno;
  close(fd);
  if (got != 0) fatal(EXIT_RUN_LOCK, "Unable to open %s: %s", LOCK_DIR, strerror(err));
  // The tool's own user is root on a real run; a run as another user can lock nothing of root's.
  if (st.st_uid != 0 && st.st_uid != geteuid())
    fatal(EXIT_RUN_LOCK, "%s is owned by uid %u, not by root", LOCK_DIR, unsigned(st.st_uid));
  if ((st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0))
    fatal(EXIT_RUN_LOCK, "%s is writable by others (mode %03o)", LOCK_DIR, unsigned(st.st_mode & 07777));
}

}  // namespace

void take_run_lock() {
  check_lock_dir();
  int fd = open_lock();
  if (fd < 0) fatal(EXIT_RUN_LOCK, "Unable to open %s: %s", LOCK_PATH, strerror(errno));
  // Someone else's file there could be held by them; a FIFO or device is no lock at all.
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid())
    fatal(EXIT_RUN_LOCK, "%s is not a regular file of this user", LOCK_PATH);
  // Another name for the same file is another file's mode, and lock, that root would change.
  if (st.st_nlink != 1) fatal(EXIT_RUN_LOCK, "%s has %lu links: it must be the lock's own file", LOCK_PATH,
                              static_cast<unsigned long>(st.st_nlink));
  // A file left readable by others could be opened, and held, by them.
  fchmod(fd, 0600);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) fatal(EXIT_RUN_LOCK, "Another zorflashlnx2 is running on this machine");
    fatal(EXIT_RUN_LOCK, "Unable to lock %s: %s", LOCK_PATH, strerror(errno));
  }
  // The descriptor stays open, and the lock held, until the process ends; close-on-exec keeps
  // it from the module tools the run starts.
}
