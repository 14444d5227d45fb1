// I/O ports, the CMOS behind ports 0x70/0x71, and the I/O privilege level that allows both.
#pragma once

#include <cstdint>

constexpr uint16_t CMOS_INDEX_PORT = 0x70;
constexpr uint16_t CMOS_DATA_PORT = 0x71;
constexpr uint8_t CMOS_CHECKSUM_HIGH = 0x2E;

// 1 once iopl(3) succeeded; port users test it so that the run never dies of a faulting port
// instruction.
extern int io_privilege_raised;

void raise_io_privilege();
void drop_io_privilege();

uint8_t port_in8(uint16_t port);
void port_out8(uint16_t port, uint8_t value);
uint8_t cmos_read(uint8_t index);
void cmos_write(uint8_t index, uint8_t value);
// Inverts the high checksum byte, so the BIOS finds the CMOS invalid on the next boot.
void destroy_cmos_checksum();
