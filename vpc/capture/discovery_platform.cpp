// The capture links the tool's discovery (src/flash/layout.cpp) for its header search and its
// reading of the flash-info records, and never its locate_flash_interface. What that function
// would reach on the platform is stood in for here by calls that refuse, so that no code of the
// tool that maps memory for writing, sends an SMI or touches a port is in the capture at all.
#include <cstdint>

#include "flash/commands.h"
#include "platform/physmem.h"
#include "run/errors.h"

uint8_t* bios_window;
uint8_t* info_window;
uint8_t* param_block;
uint16_t smi_port;

uint8_t* map_phys(uint32_t, uint32_t) { return nullptr; }
int flash_open() { return 64; }
int flash_read_block(uint32_t, uint32_t, uint8_t*, ProgressFn) { return 0; }
void report_error(const char*, ...) {}
