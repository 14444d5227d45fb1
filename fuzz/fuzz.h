// What the fuzz targets share: the end of a run as a jump back into the target, the tool's
// process-wide slots put back between inputs, and run options made from input bytes.
#pragma once

#include <csetjmp>
#include <cstdint>

// fail_exit jumps here with the run's exit code in fuzz_exit_code.
extern jmp_buf fuzz_end;
extern int fuzz_exit_code;

// Frees and clears what a run may have left: the image buffer, the ROM file, the
// non-critical list, held signals, the layout slots, the options.
void fuzz_reset();

// The tool's output goes nowhere; libFuzzer reports on stderr.
void fuzz_silence_stdout();

// Sets the run options through the tool's own parser from two input bytes.
//   flags:  0x01 /d   0x02 check the ROM ID (else /n)   0x04 /pb   0x08 /pn   0x10 /s   0x20 /q
//   select: bits 4-5: 1 /k, 2 /c, 3 both; bits 0-3: the block number N (0..8), 9 and up: none.
// rom_path, when not null, is given with /i.
void fuzz_options(uint8_t flags, uint8_t select, const char* rom_path);

// Aborts the process (a finding) when a rule the tool relies on does not hold.
void fuzz_require(bool condition, const char* what);
