// Command-line settings of the run, filled once by parse_options and read by every subsystem.
#pragma once

#include <cstdint>

constexpr int NAME_SIZE = 128;  // file name buffers, including the terminating NUL
constexpr uint8_t NC_ALL = 8;   // nc_index value meaning "all non-critical blocks"

struct RunOptions {
  int32_t input;
  char in_name[NAME_SIZE];
  int32_t save;
  char out_name[NAME_SIZE];
  int32_t show_file_id;
  char id_name[NAME_SIZE];
  int32_t compare;
  int32_t check_rom_id;
  int32_t prog_main;
  int32_t prog_bootblock;
  int32_t prog_nvram;
  int32_t destroy_cmos;
  int32_t nc_mode;
  int32_t main_plus_nc;
  uint8_t nc_index;
  int8_t signature_value;
  int32_t quiet;
  int32_t help;
  int32_t show_rom_id;
  int32_t ignore_power;  // /a: the battery check is skipped, for a machine whose sensors lie
  int32_t skip_equal;    // /e: blocks that already hold the file's bytes are left alone
  // The program flags as they were before /d dropped them: what /d /e counts is what the same
  // command without /d would program.
  int32_t unchecked_prog_main, unchecked_prog_bootblock, unchecked_prog_nvram;
};

extern RunOptions options;

// 1 when the command line is valid and the run goes on, 0 when the usage must be shown (exit 1).
int parse_options(int argc, char** argv);
// 1 unless /o and /i name one file (the same name, or the same file through another name);
// then a line says so and the command line counts as invalid.
int save_differs_from_input();
void show_banner();
void show_usage();
