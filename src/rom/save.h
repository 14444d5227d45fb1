// Saving the flash contents to a file in ROM-file layout.
#pragma once

#include <cstdio>

extern FILE* save_file;  // not touched by the clean-up: a failed save leaves it to process exit

void save_bios();
