// The run record: what the last programming run did, kept in a root-only state directory so that
// the next run knows when the flash may be partly programmed and which backup is the way back.
// Best effort: where the directory cannot be written the run goes on without a record.
#pragma once

#include <cstdint>

// The run's command line, as the record and the rerun hint give it.
void record_command_line(int argc, char** argv);
// Start of a run that touches the flash: reads the last record and, when its run did not finish,
// prints one line that says what it was and what brings the flash back.
void read_last_record();
// 1 when /o would replace the backup that an unfinished or failed run left as its way back; a
// line then says so.
int save_is_way_back();
// The save of this run is whole under this name.
void record_backup(const char* name);
// Before the first erase: the record says "running".
void record_run_start();
// The block whose erase, write or verify failed.
void record_failed_block(uint32_t address);
// Every selected block is programmed and verified.
void record_passes_done();
// From the clean-up: the record gets the outcome, and after a failed erase, write or verify one
// line says what brings the flash back.
void record_run_end(int code);
