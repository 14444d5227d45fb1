#include "rom/romfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "run/options.h"
#include "run/signals.h"

FILE* rom_file;
const char ROM_FILE_CHANGED[] = "ROM file changed after it was checked; the flash was not changed";

namespace {
struct stat opened;  // the ROM file as it was when it was opened

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}
}  // namespace

FILE* open_regular_file(const char* path) {
  // A FIFO or a device would make the open or the first read wait for ever.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  FILE* file = nullptr;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && fcntl(fd, F_SETFL, 0) == 0) file = fdopen(fd, "rb");
  if (file == nullptr) close(fd);
  return file;
}

int open_rom_file() {
  rom_file = open_regular_file(options.in_name);
  if (rom_file != nullptr && fstat(fileno(rom_file), &opened) != 0) close_rom_file();
  return rom_file != nullptr ? 1 : 0;
}

int rom_file_changed() {
  struct stat now;
  if (rom_file == nullptr || fstat(fileno(rom_file), &now) != 0) return 1;
  // Not the change time: a rename of the open file, which leaves its bytes alone, moves it.
  return now.st_size != opened.st_size || !same_time(now.st_mtim, opened.st_mtim);
}

int close_rom_file() {
  if (rom_file != nullptr) fclose(rom_file);
  rom_file = nullptr;
  return 1;
}

int64_t file_size(FILE* file) {
  off_t here = ftello(file);
  fseeko(file, 0, SEEK_END);
  off_t size = ftello(file);
  fseeko(file, here, SEEK_SET);
  return size;
}

namespace {
// A stream that is already there is not sought: a seek costs a system call on every 4 KB piece
// of the load. Without the seek a stream keeps its end-of-file mark, which would matter only to
// a second read at that same end, and no caller asks for one.
void seek_to(FILE* file, int64_t offset) {
  if (ftello(file) != static_cast<off_t>(offset)) fseeko(file, static_cast<off_t>(offset), SEEK_SET);
}
}  // namespace

uint32_t file_read_at(FILE* file, int64_t offset, uint32_t length, void* buffer) {
  check_stop();
  seek_to(file, offset);
  return static_cast<uint32_t>(fread(buffer, 4, length / 4, file) * 4);
}

uint32_t file_read_next(FILE* file, uint32_t length, void* buffer) {
  check_stop();
  return static_cast<uint32_t>(fread(buffer, 4, length / 4, file) * 4);
}

uint32_t file_write_at(FILE* file, int64_t offset, uint32_t length, const void* buffer) {
  check_stop();
  fseeko(file, static_cast<off_t>(offset), SEEK_SET);
  return static_cast<uint32_t>(fwrite(buffer, 4, length / 4, file) * 4);
}
