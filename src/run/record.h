// The run record: what the last programming run did, kept in a root-only state directory so that
// the next run knows when the flash may be partly programmed and which backup is the way back.
// The backup is known by its content (size, SHA-256) as well as by its path, device and inode.
// Best effort: where the directory cannot be written the run goes on without a record, and says so.
#pragma once

#include <sys/stat.h>

#include <cstdint>

// A non-critical block that a saved image holds: file offset and length.
struct NcSpan {
  uint32_t start, size;
};

// The run's command line, as the record and the rerun hint give it.
void record_command_line(int argc, char** argv);
// Start of a run that saves or programs: reads the last record and, while the flash may be
// partly programmed, prints one line that says what happened and what brings the flash back.
void read_last_record();
// 1 while the last programming run left the flash possibly partly programmed.
int record_pending();
// While the flash may be partly programmed a save only makes a new file: 1, with a line, when /o
// names anything that exists.
int save_refused_while_pending();
// While the flash may be partly programmed, /i naming the recorded backup must hold its bytes;
// otherwise the run ends with 48 before anything is loaded.
void check_restore_file();
// The save of this run is whole under this name: the file written, its SHA-256 and the
// non-critical blocks it holds (for the restore command's options).
void record_backup(const char* name, const struct stat& written, const char* sha256, const NcSpan* nc, int nc_count);
// A block found to hold the file's bytes already: selected, but neither erased nor written.
void record_skipped_block(uint32_t address);
// Before the first erase: the record says "running".
void record_run_start();
// From the erase pass, before each erase command.
void record_erasing(uint32_t address);
// The block whose erase, write or verify failed.
void record_failed_block(uint32_t address);
// Every selected block is programmed and verified.
void record_passes_done();
// From the clean-up: the record gets the outcome, and after a failed erase, write or verify one
// line says what brings the flash back.
void record_run_end(int code);
// Forgets the run: a process that runs the tool's passes many times over (a fuzz target) starts
// each one as a new process would.
void record_forget();
