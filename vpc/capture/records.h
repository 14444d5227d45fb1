// The BIOS records of a real PC, read from copies of its two memory windows, turned into a
// machine description of the virtual PC that lays the same records at the same places.
// The windows are untrusted input: every read stays inside them, and the decisions about
// what the tool would accept are the tool's own (find_flash_header, header_in_window,
// read_flash_info).
#pragma once
#include <cstdint>
#include <string>

#include <vector>

// What the system BIOS segment told: where the header is and what it points to.
struct FoundHeader {
    uint32_t pos;             // segment offset of "$QZX"
    uint32_t param_offset;    // header byte 4
    uint32_t info_ptr_offset; // header bytes 8-9
    uint32_t info_paragraph;  // header bytes 10-11
    uint32_t smi_port;        // header bytes 12-13
};

// printf into a string, for the reasons given.
std::string format_text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Finds the header in the system BIOS window (len bytes, as mapped from 0xF0000). False with
// what was found, where, and why it stops in why.
bool capture_header(const uint8_t* seg, uint32_t len, FoundHeader* h, std::string* why);

// What the flash-info segment told.
struct FoundInfo {
    uint32_t rom_kb;
    uint32_t record_offset, block_table_offset, nvram_list_offset;
    std::vector<uint32_t> block_address, block_size;  // table order
    uint32_t boot_blocks;
    std::vector<uint32_t> nvram;
};

// Reads the FlashInfoRecord, BlockTable and NvramList from the flash-info window (len bytes, as
// mapped from paragraph * 16). False with the reason in why.
bool capture_info(const uint8_t* info, uint32_t len, const FoundHeader& h, FoundInfo* f, std::string* why);
