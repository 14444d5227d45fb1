#include "run/progress.h"

#include <cstdio>

#include "run/options.h"

namespace {
uint32_t progress_start;  // shared by every callback, overwritten by each start call
}

void show_progress(uint32_t position, uint32_t total, const char* label) {
  if (options.quiet) return;
  fputs(label, stdout);
  if (position == PROGRESS_START) {
    progress_start = total;
    fputs("\r", stdout);
  } else if (position == PROGRESS_DONE) {
    fputs("done              \n", stdout);
  } else {
    // Unsigned 32-bit arithmetic on purpose: the product wraps, as the line always has.
    uint32_t percent = total == 0 ? 0 : (position - progress_start) * 100u / total;
    printf("0x%08lX (%d%%) \r", static_cast<unsigned long>(position), static_cast<int>(percent));
  }
  fflush(stdout);
}

void progress_read_file(uint32_t p, uint32_t t) { show_progress(p, t, " Reading file .......... "); }
void progress_read_flash(uint32_t p, uint32_t t) { show_progress(p, t, " Reading flash ......... "); }
void progress_write_flash(uint32_t p, uint32_t t) { show_progress(p, t, " Writing flash ......... "); }
void progress_erase_flash(uint32_t p, uint32_t t) { show_progress(p, t, " Erasing flash ......... "); }
void progress_verify_flash(uint32_t p, uint32_t t) {
  show_progress(p, t, " Verifying flash ....... ");
}
void progress_erase_bootblock(uint32_t p, uint32_t t) {
  show_progress(p, t, " Erasing BootBlock ..... ");
}
void progress_write_bootblock(uint32_t p, uint32_t t) {
  show_progress(p, t, " Writing BootBlock ..... ");
}
void progress_verify_bootblock(uint32_t p, uint32_t t) {
  show_progress(p, t, " Verifying BootBlock ... ");
}
void progress_compare_flash(uint32_t p, uint32_t t) {
  show_progress(p, t, " Comparing flash ....... ");
}
void progress_compare_bootblock(uint32_t p, uint32_t t) {
  show_progress(p, t, " Comparing BootBlock ... ");
}
