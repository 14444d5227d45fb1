// Saving the flash contents to a file in ROM-file layout.
#pragma once

#include <cstdio>

// The new file of a save in progress, NAME.partial-XXXXXX, until it is complete and renamed to NAME.
extern FILE* save_file;

// Before the driver is loaded: 0 when out_name cannot be saved to, as when it is empty or an
// existing name that is not a regular file (a directory, device, FIFO or link).
int check_save_name();
void save_bios();
// Clean-up: closes the file of a save that did not finish and names it in a line.
void close_unfinished_save();
