#include "rom/save.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

#include "flash/commands.h"
#include "flash/layout.h"
#include "rom/image.h"
#include "rom/romfile.h"
#include "run/errors.h"
#include "run/exit_codes.h"
#include "run/options.h"
#include "run/progress.h"

FILE* save_file;

namespace {

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

// Created or truncated for writing and reading, as "w+b" does, but never through a link that
// another user planted, and readable by its owner only: NVRAM blocks can hold passwords.
FILE* create_save_file() {
  int fd = open(options.out_name, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

void save_bios() {
  save_file = create_save_file();
  if (save_file == nullptr) fatal(EXIT_CREATE_OUT, "Unable to create output file\n");

  uint32_t n = block_count();
  progress_read_flash(PROGRESS_START, n > 0 ? block_address(0) : 0);
  for (uint32_t i = 0; i < n; ++i) save_block(block_address(i), block_size(i));

  // The backup counts only once it is on the disk.
  bool flushed = fflush(save_file) == 0 && fsync(fileno(save_file)) == 0;
  bool closed = fclose(save_file) == 0;
  save_file = nullptr;
  if (!flushed || !closed) fatal(EXIT_WRITE_OUT, "Unable to write to disk\n");
  progress_read_flash(PROGRESS_DONE, rom_size);
}
