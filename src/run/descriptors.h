// The standard descriptors the run starts with.
#pragma once

// Opens each of 0, 1 and 2 that is closed on /dev/null, so that no file the run opens later
// (/dev/mem, the save file) takes its number and receives the console output.
void open_standard_descriptors();
