#include "platform/physmem.h"

#include <sys/mman.h>
#include <unistd.h>

#include "run/exit_codes.h"

FILE* mem_stream;
uint8_t* bios_window;
uint8_t* info_window;

namespace {
uintptr_t page_mask() { return static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)) - 1; }
}  // namespace

int open_phys_memory() {
  mem_stream = fopen("/dev/mem", "r+");
  if (mem_stream == nullptr) {
    fputs(" error opening /dev/mem!\n", stdout);
    fflush(stdout);
    return 0;
  }
  return 1;
}

uint8_t* map_phys(uint32_t phys, uint32_t len) {
  if (mem_stream == nullptr) return nullptr;
  uintptr_t delta = phys & page_mask();
  void* base = mmap(nullptr, len + delta, PROT_READ | PROT_WRITE, MAP_SHARED, fileno(mem_stream),
                    static_cast<off_t>(phys - delta));
  if (base == MAP_FAILED) return nullptr;
  return static_cast<uint8_t*>(base) + delta;
}

// mmap returns page-aligned addresses, so the offset of addr inside its page is the same as
// that of the physical address it was mapped for: the same enclosing range is released.
int unmap_phys(uint8_t* addr, uint32_t len) {
  uintptr_t delta = reinterpret_cast<uintptr_t>(addr) & page_mask();
  return munmap(addr - delta, len + delta) == 0 ? 1 : 0;
}

// A window that will not unmap keeps its slot; one that did is cleared at once, so that no
// slot ever points at released memory.
int unmap_windows() {
  if (bios_window != nullptr) {
    if (!unmap_phys(bios_window, WINDOW_LENGTH)) return EXIT_BIOS_UNMAP;
    bios_window = nullptr;
  }
  if (info_window != nullptr) {
    if (!unmap_phys(info_window, WINDOW_LENGTH)) return EXIT_INFO_UNMAP;
    info_window = nullptr;
  }
  return 0;
}

int close_phys_memory() {
  int failed = 0;
  if (mem_stream != nullptr) failed = fclose(mem_stream) != 0;
  mem_stream = nullptr;
  return failed ? 0 : 1;
}
