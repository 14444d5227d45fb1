// The twin's capture over an arbitrary system BIOS window and flash-info window: the records it
// reads from memory it does not trust. Every read stays in the windows (both exactly 65535
// bytes, so that a read past them is caught), and the capture either refuses with a reason or
// writes a description that the virtual PC parses back into the very records it read.
//
// Input: as the discovery target's (its seeds serve here), whose first 67 bytes (options and
// non-critical list) this target skips; then for the BIOS window a 16-bit place, a 16-bit count
// and that many bytes, copied to that place; for the flash-info window a 16-bit place and the
// rest of the input.
#include <cstdlib>
#include <cstring>

#include "input.h"
#include "machine.h"
#include "records.h"
#include "twin.h"

namespace {

constexpr uint32_t kWindow = 0xFFFF;
constexpr size_t kSkipped = 2 + 1 + 64;
uint8_t* bios;
uint8_t* info;

void require(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "capture: %s\n", what);
    abort();
  }
}

void run(const uint8_t* data, size_t size) {
  if (size < kSkipped) return;
  Input in = {data + kSkipped, size - kSkipped};
  uint32_t place = take16(in);
  fill(bios, kWindow, in, place, take16(in));
  place = take16(in);
  fill(info, kWindow, in, place, in.left);

  FoundHeader h{};
  FoundInfo f{};
  std::string why, err;
  Machine m;
  parse_machine(kDefaultMachine, &m, &err);
  uint64_t backup = 0;
  if (!capture_header(bios, kWindow, &h, &why) || !capture_info(info, kWindow, h, &f, &why) ||
      !twin_machine(h, f, &m, &why) || !backup_size(m, &backup, &why)) {
    require(!why.empty(), "a refusal without a reason");
    return;
  }
  require(f.block_address.size() > 0 && f.boot_blocks <= f.block_address.size(), "an empty or inconsistent table taken");
  Machine twin;
  if (!parse_machine(machine_text(m, "fuzz"), &twin, &err)) return;  // cmd_capture refuses it with err
  require(twin.rom_kb == m.rom_kb && twin.boot_blocks == m.boot_blocks && twin.nvram == m.nvram &&
              twin.blocks.size() == m.blocks.size() && twin.header_pos == m.header_pos &&
              twin.param_offset == m.param_offset && twin.info_paragraph == m.info_paragraph &&
              twin.info_ptr_offset == m.info_ptr_offset && twin.info_record_offset == m.info_record_offset &&
              twin.block_table_offset == m.block_table_offset && twin.nvram_list_offset == m.nvram_list_offset &&
              twin.smi_port == m.smi_port,
          "the description parses back into other records");
  for (size_t i = 0; i < m.blocks.size(); ++i)
    require(twin.blocks[i].address == m.blocks[i].address && twin.blocks[i].size == m.blocks[i].size,
            "the description parses back into other blocks");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  bios = static_cast<uint8_t*>(malloc(kWindow));
  info = static_cast<uint8_t*>(malloc(kWindow));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  run(data, size);
  return 0;
}
