// The kernel's device list (/proc/devices) as the emulated machine shows it.
#pragma once
#include <cstdint>
#include <string>

// listed: whether the zorfldrv line appears (module loaded and not hidden).
std::string device_list(bool listed, uint32_t major);

// The module's state file: "loaded = 0|1" and "major = M".
struct ModuleState {
    bool loaded;
    uint32_t major;
};
std::string module_state_text(const ModuleState& s);
bool parse_module_state(const std::string& text, ModuleState* s);

// The module's open files, machine-wide: one line "PID FILE PHYS SIZE" each
// (PHYS 0: no buffer). FILE tells apart the open files of one process.
struct OpenFile {
    int pid;
    int file;
    uint32_t phys;
    uint32_t size;
};
constexpr int kMaxOpenFiles = 64;
struct OpenFiles {
    int count;
    OpenFile f[kMaxOpenFiles];
};
std::string open_files_text(const OpenFiles& t);
// Lines that do not parse are dropped; at most kMaxOpenFiles are kept.
void parse_open_files(const std::string& text, OpenFiles* t);
