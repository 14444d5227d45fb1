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
