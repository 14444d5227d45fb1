#include "run/options.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// nc_index starts at 8 ("all") and is deliberately not reset by parse_options.
RunOptions options = {.input = 0,
                      .in_name = {},
                      .save = 0,
                      .out_name = {},
                      .show_file_id = 0,
                      .id_name = {},
                      .compare = 0,
                      .check_rom_id = 0,
                      .prog_main = 0,
                      .prog_bootblock = 0,
                      .prog_nvram = 0,
                      .destroy_cmos = 0,
                      .nc_mode = 0,
                      .main_plus_nc = 0,
                      .nc_index = NC_ALL,
                      .signature_value = 0,
                      .quiet = 0,
                      .help = 0,
                      .show_rom_id = 0,
                      .ignore_power = 0,
                      .skip_equal = 0,
                      .unchecked_prog_main = 0,
                      .unchecked_prog_bootblock = 0,
                      .unchecked_prog_nvram = 0};

namespace {

void reset_flags() {
  options.input = options.save = options.show_file_id = options.compare = 0;
  options.prog_bootblock = options.prog_nvram = options.destroy_cmos = 0;
  options.nc_mode = options.main_plus_nc = 0;
  options.quiet = options.help = options.show_rom_id = 0;
  options.signature_value = 0;
  options.ignore_power = options.skip_equal = 0;
  options.check_rom_id = 1;
  options.prog_main = 1;
}

// Copies the text after the two-character key. A name that does not fit is refused rather than
// cut: a shortened /o name would write a different file.
bool take_name(const char* arg, char* dest) {
  const char* text = arg + 2;
  size_t len = strlen(text);
  if (len >= NAME_SIZE) return false;
  memcpy(dest, text, len + 1);
  return true;
}

// The number after /k or /c: a leading decimal integer, low 8 bits kept. Only 0..7 (one block)
// and 8 (all) mean anything to the block selection; anything else is refused.
bool take_nc_index(const char* arg) {
  if (strlen(arg) <= 2) return true;
  long value = strtol(arg + 2, nullptr, 10);
  uint8_t low = static_cast<uint8_t>(static_cast<unsigned long>(value) & 0xFF);
  if (low > NC_ALL) return false;
  options.nc_index = low;
  return true;
}

bool take_p_letters(const char* arg) {
  for (const char* c = arg + 2; *c != '\0'; ++c) {
    int code = static_cast<unsigned char>(*c) - 'B';
    if (code < 0 || code > 44) return false;
    switch (*c) {
      case 'B':
      case 'b':
        options.prog_bootblock = 1;
        break;
      case 'C':
      case 'c':
        options.destroy_cmos = 1;
        break;
      case 'N':
      case 'n':
        options.prog_nvram = 1;
        break;
      default:
        return false;
    }
  }
  return true;
}

bool take_argument(const char* arg) {
  if (arg[0] != '/' || arg[1] == '\0') return false;
  switch (arg[1]) {
    case 'o':
      options.save = 1;
      return take_name(arg, options.out_name);
    case 'i':
      options.input = 1;
      return take_name(arg, options.in_name);
    case 'u':
      options.show_file_id = 1;
      return take_name(arg, options.id_name);
    case 'n':
      options.check_rom_id = 0;
      return true;
    case 'd':
      options.compare = 1;
      return true;
    case 'p':
      return take_p_letters(arg);
    case 'q':
      options.quiet = 1;
      return true;
    case 'h':
      options.help = 1;
      return true;
    case 'c':
      options.main_plus_nc = 1;
      return take_nc_index(arg);
    case 'k':
      options.nc_mode = 1;
      return take_nc_index(arg);
    case 's':
      options.signature_value = 18;
      return true;
    case 't':
      options.show_rom_id = 1;
      return true;
    case 'a':
      options.ignore_power = arg[2] == '\0';
      return options.ignore_power != 0;
    case 'e':
      options.skip_equal = arg[2] == '\0';
      return options.skip_equal != 0;
    default:
      return false;
  }
}

}  // namespace

int parse_options(int argc, char** argv) {
  if (argc <= 1) return 0;
  reset_flags();
  for (int i = 1; i < argc; ++i) {
    if (!take_argument(argv[i])) return 0;
  }
  // Override rules, in this order.
  if (options.nc_mode) options.prog_main = options.prog_bootblock = options.prog_nvram = 0;
  if (options.main_plus_nc) options.prog_main = options.nc_mode = 1;
  options.unchecked_prog_main = options.prog_main;
  options.unchecked_prog_bootblock = options.prog_bootblock;
  options.unchecked_prog_nvram = options.prog_nvram;
  if (options.compare) options.prog_main = options.prog_bootblock = options.prog_nvram = 0;
  return 1;
}

// The save runs before the ROM file is read: were they one file, the backup would replace the
// new ROM file and the run would program the old BIOS back.
int save_differs_from_input() {
  if (!options.save || !options.input) return 1;
  struct stat out, in;
  bool same = strcmp(options.out_name, options.in_name) == 0 ||
              (stat(options.out_name, &out) == 0 && stat(options.in_name, &in) == 0 &&
               out.st_dev == in.st_dev && out.st_ino == in.st_ino);
  if (same) {
    fputs(" /o and /i name the same file: a save would overwrite the ROM file\n", stdout);
    return 0;
  }
  // The save is made under NAME.partial-XXXXXX until it is whole: never program from one.
  size_t n = strlen(options.out_name);
  if (strncmp(options.in_name, options.out_name, n) != 0 || strncmp(options.in_name + n, ".partial", 8) != 0) return 1;
  fputs(" /i names a partial file of the /o save: rename the ROM file first\n", stdout);
  return 0;
}

void show_banner() {
  if (options.quiet) return;
  fputs("Zorflash - Version 1.33", stdout);
  fputs(" (for linux with driver)", stdout);
  fputs("\n", stdout);
  fputs("Use with care: save the current BIOS with /o before programming a new one.\n\n", stdout);
}

void show_usage() {
  static const char* const lines[] = {
      "        /n    - Don't check ROM ID\n",
      "        /pbnc -\n",
      "                b - Program Boot Block\n",
      "                n - Program NVRAM\n",
      "                c - Destroy System CMOS\n",
      "        /k    - Program all non-critical blocks only\n",
      "        /kN   - Program N'th non-critical block only (from k0 upto k7)\n",
      "        /s    - Leave signature in BIOS\n",
      "        /q    - Silent execution\n",
      "        /h    - Print help\n",
      "        /t    - Display ROM ID string\n",
      "        /c    - Program Main BIOS and all Non-critical blocks\n",
      "        /cN   - Program Main BIOS and N'th Non-critical block (from c0 upto c7)\n",
      "        /d    - Compare ROM file (skips flashing)\n",
      "        /u<ROM filename>   -Display ROM ID \n",
  };
  fputs(" Usage: zorflash", stdout);
  fputs("lnx", stdout);
  fputs("2", stdout);
  fputs(" /i<ROM filename> [/o<save ROM filename>] [/n] [/p[b][n][c]] [/s] [/k[N]] [/c[N]] [/q] "
        "[/h] [/t] [/u<ROM filename>] [/d]",
        stdout);
  fputs("\n", stdout);
  fputs("\n", stdout);
  for (const char* line : lines) fputs(line, stdout);
  fputs("\n", stdout);
  fflush(stdout);
}
