// The BIOS flash handler's commands, sent by one byte on the SMI command port.
#pragma once

#include <cstdint>

#include "run/progress.h"

constexpr uint8_t SMI_FLASH_OPEN = 0x20;
constexpr uint8_t SMI_FLASH_READ = 0x21;
constexpr uint8_t SMI_FLASH_ERASE = 0x22;
constexpr uint8_t SMI_FLASH_WRITE = 0x23;
constexpr uint8_t SMI_FLASH_CLOSE = 0x24;

constexpr uint32_t TRANSFER_SIZE = 1024;

// FlashParamBlock field offsets.
constexpr int PARAM_BUFFER = 0;
constexpr int PARAM_ADDRESS = 4;
constexpr int PARAM_LENGTH = 8;
constexpr int PARAM_CHECKSUM = 12;
constexpr int PARAM_STATUS = 16;
constexpr uint32_t PARAM_BLOCK_SIZE = 17;

extern uint16_t smi_port;
// Writes the command byte to the port; unit tests put a handler of their own here.
extern void (*smi_trigger)(uint16_t port, uint8_t command);
extern uint8_t* param_block;      // in the system BIOS window
extern uint32_t transfer_phys;    // 0 while no buffer is held
extern uint8_t* transfer_buffer;  // the same bytes, seen from user space

void smi_call(uint8_t command);
uint32_t word_checksum(const uint8_t* buffer, uint32_t length);

int flash_open();
int flash_close();
int flash_erase_block(uint32_t address, uint32_t size, ProgressFn progress);
int flash_write_block(uint32_t address, uint32_t size, const uint8_t* source, ProgressFn progress);
int flash_read_block(uint32_t address, uint32_t size, uint8_t* destination, ProgressFn progress);
int flash_verify_block(uint32_t address, uint32_t size, const uint8_t* source, ProgressFn progress);
