#include "rom/save.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "flash/commands.h"
#include "flash/layout.h"
#include "flash/le.h"
#include "rom/image.h"
#include "rom/romfile.h"
#include "rom/sha256.h"
#include "run/errors.h"
#include "run/exit_codes.h"
#include "run/options.h"
#include "run/record.h"
#include "run/progress.h"
#include "run/quote.h"

FILE* save_file;

namespace {

const char PARTIAL[] = ".partial-XXXXXX";
char partial_name[PATH_MAX];
bool unfinished;  // partial_name holds a save that was not renamed into place

// The saved file's bytes in file order, as they are written: its SHA-256, and its non-critical
// blocks found as the load will find them in a restore (the first header of each 4 KB chunk).
struct Digest {
  Sha256 sha;
  uint8_t chunk[CHUNK_SIZE];
  uint32_t fill;    // bytes of the chunk at offset held so far
  uint64_t offset;  // file offset of the chunk
  bool lost;        // a block was written over bytes already taken in
  uint64_t end;     // the file's length so far
  NcSpan nc[NC_MAX];
  int nc_count;
} digest;

void digest_chunk() {
  int q = find_nc_header(digest.chunk, digest.fill);
  if (q >= 0 && digest.nc_count < NC_MAX) {
    digest.nc[digest.nc_count++] = {static_cast<uint32_t>(digest.offset) + static_cast<uint32_t>(q),
                                    le32(digest.chunk + q + 12)};
  }
  digest.offset += digest.fill;
  digest.fill = 0;
}

void digest_bytes(const uint8_t* p, uint64_t n) {
  sha256_update(&digest.sha, p, n);
  while (n > 0) {
    uint32_t take = static_cast<uint32_t>(n < CHUNK_SIZE - digest.fill ? n : CHUNK_SIZE - digest.fill);
    memcpy(digest.chunk + digest.fill, p, take);
    digest.fill += take;
    p += take;
    n -= take;
    if (digest.fill == CHUNK_SIZE) digest_chunk();
  }
}

// A block written where the bytes taken in so far end is taken in from memory; the rest of the
// file (a table out of address order, a gap) is read back from it at the end.
void digest_block(uint64_t offset, const uint8_t* bytes, uint32_t size) {
  uint64_t taken = digest.offset + digest.fill;
  if (offset == taken) {
    digest_bytes(bytes, size);
  } else if (offset < taken) {
    digest.lost = true;
  }
  if (offset + size > digest.end) digest.end = offset + size;
}

bool digest_rest(int fd, char* hex) {
  if (digest.lost) {
    sha256_init(&digest.sha);
    digest.fill = 0;
    digest.offset = 0;
    digest.nc_count = 0;
  }
  static uint8_t buffer[CHUNK_SIZE];
  for (uint64_t at = digest.offset + digest.fill; at < digest.end;) {
    ssize_t n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    digest_bytes(buffer, static_cast<uint64_t>(n));
    at += static_cast<uint64_t>(n);
  }
  if (digest.fill > 0) digest_chunk();
  sha256_hex(&digest.sha, hex);
  return true;
}

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
  digest_block(static_cast<uint64_t>(offset), image_slot, size);
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

// The user who logged in, as the kernel keeps it across sudo; -1 when unset.
uid_t login_uid() {
  char text[16] = "";
  int fd = open("/proc/self/loginuid", O_RDONLY | O_CLOEXEC);
  ssize_t n = fd < 0 ? -1 : read(fd, text, sizeof text - 1);
  if (fd >= 0) close(fd);
  text[n > 0 ? n : 0] = '\0';
  char* end = nullptr;
  unsigned long uid = strtoul(text, &end, 10);
  return end == text || uid >= 0xFFFFFFFFul ? static_cast<uid_t>(-1) : static_cast<uid_t>(uid);
}

// Root's backup must be the file root wrote: whoever owns a directory on the way to it, or may
// change one without the sticky bit, could rename the new file (or a directory holding it) away
// and put theirs in its place. Every directory from / down is checked; its owner must be root,
// this user or the user who logged in.
const char* distrust_save_directory(const char* path) {
  static char why[PATH_MAX + 64];
  char dir[PATH_MAX], real[PATH_MAX];
  directory_of(path, dir);
  if (realpath(dir, real) == nullptr) return nullptr;  // the create fails and says so
  uid_t login = login_uid();
  size_t len = strlen(real);
  for (size_t end = 1; end <= len; ++end) {
    if (end < len && real[end] != '/') continue;
    char prefix[PATH_MAX];
    snprintf(prefix, sizeof prefix, "%.*s", static_cast<int>(end), real);
    struct stat st;
    if (lstat(prefix, &st) != 0 || !S_ISDIR(st.st_mode)) return nullptr;
    const char* fault = nullptr;
    if (st.st_uid != geteuid() && st.st_uid != 0 && st.st_uid != login) fault = "owned by another user";
    if (fault == nullptr && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
      fault = "writable by other users";
    }
    if (fault == nullptr) continue;
    if (end == len) {
      snprintf(why, sizeof why, "the directory is %s", fault);
    } else {
      char shown[PATH_MAX + 16] = "";
      append_shell_word(shown, sizeof shown, prefix);
      snprintf(why, sizeof why, "the directory %s above it is %s", shown, fault);
    }
    return why;
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

// Renames the finished save to its name. While the flash may be partly programmed nothing that
// appeared under that name since the check may be replaced: it could be the backup.
bool put_in_place(const char* from, const char* to) {
  if (!record_pending()) return rename(from, to) == 0;
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without that rename: a new link fails just the same on an existing name.
  return link(from, to) == 0 && unlink(from) == 0;
}

}  // namespace

int check_save_name() {
  const char* name = options.out_name;
  if (name[0] == '\0' || strlen(name) + sizeof PARTIAL > sizeof partial_name) return 0;
  const char* why = distrust_save_directory(name);
  if (why != nullptr) {
    char shown[PATH_MAX] = "";
    append_shell_word(shown, sizeof shown, name);
    printf(" not saving to %s: %s\n", shown, why);
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
  digest = Digest{};
  sha256_init(&digest.sha);

  uint32_t n = block_count();
  progress_read_flash(PROGRESS_START, n > 0 ? block_address(0) : 0);
  for (uint32_t i = 0; i < n; ++i) save_block(block_address(i), block_size(i));

  // The backup counts only once it is on the disk; until the rename the file of that name, if
  // any, is untouched, and from it on the name holds the whole backup.
  struct stat written, named;
  char sha256[SHA256_HEX_SIZE];
  if (fflush(save_file) != 0 || fsync(fileno(save_file)) != 0 || fstat(fileno(save_file), &written) != 0 ||
      !digest_rest(fileno(save_file), sha256)) {
    fatal(EXIT_WRITE_OUT, "Unable to write to disk\n");
  }
  bool closed = fclose(save_file) == 0;
  save_file = nullptr;
  if (!closed || !put_in_place(partial_name, options.out_name)) fatal(EXIT_WRITE_OUT, "Unable to write to disk\n");
  unfinished = false;
  // The name must now be the file written: the partial file still held that inode until the
  // rename, so no other file can carry it.
  if (lstat(options.out_name, &named) != 0 || named.st_dev != written.st_dev || named.st_ino != written.st_ino) {
    char name[PATH_MAX] = "";
    append_shell_word(name, sizeof name, options.out_name);
    printf(" %s is not the file this save wrote: the directory was changed during the save\n", name);
    fatal(EXIT_WRITE_OUT, "Unable to write to disk\n");
  }
  if (!sync_directory_of(options.out_name)) fatal(EXIT_WRITE_OUT, "Unable to write to disk\n");
  record_backup(options.out_name, written, sha256, digest.nc, digest.nc_count);
  progress_read_flash(PROGRESS_DONE, rom_size);
}

void close_unfinished_save() {
  if (save_file != nullptr) fclose(save_file);
  save_file = nullptr;
  if (!unfinished) return;
  unfinished = false;
  char name[PATH_MAX] = "", partial[2 * PATH_MAX] = "";
  append_shell_word(name, sizeof name, options.out_name);
  append_shell_word(partial, sizeof partial, partial_name);
  printf(" The save did not finish: %s is as it was, and what was saved is in %s\n", name, partial);
  fflush(stdout);
}
