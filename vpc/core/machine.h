// The machine description: the emulated BIOS's flash layout and where its
// records, its SMI port and its kernel module live.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "faults.h"

struct BlockEntry {
    uint32_t address;
    uint32_t size;
};

constexpr uint32_t kPhysMemSize = 0x200000;   // 2 MB of emulated physical memory
constexpr uint32_t kBiosSegment = 0xF0000;
constexpr uint32_t kSegmentSize = 0x10000;
constexpr uint32_t kParamBlockSize = 17;
constexpr uint32_t kBufferPhys = 0x180000;    // where the module's first buffer lives
constexpr uint32_t kBufferMax = 0x10000;
constexpr uint32_t kBufferSlots = 8;          // one buffer per open file, kBufferMax apart up to the end of memory
constexpr int kHeaderSize = 14;

struct Machine {
    uint32_t rom_kb;
    std::vector<BlockEntry> blocks;  // table order
    uint32_t boot_blocks;            // b: the last b entries
    std::vector<uint32_t> nvram;
    uint32_t smi_port;
    uint32_t header_pos;             // position of "$QZX" in the 0xF0000 segment
    uint32_t param_offset;           // header byte 4
    uint32_t info_paragraph;         // header bytes 10-11
    uint32_t info_ptr_offset;        // header bytes 8-9
    uint32_t info_record_offset;     // value of the word at info_ptr_offset
    uint32_t block_table_offset;
    uint32_t nvram_list_offset;
    char rom_id[9];                  // 8 bytes, NUL padded
    uint32_t module_major;
    bool module_loaded;
    bool module_installed;           // in the module tree: modprobe finds it by name
    uint32_t flash_seed;
    uint32_t cmos_seed;
    FaultSet faults;                 // faults that hold for every run
};

uint32_t rom_size(const Machine& m);
uint32_t rom_base(const Machine& m);
bool is_boot_entry(const Machine& m, size_t index);
bool is_nvram_address(const Machine& m, uint32_t address);
// The boot-block entries as the tool takes them: the last b of the table, in address order, as
// (file offset, length) pairs; the region is their bytes one after the other.
std::vector<std::pair<uint32_t, uint32_t>> boot_spans(const Machine& m);
// The region's first file offset and its length, the sum of the boot-block sizes; for boot
// blocks that follow each other, the region itself.
void boot_region(const Machine& m, uint32_t* file_offset, uint32_t* length);

// Parses a description (defaults first, then each line in order; single keys
// take the last value, repeated keys accumulate, "block = none" clears).
// Validates the result. On failure returns false with a reason in err.
bool parse_machine(const std::string& text, Machine* m, std::string* err);

// The default machine's description text.
extern const char* const kDefaultMachine;
// The key reference for --help.
extern const char* const kMachineHelp;

// Where the header and the parameter block sit for this run, after the
// machine's own signature keys and the run's faults. header < 0: no header.
struct HeaderPlace {
    int header;               // segment offset of "$QZX", or -1
    uint32_t param_offset;    // header byte 4 as written
    uint32_t param_phys;      // physical address of the FlashParamBlock
};
HeaderPlace header_place(const Machine& m, const FaultSet& run);
