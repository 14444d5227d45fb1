#include <cstdio>

#include "flash/commands.h"
#include "platform/driver.h"
#include "platform/physmem.h"
#include "platform/ports.h"
#include "rom/image.h"
#include "rom/romfile.h"
#include "rom/save.h"
#include "run/errors.h"
#include "run/exit_codes.h"
#include "run/record.h"
#include "run/signals.h"

// Every step tests its own slot, so this is safe from any point of the run. The first error
// code of the run wins; a clean-up failure only fills a code that was still 0.
int cleanup_all(int code) {
  begin_cleanup_signals();
  record_run_end(code);
  close_unfinished_save();
  free_image();

  int r = flash_close();
  if (r != 0) {
    report_error("Unable to close BIOS flash interface\n");
    if (code == 0) code = r;
  }
  r = unmap_windows();
  if (r != 0) {
    report_error("Unable to close BIOS mapping\n");
    if (code == 0) code = r;
  }
  if (!close_phys_memory()) {
    report_error("Unable to close memory manager\n");
    if (code == 0) code = EXIT_MEM_CLOSE;
  }
  unload_driver();
  close_rom_file();
  drop_io_privilege();
  fflush(stdout);
  drop_held_signals();
  return code;
}
