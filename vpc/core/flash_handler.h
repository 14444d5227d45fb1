// The firmware's flash handler behind the SMI command port. It works on the
// FlashParamBlock and the transfer buffer in physical memory and on the flash
// image, with NOR semantics: erase sets a block to 0xFF, a write only clears bits.
// Touches only memory it is given: safe to run from the port trap handler.
#pragma once
#include <cstdint>

#include "faults.h"
#include "machine.h"

enum SmiCommand : uint8_t {
    kSmiOpen = 0x20,
    kSmiRead = 0x21,
    kSmiErase = 0x22,
    kSmiWrite = 0x23,
    kSmiClose = 0x24,
};

// Status values the handler leaves in the FlashParamBlock.
enum SmiStatus : uint8_t {
    kStatusOk = 0,
    kStatusRefused = 1,      // only from open_status=1
    kStatusBadCommand = 2,
    kStatusBadAddress = 3,   // range not inside the flash
    kStatusBadLength = 4,    // read/write length not 1024; erase not a table block
    kStatusBadChecksum = 5,  // write checksum does not match the buffer
    kStatusBadBuffer = 6,    // transfer buffer address 0 or outside memory
    kStatusDeviceError = 7,  // injected read/erase/write failure
    kStatusNotOpen = 8,      // read/erase/write/close before open
};

struct FlashHandler {
    uint8_t* phys;
    uint32_t phys_size;
    uint8_t* flash;
    uint32_t flash_size;
    uint32_t rom_base;
    uint32_t param_phys;
    const BlockEntry* blocks;
    uint32_t block_count;
    const FaultSet* faults;
    bool open;
    uint32_t writes;  // write commands seen, for power_loss
};

struct SmiResult {
    uint8_t command;
    uint8_t status;
    bool has_range;   // read/erase/write: address and length are meaningful
    uint32_t address;
    uint32_t length;
    bool power_loss;  // the caller must kill the process now; nothing was written
};

// word_checksum: complement of the wrap-around sum of len / 4 LE words.
uint32_t word_checksum(const uint8_t* p, uint32_t len);

// Runs one command. The status byte is always written (except on power loss).
SmiResult flash_smi(FlashHandler* h, uint8_t command);
