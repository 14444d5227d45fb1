#include "platform/ports.h"

#include <sys/io.h>

int io_privilege_raised;
namespace {
int io_privilege_requested;  // the clean-up drops the level only if it was ever raised
}

void raise_io_privilege() {
  io_privilege_requested = 1;
  io_privilege_raised = iopl(3) == 0;
}

void drop_io_privilege() {
  if (!io_privilege_requested) return;
  iopl(0);
  io_privilege_requested = 0;
  io_privilege_raised = 0;
}

// The platform's own byte-wide primitives: on x86-64 data pages are not executable, so no
// patched instruction templates.
uint8_t port_in8(uint16_t port) { return inb(port); }

void port_out8(uint16_t port, uint8_t value) { outb(value, port); }

uint8_t cmos_read(uint8_t index) {
  port_out8(CMOS_INDEX_PORT, index);
  return port_in8(CMOS_DATA_PORT);
}

void cmos_write(uint8_t index, uint8_t value) {
  port_out8(CMOS_INDEX_PORT, index);
  port_out8(CMOS_DATA_PORT, value);
}

void destroy_cmos_checksum() {
  uint8_t value = cmos_read(CMOS_CHECKSUM_HIGH);
  cmos_write(CMOS_CHECKSUM_HIGH, static_cast<uint8_t>(~value));
}
