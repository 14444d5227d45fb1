#include "platform/trust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

constexpr mode_t OTHERS_WRITE = S_IWGRP | S_IWOTH;

// The owner of a directory can always rename its entries, whatever its mode says.
const char* distrust_directory() {
  struct stat dir;
  if (stat(".", &dir) != 0) return "the working directory cannot be examined";
  if (dir.st_uid != geteuid() && dir.st_uid != 0) return "the directory is owned by another user";
  if (dir.st_mode & OTHERS_WRITE) return "the directory is writable by other users";
  return nullptr;
}

const char* distrust_file(int fd) {
  struct stat file;
  if (fstat(fd, &file) != 0) return "it cannot be examined";
  if (!S_ISREG(file.st_mode)) return "it is not a regular file";
  if (file.st_uid != geteuid()) return "it is not owned by the user running this tool";
  if (file.st_mode & OTHERS_WRITE) return "it is writable by other users";
  return nullptr;
}

}  // namespace

int open_trusted_module(const char* path) {
  // Never through a link; O_NONBLOCK so that a planted FIFO cannot stall the run. Not
  // close-on-exec: the module tool opens the file through this descriptor.
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  // An absent file loads nothing, and there is nothing to warn about: the load by name that
  // follows is the normal case there.
  int err = errno;
  if (fd < 0 && err == ENOENT) return -1;
  const char* why = distrust_directory();
  if (why == nullptr && fd < 0) why = err == ELOOP ? "it is not a regular file" : "it cannot be opened";
  if (why == nullptr) why = distrust_file(fd);
  if (why == nullptr) return fd;
  if (fd >= 0) close(fd);
  printf(" not loading %s: %s\n", path, why);
  fflush(stdout);
  return -1;
}
