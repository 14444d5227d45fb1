#include "devices.h"

#include <cstdio>
#include <sstream>

std::string device_list(bool listed, uint32_t major)
{
    static const struct {
        uint32_t major;
        const char* name;
    } chr[] = {{1, "mem"},   {4, "/dev/vc/0"}, {4, "tty"},     {4, "ttyS"}, {5, "/dev/tty"},
               {5, "/dev/console"}, {5, "/dev/ptmx"}, {7, "vcs"}, {10, "misc"}, {13, "input"},
               {29, "fb"},   {116, "alsa"},    {128, "ptm"},   {136, "pts"}, {180, "usb"},
               {189, "usb_device"}, {226, "drm"}, {250, "hidraw"}, {251, "bsg"}, {252, "watchdog"},
               {253, "rtc"}};
    std::string out = "Character devices:\n";
    char line[64];
    bool done = !listed;
    for (const auto& d : chr) {
        if (!done && major < d.major) {
            std::snprintf(line, sizeof line, "%3u zorfldrv\n", major);
            out += line;
            done = true;
        }
        std::snprintf(line, sizeof line, "%3u %s\n", d.major, d.name);
        out += line;
    }
    if (!done) {
        std::snprintf(line, sizeof line, "%3u zorfldrv\n", major);
        out += line;
    }
    out += "\nBlock devices:\n  7 loop\n  8 sd\n  9 md\n 11 sr\n 65 sd\n128 sd\n253 device-mapper\n"
           "254 mdp\n259 blkext\n";
    return out;
}

std::string module_state_text(const ModuleState& s)
{
    return std::string("loaded = ") + (s.loaded ? "1" : "0") + "\nmajor = " + std::to_string(s.major) + "\n";
}

std::string open_files_text(const OpenFiles& t)
{
    std::string out;
    char line[64];
    for (int i = 0; i < t.count; ++i) {
        const OpenFile& f = t.f[i];
        std::snprintf(line, sizeof line, "%d %d 0x%08x %u\n", f.pid, f.file, f.phys, f.size);
        out += line;
    }
    return out;
}

void parse_open_files(const std::string& text, OpenFiles* t)
{
    t->count = 0;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line) && t->count < kMaxOpenFiles) {
        OpenFile f;
        if (std::sscanf(line.c_str(), "%d %d %x %u", &f.pid, &f.file, &f.phys, &f.size) == 4 && f.pid > 0)
            t->f[t->count++] = f;
    }
}

bool parse_module_state(const std::string& text, ModuleState* s)
{
    std::istringstream in(text);
    std::string key, eq;
    long value;
    bool got_loaded = false, got_major = false;
    while (in >> key >> eq >> value) {
        if (eq != "=")
            return false;
        if (key == "loaded")
            s->loaded = value == 1, got_loaded = true;
        else if (key == "major")
            s->major = uint32_t(value), got_major = true;
    }
    return got_loaded && got_major;
}
