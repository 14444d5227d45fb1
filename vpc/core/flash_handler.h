// The firmware's flash handler behind the SMI command port: the firmware's own
// protocol core (flash_core.h) over physical memory and the flash image, with
// NOR semantics: erase sets a block to 0xFF, a write only clears bits. What is
// the virtual PC's alone is here: power loss at a command (signals are sent by the SMI port).
// Touches only memory it is given: safe to run from the port trap handler.
#pragma once
#include <cstdint>

#include "faults.h"
#include "flash_core.h"
#include "machine.h"

struct FlashHandler {
    uint8_t* phys;
    uint32_t phys_size;
    uint8_t* flash;
    uint32_t param_phys;
    const FaultSet* faults;
    fw_state core;    // its open flag is the machine's: the caller loads and stores it
    uint32_t counted;  // commands of the power_loss kind seen
};

struct SmiResult {
    uint8_t command;
    uint8_t status;
    bool ignored;     // not a flash command: the FlashParamBlock was left alone
    bool has_range;   // read/erase/write: address and length are meaningful
    uint32_t address;
    uint32_t length;
    bool power_loss;  // the caller must kill the process now; nothing was written
};

// The handler of machine m over phys (phys_size bytes) and its flash image, closed.
void flash_handler_init(FlashHandler* h, const Machine& m, uint8_t* phys, uint32_t phys_size, uint8_t* flash,
                        uint32_t param_phys, const FaultSet* faults);

// Runs one command byte. The status byte is written for the flash commands,
// except on power loss.
SmiResult flash_smi(FlashHandler* h, uint8_t command);
