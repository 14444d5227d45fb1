// A ROM file of arbitrary bytes and size through validation, loading (signature patch and
// non-critical block scan), the block check and the programming passes, against a flash-info
// window built from the input.
//
// Input: flags and select (fuzz_options), the 16-bit offset of the record pointer, a 16-bit
// count W, W bytes that start the flash-info window (the rest of its 65535 bytes are zero), then
// the ROM file. Extra flags: 0x40 sets the record's ROM size to the file's size rounded up to KB,
// so that sizes often match; 0x80 takes the BIOS's ROM ID from the file, so that IDs match.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "flash/commands.h"
#include "flash/layout.h"
#include "flash/le.h"
#include "fuzz.h"
#include "platform/physmem.h"
#include "rom/program.h"
#include "rom/romfile.h"
#include "rom/validate.h"
#include "run/options.h"

namespace {

constexpr size_t HEAD = 6;
constexpr uint32_t MAX_ROM_SIZE = 2 * 1024 * 1024;

char rom_path[NAME_SIZE - 2];  // given as /i<path>
int rom_fd = -1;
uint8_t* window;  // exactly WINDOW_LENGTH bytes, so that any read past it is caught
uint8_t param[PARAM_BLOCK_SIZE];
uint8_t transfer[TRANSFER_SIZE];

// The firmware's flash handler reduced to its answers: erase and write succeed, a read fails,
// so a run goes through the erase and write passes and stops at its first verify.
void answer_smi(uint16_t, uint8_t command) { param[PARAM_STATUS] = command == SMI_FLASH_READ ? 7 : 0; }

void remove_rom_file() { unlink(rom_path); }

void put_le16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void write_rom_file(const uint8_t* bytes, size_t size) {
  fuzz_require(ftruncate(rom_fd, 0) == 0, "truncate the ROM file");
  for (size_t done = 0; done < size;) {
    ssize_t n = pwrite(rom_fd, bytes + done, size - done, static_cast<off_t>(done));
    fuzz_require(n > 0, "write the ROM file");
    done += static_cast<size_t>(n);
  }
}

void run(const uint8_t* data, size_t size) {
  if (size < HEAD) return;
  uint8_t flags = data[0];
  uint8_t select = data[1];
  uint16_t pointer = le16(data + 2);
  size_t w = le16(data + 4);
  if (w > size - HEAD) w = size - HEAD;
  if (w > WINDOW_LENGTH) w = WINDOW_LENGTH;
  const uint8_t* file = data + HEAD + w;
  size_t file_size = size - HEAD - w;

  memset(window, 0, WINDOW_LENGTH);
  memcpy(window, data + HEAD, w);
  if ((flags & 0x40) && pointer + 4u <= WINDOW_LENGTH) {
    uint32_t record = le32(window + pointer);
    uint32_t kb = static_cast<uint32_t>((file_size + 1023) / 1024);
    if (record <= WINDOW_LENGTH - INFO_RECORD_SIZE) put_le16(window + record + INFO_ROM_KB, kb > 0xFFFF ? 0xFFFF : kb);
  }
  write_rom_file(file, file_size);
  fuzz_options(flags, select, rom_path);
  if (!read_flash_info(window, WINDOW_LENGTH, pointer)) return;
  // Larger ROMs take the same paths (RomBase 0 from 1 MB on), only more slowly.
  if (rom_size > MAX_ROM_SIZE) return;

  memcpy(RomId, "FUZZROM1", ROM_ID_LENGTH);
  if ((flags & 0x80) && rom_size >= 32 && rom_size - 32 + ROM_ID_LENGTH <= file_size) {
    memcpy(RomId, file + rom_size - 32, ROM_ID_LENGTH);
  }
  param_block = param;
  transfer_buffer = transfer;
  program_flash();
  if (options.compare) compare_report();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_silence_stdout();
  const char* dir = getenv("TMPDIR");
  if (dir == nullptr || strlen(dir) + 24 > sizeof rom_path) dir = "/tmp";
  snprintf(rom_path, sizeof rom_path, "%s/zorfl-fuzz-rom-XXXXXX", dir);
  rom_fd = mkstemp(rom_path);
  fuzz_require(rom_fd >= 0, "create the ROM file");
  atexit(remove_rom_file);
  window = static_cast<uint8_t*>(malloc(WINDOW_LENGTH));
  smi_trigger = answer_smi;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (setjmp(fuzz_end) == 0) run(data, size);
  fuzz_reset();
  return 0;
}
