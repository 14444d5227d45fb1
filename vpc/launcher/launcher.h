// The zorvpc launcher: one function per subcommand, and the state-directory helpers they share.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "machine.h"

// Each returns the launcher's exit status.
int cmd_init(const std::vector<std::string>& args);
int cmd_run(const std::vector<std::string>& args);
int cmd_show(const std::vector<std::string>& args);
int cmd_mkrom(const std::vector<std::string>& args);
int cmd_reboot(const std::vector<std::string>& args);
int cmd_capture(const std::vector<std::string>& args);
void print_help();
void print_usage();

// Prints "zorvpc: MESSAGE" to standard error and returns 2.
int fail(const std::string& message);

// A regular file of at most max bytes, read whole; false (errno set) for anything else: a FIFO,
// a device or a larger file is never read, so no verb waits or fills memory on a planted file.
constexpr uint64_t kTextFileMax = 64u << 20;
bool read_file(const std::string& path, std::string* out, uint64_t max = kTextFileMax);
bool write_file(const std::string& path, const void* data, size_t size);
// The machine in DIR as a reboot leaves it. False when a state file cannot be written.
bool reboot_machine(const std::string& dir, const Machine& m);
// Creates DIR with the description text, memory with m's records, and flash as its flash image.
// False (after the message) when a file cannot be written.
bool write_state_dir(const std::string& dir, const std::string& text, const Machine& m,
                     const std::vector<uint8_t>& flash);
// The captured backup a twin keeps beside its flash image.
constexpr const char* kCapturedBackup = "captured.rom";
// Where the trace stood when the last run started: "show changes" reads the run's lines from it.
constexpr const char* kLastRun = "last-run";
// Reads and parses DIR/machine.
bool load_machine_dir(const std::string& dir, Machine* m, std::string* err);
