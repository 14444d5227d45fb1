// A machine of the virtual PC in a temporary directory, and the tool run on it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "harness.h"

// The machine most tests use: 512 KB at 0x80000, six 64 KB main blocks, two 32 KB NVRAM blocks,
// a boot block of two 32 KB entries at the top.
extern const char* const TEST_MACHINE;

struct Block {
  uint32_t address, size;
};

struct Machine {
  std::string root;   // temporary directory of the test
  std::string state;  // the machine's state
  std::string work;   // the tool's working directory

  // A machine from a full description text; extra lines are appended to it.
  explicit Machine(const std::string& description = TEST_MACHINE,
                   const std::vector<std::string>& extra = {});
  ~Machine();

  // The launcher's command line that runs the tool on this machine; unwrapped, without the
  // words of ZORFL_E2E_WRAPPER.
  std::vector<std::string> command(const std::vector<std::string>& args,
                                   const std::vector<std::string>& faults = {}, bool wrapped = true) const;
  RunResult run(const std::vector<std::string>& args, const std::vector<std::string>& faults = {});
  RunResult run_in(const std::string& cwd, const std::vector<std::string>& args);
  // The tool started on the machine with a one-page output pipe, in the working directory or cwd.
  Started start(const std::vector<std::string>& args, const std::string& cwd = "");
  RunResult vpc(const std::vector<std::string>& args);
  // Makes a ROM file in the working directory with mkrom options; returns its path.
  std::string mkrom(const std::string& name, const std::vector<std::string>& options = {});

  std::string flash() const { return read_file(state + "/flash.bin"); }
  void set_flash(const std::string& bytes) const { write_file(state + "/flash.bin", bytes); }
  std::string cmos() const { return read_file(state + "/cmos.bin"); }
  void set_cmos_byte(int index, uint8_t value) const;
  std::string module_state() const { return read_file(state + "/module"); }
  std::vector<std::string> trace() const;
  void clear_trace() const { write_file(state + "/trace", ""); }
  std::string physmem() const { return read_file(state + "/physmem"); }
  void poke_physmem(uint32_t address, const std::string& bytes) const;

  std::vector<Block> blocks() const;  // the BlockTable, parsed from physical memory
  uint32_t info_base() const;         // physical address of the flash-info segment
  uint32_t table_offset() const;      // BlockTable's offset inside the flash-info segment
  uint32_t nvram_offset() const;
  uint32_t record_offset() const;
  uint32_t header_address() const;
};

// Lines of the trace that start with prefix.
std::vector<std::string> lines_starting(const std::vector<std::string>& trace, const std::string& prefix);
// Index of the first line starting with prefix at or after from, or -1.
int find_line(const std::vector<std::string>& trace, const std::string& prefix, int from = 0);
std::string frame(const std::string& message);
// The running kernel's release, as the tool names it in its hint for a missing module.
std::string kernel_release();
// The line of a save of name that did not finish, its partial file's name masked (masked).
std::string saved_left(const std::string& name);
// out with the unguessable end of every NAME.partial-XXXXXX written as XXXXXX.
std::string masked(std::string out);
// The partial file of the save name in dir ("" when there is none).
std::string partial_of(const std::string& dir, const std::string& name);
// A field of the machine's run record ("" when there is none).
std::string record_field(const Machine& m, const std::string& key);
// The line at the start of a run after the recorded run did not finish or failed, with the time,
// command and outcome of the record and the way back the test expects.
std::string next_run_line(const Machine& m, const std::string& way_back);
// The line after a failed erase, write or verify: with the backup of the run, or without.
std::string restore_line(const std::string& backup, const std::string& restore_args);
std::string rerun_line(const std::string& command);
uint32_t le32_at(const std::string& bytes, size_t at);
