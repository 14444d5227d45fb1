#include "platform/trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr mode_t OTHERS_WRITE = S_IWGRP | S_IWOTH;

const char* distrust(const char* path) {
  struct stat dir, file;
  if (stat(".", &dir) != 0) return "the working directory cannot be examined";
  if (dir.st_mode & OTHERS_WRITE) return "the directory is writable by other users";
  if (lstat(path, &file) != 0) return nullptr;
  if (!S_ISREG(file.st_mode)) return "it is not a regular file";
  if (file.st_uid != geteuid()) return "it is not owned by the user running this tool";
  if (file.st_mode & OTHERS_WRITE) return "it is writable by other users";
  return nullptr;
}

}  // namespace

int trusted_module_file(const char* path) {
  const char* why = distrust(path);
  if (why == nullptr) return 1;
  // An absent file is refused too (one planted after the check would load), but there is
  // nothing to warn about: the load by name that follows is the normal case there.
  struct stat file;
  if (lstat(path, &file) != 0) return 0;
  printf(" not loading %s: %s\n", path, why);
  fflush(stdout);
  return 0;
}
