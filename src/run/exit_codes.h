// Process exit codes of zorflashlnx2. Scripts depend on these numbers; never renumber.
#pragma once

enum ExitCode : int {
  EXIT_OK = 0,
  EXIT_USAGE = 1,
  EXIT_NO_SIGNATURE = 2,
  EXIT_ROM_SIZE = 3,
  EXIT_ROM_ID = 4,
  EXIT_BOOT_BLOCK = 5,
  EXIT_TOO_MANY_NC = 6,
  EXIT_NEED_BOOT_NVRAM = 8,
  EXIT_DRIVER = 16,
  EXIT_NO_IO_PRIVILEGE = 17,
  EXIT_NO_NC_BLOCKS = 18,
  EXIT_RUN_LOCK = 19,
  EXIT_STOPPED = 20,
  EXIT_ON_BATTERY = 21,
  EXIT_MEM_OPEN = 32,
  EXIT_MEM_CLOSE = 33,
  EXIT_NO_MEMORY = 34,
  EXIT_NO_BUFFER = 36,
  EXIT_BUFFER_FREE = 37,
  EXIT_BIOS_MAP = 38,
  EXIT_BIOS_UNMAP = 39,
  EXIT_INFO_MAP = 40,
  EXIT_INFO_UNMAP = 41,
  EXIT_NO_INPUT = 48,
  EXIT_FILE_READ = 49,
  EXIT_CREATE_OUT = 50,
  EXIT_WRITE_OUT = 51,
  EXIT_OPEN_REFUSED = 64,
  EXIT_CLOSE_REFUSED = 65,
  EXIT_BLOCK_READ = 66,
  EXIT_ERASE = 67,
  EXIT_WRITE = 68,
  EXIT_VERIFY = 69,
  EXIT_INVALID_BLOCK = 70,
  EXIT_CMP_SIZE = 128,
  EXIT_CMP_ROM_ID = 129,
  EXIT_CMP_BOOT_BLOCK = 130,
};

struct ExitCodeInfo {
  int code;
  const char* meaning;
};

// Every exit code with a one-line meaning, in ascending order; ends with {-1, nullptr}.
// The manual page's exit-code table is checked against this list.
extern const ExitCodeInfo EXIT_CODE_TABLE[];
