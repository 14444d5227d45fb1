#include <cstdio>

#include "flash/layout.h"
#include "platform/driver.h"
#include "platform/lockdown.h"
#include "platform/physmem.h"
#include "platform/power.h"
#include "platform/ports.h"
#include "platform/runlock.h"
#include "rom/romfile.h"
#include "rom/program.h"
#include "rom/save.h"
#include "rom/validate.h"
#include "run/descriptors.h"
#include "run/errors.h"
#include "run/exit_codes.h"
#include "run/options.h"
#include "run/record.h"
#include "run/signals.h"

int main(int argc, char** argv) {
  open_standard_descriptors();
  catch_stop_signals();
  record_command_line(argc, argv);
  if (!parse_options(argc, argv) || !save_differs_from_input()) {
    show_usage();
    fail_exit(EXIT_USAGE);
  }
  show_banner();
  if (options.help) {
    show_usage();
    fail_exit(EXIT_OK);
  }
  take_run_lock();
  take_io_privilege();
  if (options.compare && !options.input) fatal(EXIT_NO_INPUT, "Input file required");
  bool erases = options.input && !options.compare;
  if (erases || (options.save && !options.compare)) read_last_record();
  if (options.show_file_id) show_file_rom_id(options.id_name);
  // The files are taken before the driver: nothing is loaded for a name that cannot be used.
  if (options.input && !open_rom_file()) fatal(EXIT_NO_INPUT, "Unable to open ROM file.");
  if (erases) check_restore_file();
  if (options.save && !options.compare && (!check_save_name() || save_refused_while_pending())) {
    fatal(EXIT_CREATE_OUT, "Unable to create output file\n");
  }
  if (erases) check_power();
  if (!load_driver()) fatal(EXIT_DRIVER, "Unable to load driver\n");
  if (!open_phys_memory()) fatal(EXIT_MEM_OPEN, "Unable to initialize memory manager\n");
  int r = locate_flash_interface();
  if (r != 0) fatal(r, "BIOS has no flash information available");
  if (options.save && !options.compare) save_bios();
  if (options.input || options.compare) program_flash();
  if (options.compare) {
    compare_report();
    options.destroy_cmos = 0;
  }
  if (options.input && options.destroy_cmos) destroy_cmos_checksum();
  if (options.show_rom_id) printf("\n ROM ID = %s", RomId);
  fail_exit(EXIT_OK);
}
