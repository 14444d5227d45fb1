// The kernel driver: its device node "zorfl" and the physically contiguous transfer buffer.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>

constexpr uint32_t DRV_IOC_ALLOC = 0x4160;
constexpr uint32_t DRV_IOC_FREE = 0x4161;
constexpr mode_t NODE_MODE = 0x2180;  // character device, owner read/write only

struct DrvMemRequest {
  uint32_t word[6];  // 0: size in bytes; 2: physical address, filled by the module
};

// 0: never loaded; a descriptor; or -1 after a failed attempt to open the node.
extern int driver_fd;
extern void* driver_map;

int load_driver();
int unload_driver();
int drv_alloc(uint32_t size, uint32_t* phys_out, void** user_out);
int drv_free(uint32_t phys, uint32_t size);

// The decimal number at the start of a device-list piece; 0 when it does not start with one.
unsigned parse_major(const char* piece);
// Reads the list in 128-byte pieces; the first piece naming "zorfldrv" sets *major.
void scan_device_list(FILE* list, unsigned* major);
dev_t driver_device_number(unsigned major);
