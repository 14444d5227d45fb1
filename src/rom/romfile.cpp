#include "rom/romfile.h"

#include "run/options.h"
#include "run/signals.h"

FILE* rom_file;

int open_rom_file() {
  rom_file = fopen(options.in_name, "rb");
  return rom_file != nullptr ? 1 : 0;
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

uint32_t file_write_at(FILE* file, int64_t offset, uint32_t length, const void* buffer) {
  check_stop();
  fseeko(file, static_cast<off_t>(offset), SEEK_SET);
  return static_cast<uint32_t>(fwrite(buffer, 4, length / 4, file) * 4);
}
