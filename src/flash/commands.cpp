#include "flash/commands.h"

#include <cstring>

#include "flash/layout.h"
#include "flash/le.h"
#include "platform/driver.h"
#include "platform/ports.h"
#include "run/errors.h"
#include "run/exit_codes.h"
#include "run/signals.h"

uint16_t smi_port;
void (*smi_trigger)(uint16_t port, uint8_t command) = port_out8;
uint8_t* param_block;
uint32_t transfer_phys;
uint8_t* transfer_buffer;

namespace {

uint8_t status() { return param_block[PARAM_STATUS]; }

void set_piece(uint32_t address, uint32_t length) {
  put_le32(param_block + PARAM_ADDRESS, address);
  put_le32(param_block + PARAM_LENGTH, length);
}

}  // namespace

// The handler runs inside the port write and reads and writes the parameter block and the
// transfer buffer; the barriers keep the compiler from moving those accesses across it.
void smi_call(uint8_t command) {
  check_stop();
  asm volatile("" ::: "memory");
  smi_trigger(smi_port, command);
  asm volatile("" ::: "memory");
}

uint32_t word_checksum(const uint8_t* buffer, uint32_t length) { return ~le32_sum(buffer, length); }

int flash_open() {
  if (!io_privilege_raised) {
    report_error("Unable to raise I/O privilege level");
    return EXIT_NO_IO_PRIVILEGE;
  }
  smi_call(SMI_FLASH_OPEN);
  if (status() == 1) return EXIT_OPEN_REFUSED;
  uint32_t phys = 0;
  void* user = nullptr;
  if (!drv_alloc(TRANSFER_SIZE, &phys, &user)) return EXIT_NO_BUFFER;
  transfer_phys = phys;
  transfer_buffer = static_cast<uint8_t*>(user);
  put_le32(param_block + PARAM_BUFFER, transfer_phys);
  return 0;
}

int flash_close() {
  if (transfer_phys == 0) return 0;
  smi_call(SMI_FLASH_CLOSE);
  if (status() != 0) return EXIT_CLOSE_REFUSED;
  int freed = drv_free(transfer_phys, TRANSFER_SIZE);
  transfer_phys = 0;
  transfer_buffer = nullptr;
  return freed ? 0 : EXIT_BUFFER_FREE;
}

int flash_erase_block(uint32_t address, uint32_t size, ProgressFn progress) {
  set_piece(address, size);
  if (progress != nullptr) progress(address, rom_size);
  smi_call(SMI_FLASH_ERASE);
  return status() == 0 ? 1 : 0;
}

int flash_write_block(uint32_t address, uint32_t size, const uint8_t* source, ProgressFn progress) {
  for (uint32_t k = 0; k < size / TRANSFER_SIZE; ++k) {
    uint32_t piece = address + k * TRANSFER_SIZE;
    set_piece(piece, TRANSFER_SIZE);
    memcpy(transfer_buffer, source + static_cast<size_t>(k) * TRANSFER_SIZE, TRANSFER_SIZE);
    put_le32(param_block + PARAM_CHECKSUM, word_checksum(transfer_buffer, TRANSFER_SIZE));
    if (progress != nullptr) progress(piece, rom_size);
    smi_call(SMI_FLASH_WRITE);
    if (status() != 0) return 0;
  }
  return 1;
}

int flash_read_block(uint32_t address, uint32_t size, uint8_t* destination, ProgressFn progress) {
  for (uint32_t k = 0; k < size / TRANSFER_SIZE; ++k) {
    uint32_t piece = address + k * TRANSFER_SIZE;
    set_piece(piece, TRANSFER_SIZE);
    if (progress != nullptr) progress(piece, rom_size);
    smi_call(SMI_FLASH_READ);
    if (status() != 0) return 0;
    if (word_checksum(transfer_buffer, TRANSFER_SIZE) != le32(param_block + PARAM_CHECKSUM)) return 0;
    memcpy(destination + static_cast<size_t>(k) * TRANSFER_SIZE, transfer_buffer, TRANSFER_SIZE);
  }
  return 1;
}

int flash_verify_block(uint32_t address, uint32_t size, const uint8_t* source, ProgressFn progress) {
  for (uint32_t k = 0; k < size / TRANSFER_SIZE; ++k) {
    uint32_t piece = address + k * TRANSFER_SIZE;
    set_piece(piece, TRANSFER_SIZE);
    smi_call(SMI_FLASH_READ);
    if (status() != 0) return 0;
    if (progress != nullptr) progress(piece, rom_size);
    if (memcmp(source + static_cast<size_t>(k) * TRANSFER_SIZE, transfer_buffer, TRANSFER_SIZE) != 0)
      return 0;
  }
  return 1;
}
