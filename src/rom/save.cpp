#include "rom/save.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "flash/commands.h"
#include "flash/layout.h"
#include "rom/image.h"
#include "rom/romfile.h"
#include "run/errors.h"
#include "run/exit_codes.h"
#include "run/options.h"
#include "run/record.h"
#include "run/progress.h"

FILE* save_file;

namespace {

const char PARTIAL[] = ".partial-XXXXXX";
char partial_name[PATH_MAX];
bool unfinished;  // partial_name holds a save that was not renamed into place

void save_block(uint32_t address, uint32_t size) {
  // A tail below 1 KB cannot be read through the handler; a backup with a hole must not look
  // complete. A block below RomBase has no place in the file.
  if (size % TRANSFER_SIZE != 0) {
    fatal(EXIT_BLOCK_READ, "Unable to read block: 0x%08lX\n", static_cast<unsigned long>(address));
  }
  if (address < RomBase) fatal(EXIT_WRITE_OUT, "Unable to write to disk\n");

  image_slot = alloc_buffer(size);
  if (image_slot == nullptr) fatal(EXIT_NO_MEMORY, "Out of memory\n");
  if (!flash_read_block(address, size, image_slot, progress_read_flash)) {
    fatal(EXIT_BLOCK_READ, "Unable to read block: 0x%08lX\n", static_cast<unsigned long>(address));
  }
  int64_t offset = static_cast<int64_t>(address) - RomBase;
  for (uint32_t p = 0; p < size; p += 4096) {
    uint32_t piece = size - p < 4096 ? size - p : 4096;
    if (file_write_at(save_file, offset + p, piece, image_slot + p) != piece) {
      fatal(EXIT_WRITE_OUT, "Unable to write to disk\n");
    }
  }
  free_image();
}

// The directory part of path (dir holds PATH_MAX bytes; path is shorter).
void directory_of(const char* path, char* dir) {
  const char* slash = strrchr(path, '/');
  size_t len = slash == nullptr ? 0 : slash == path ? 1 : static_cast<size_t>(slash - path);
  memcpy(dir, len == 0 ? "." : path, len == 0 ? 1 : len);
  dir[len == 0 ? 1 : len] = '\0';
}

// NAME.partial-XXXXXX, made new for this save under a name nobody can guess or plant first
// (created O_EXCL, retried on a collision), readable by its owner only, as NVRAM blocks can hold
// passwords. A file left by an earlier save is never touched: it may be what someone needs.
FILE* create_save_file() {
  int fd = mkostemp(partial_name, O_CLOEXEC);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) {
    close(fd);
    unlink(partial_name);
  }
  return file;
}

// Root's backup must be the file root wrote: in a directory that another user owns, or may
// change without the sticky bit, they could rename the new file away and put theirs in its place.
const char* distrust_save_directory(const char* path) {
  char dir[PATH_MAX];
  directory_of(path, dir);
  struct stat st;
  if (stat(dir, &st) != 0) return nullptr;  // the create fails and says so
  if (st.st_uid != geteuid() && st.st_uid != 0) return "the directory is owned by another user";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
    return "the directory is writable by other users";
  }
  return nullptr;
}

// The rename reaches the disk only with the directory that holds the name.
bool sync_directory_of(const char* path) {
  char dir[PATH_MAX];
  directory_of(path, dir);
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = fsync(fd) == 0 || errno == EINVAL;  // a file system that cannot sync directories
  close(fd);
  return synced;
}

}  // namespace

int check_save_name() {
  const char* name = options.out_name;
  if (name[0] == '\0' || strlen(name) + sizeof PARTIAL > sizeof partial_name) return 0;
  const char* why = distrust_save_directory(name);
  if (why != nullptr) {
    printf(" not saving to %s: %s\n", name, why);
    fflush(stdout);
    return 0;
  }
  struct stat st;
  if (lstat(name, &st) != 0) return errno == ENOENT;
  return S_ISREG(st.st_mode);
}

void save_bios() {
  if (!check_save_name()) fatal(EXIT_CREATE_OUT, "Unable to create output file\n");
  memcpy(partial_name, options.out_name, strlen(options.out_name));
  memcpy(partial_name + strlen(options.out_name), PARTIAL, sizeof PARTIAL);
  save_file = create_save_file();
  if (save_file == nullptr) fatal(EXIT_CREATE_OUT, "Unable to create output file\n");
  unfinished = true;

  uint32_t n = block_count();
  progress_read_flash(PROGRESS_START, n > 0 ? block_address(0) : 0);
  for (uint32_t i = 0; i < n; ++i) save_block(block_address(i), block_size(i));

  // The backup counts only once it is on the disk; until the rename the file of that name, if
  // any, is untouched, and from it on the name holds the whole backup.
  struct stat written, named;
  if (fflush(save_file) != 0 || fsync(fileno(save_file)) != 0 || fstat(fileno(save_file), &written) != 0) {
    fatal(EXIT_WRITE_OUT, "Unable to write to disk\n");
  }
  bool closed = fclose(save_file) == 0;
  save_file = nullptr;
  if (!closed || rename(partial_name, options.out_name) != 0) fatal(EXIT_WRITE_OUT, "Unable to write to disk\n");
  unfinished = false;
  // The name must now be the file written: the partial file still held that inode until the
  // rename, so no other file can carry it.
  if (lstat(options.out_name, &named) != 0 || named.st_dev != written.st_dev || named.st_ino != written.st_ino) {
    printf(" %s is not the file this save wrote: the directory was changed during the save\n", options.out_name);
    fatal(EXIT_WRITE_OUT, "Unable to write to disk\n");
  }
  if (!sync_directory_of(options.out_name)) fatal(EXIT_WRITE_OUT, "Unable to write to disk\n");
  record_backup(options.out_name);
  progress_read_flash(PROGRESS_DONE, rom_size);
}

void close_unfinished_save() {
  if (save_file != nullptr) fclose(save_file);
  save_file = nullptr;
  if (!unfinished) return;
  unfinished = false;
  printf(" The save did not finish: %s is as it was, and what was saved is in %s\n", options.out_name,
         partial_name);
  fflush(stdout);
}
