// zorvpc show DIR [layout|cmos|module|trace|changes|all]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <sys/stat.h>

#include "devices.h"
#include "launcher.h"
#include "le.h"
#include "rommaker.h"

namespace {

void show_layout(const std::string& dir, const Machine& m)
{
    uint32_t size = rom_size(m), base = rom_base(m);
    std::printf("ROM: %u KB (%u bytes), RomBase 0x%08x, SMI port 0x%x, ROM ID \"%.8s\" (description)\n", m.rom_kb,
                size, base, m.smi_port, m.rom_id);
    std::string phys;
    if (read_file(dir + "/physmem", &phys, kPhysMemSize) && phys.size() == kPhysMemSize) {
        const uint8_t* seg = reinterpret_cast<const uint8_t*>(phys.data()) + kBiosSegment;
        int at = -1;
        for (uint32_t i = 0; i + 4 <= kSegmentSize && at < 0; ++i)
            if (std::memcmp(seg + i, "$QZX", 4) == 0)
                at = int(i);
        if (at < 0)
            std::printf("Header: no \"$QZX\" in the 0xF0000 segment\n");
        else
            std::printf("Header: \"$QZX\" at 0x%05x (segment offset 0x%x), FlashParamBlock at +0x%x\n",
                        kBiosSegment + uint32_t(at), at, seg[at + 4]);
    }
    std::printf("Flash info: paragraph 0x%04x (0x%05x): record +0x%x, BlockTable +0x%x, NvramList +0x%x\n",
                m.info_paragraph, m.info_paragraph * 16, m.info_record_offset, m.block_table_offset,
                m.nvram_list_offset);
    std::printf("BlockTable: n = %zu, b = %u; NvramList: m = %zu\n", m.blocks.size(), m.boot_blocks, m.nvram.size());
    std::printf("  #  address     size        file offset  kind\n");
    for (size_t i = 0; i < m.blocks.size(); ++i) {
        const BlockEntry& b = m.blocks[i];
        bool boot = is_boot_entry(m, i), nv = is_nvram_address(m, b.address);
        const char* kind = boot && nv ? "boot+nvram" : boot ? "boot" : nv ? "nvram" : "main";
        std::printf("%3zu  0x%08x  0x%08x  0x%08x   %s\n", i, b.address, b.size, b.address - base, kind);
    }
    std::string flash;
    if (read_file(dir + "/flash.bin", &flash, size) && flash.size() == size) {
        const uint8_t* f = reinterpret_cast<const uint8_t*>(flash.data());
        uint32_t off, len, sum = 0;
        boot_region(m, &off, &len);
        for (const auto& s : boot_spans(m))
            sum += uint64_t(s.first) + s.second <= size ? word_sum(f + s.first, s.second) : 0;
        if (len)
            std::printf("Boot-block region: file offset 0x%08x, %u bytes, word sum 0x%08x%s\n", off, len,
                        sum, sum ? " (not zero)" : "");
        std::printf("Flash ROM ID: \"%.8s\"\n", reinterpret_cast<const char*>(f + size - 32));
    }
}

void show_cmos(const std::string& dir)
{
    std::string c;
    if (!read_file(dir + "/cmos.bin", &c, 128) || c.size() != 128) {
        std::printf("CMOS: no cmos.bin\n");
        return;
    }
    std::printf("CMOS:\n");
    for (int row = 0; row < 128; row += 16) {
        std::printf("  %02x:", row);
        for (int i = 0; i < 16; ++i)
            std::printf(" %02x", uint8_t(c[size_t(row + i)]));
        std::printf("\n");
    }
    uint32_t sum = 0;
    for (int i = 0x10; i <= 0x2D; ++i)
        sum += uint8_t(c[size_t(i)]);
    uint32_t stored = uint32_t(uint8_t(c[0x2E])) << 8 | uint8_t(c[0x2F]);
    std::printf("  checksum 0x2e-0x2f: 0x%04x, sum of 0x10-0x2d: 0x%04x (%s)\n", stored, sum & 0xFFFF,
                stored == (sum & 0xFFFF) ? "valid" : "invalid");
}

void show_module(const std::string& dir, const Machine& m)
{
    std::string text;
    ModuleState ms{};
    if (!read_file(dir + "/module", &text) || !parse_module_state(text, &ms)) {
        std::printf("Module: no module state\n");
        return;
    }
    std::printf("Module zorfldrv_mod: %s, major %u%s\n", ms.loaded ? "loaded" : "not loaded", ms.major,
                ms.loaded && m.faults.not_listed ? " (not listed)" : "");
    struct stat st;
    std::string node;
    if (lstat("zorfl", &st) != 0)
        std::printf("Node ./zorfl: absent\n");
    else if (S_ISREG(st.st_mode) && read_file("zorfl", &node, 4096) && node.rfind("zorvpc-node ", 0) == 0)
        std::printf("Node ./zorfl: device node %s", node.c_str() + 12);
    else
        std::printf("Node ./zorfl: present, not a device node\n");
}

void show_trace(const std::string& dir)
{
    std::string t;
    read_file(dir + "/trace", &t);
    std::printf("Trace:\n%s", t.c_str());
}

// File ranges of the non-critical blocks an image lays out: in each 4 KB chunk, the first
// "ZORNCBLK" at a multiple of 16, with the length at its byte 12, as the tool's load finds them.
void nc_ranges(const std::string& image, std::vector<BlockEntry>* out)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(image.data());
    for (size_t chunk = 0; chunk < image.size(); chunk += 4096)
        for (size_t q = chunk; q < chunk + 4096 && q + 16 <= image.size(); q += 16)
            if (std::memcmp(p + q, "ZORNCBLK", 8) == 0) {
                out->push_back({uint32_t(q), get_le32(p + q + 12)});
                break;
            }
}

// The flash commands of the last run that landed: erases and writes with status 0; and where
// a power loss cut it (a command that never reached the flash), or that it never closed the
// flash interface (killed).
struct Landed {
    std::vector<uint32_t> erased, written;
    bool cut = false, closed = false;
    unsigned cut_command = 0;
    uint32_t cut_address = 0;
};

Landed last_run_commands(const std::string& dir)
{
    Landed l;
    std::string trace, mark;
    read_file(dir + "/trace", &trace);
    size_t from = read_file(dir + "/" + kLastRun, &mark) ? std::strtoul(mark.c_str(), nullptr, 10) : 0;
    std::istringstream in(from <= trace.size() ? trace.substr(from) : "");
    std::string line;
    while (std::getline(in, line)) {
        unsigned cmd, addr;
        char status[16];
        l.closed = l.closed || line.rfind("smi 0x24 status=0", 0) == 0;
        if (std::sscanf(line.c_str(), "smi 0x%x addr=0x%x len=%*u %15s", &cmd, &addr, status) != 3)
            continue;
        // A cut at a read, open or close leaves the flash as it was.
        if (std::strcmp(status, "power-loss") == 0 && (cmd == 0x22 || cmd == 0x23)) {
            l.cut = true;
            l.cut_command = cmd;
            l.cut_address = addr;
        }
        if (std::strcmp(status, "status=0") != 0)
            continue;
        if (cmd == 0x22)
            l.erased.push_back(addr);
        else if (cmd == 0x23)
            l.written.push_back(addr);
    }
    return l;
}

unsigned count_in(const std::vector<uint32_t>& addrs, uint32_t start, uint32_t size)
{
    unsigned n = 0;
    for (uint32_t a : addrs)
        n += a >= start && a - start < size;
    return n;
}

enum What { kErased, kRewritten, kUntouched, kPartlyWritten, kPartlyErased };

// A block is partly written when the cut fell inside it, or when fewer of its 1 KB pieces
// landed than it holds (a run killed between two of them).
What block_fate(const Landed& l, const BlockEntry& b)
{
    bool cut_here = l.cut && l.cut_address >= b.address && l.cut_address - b.address < b.size;
    if (cut_here && l.cut_command == 0x22)
        return kPartlyErased;
    unsigned written = count_in(l.written, b.address, b.size);
    if (cut_here || (written > 0 && written < b.size / 1024))
        return kPartlyWritten;
    return written ? kRewritten : count_in(l.erased, b.address, b.size) ? kErased : kUntouched;
}

int show_changes(const std::string& dir, const Machine& m)
{
    std::string backup, flash;
    // Both are the machine's ROM size: nothing larger, nor anything but a regular file, is read.
    if (!read_file(dir + "/" + kCapturedBackup, &backup, rom_size(m)) || backup.size() != rom_size(m))
        return fail(dir + " holds no captured backup (" + kCapturedBackup + ") of the machine's ROM size: it is not "
                    "a twin (zorvpc capture)");
    if (!read_file(dir + "/flash.bin", &flash, rom_size(m)) || flash.size() != backup.size())
        return fail(dir + "/flash.bin is missing or not the size of the captured backup");
    std::vector<BlockEntry> nc;
    nc_ranges(backup, &nc);
    nc_ranges(flash, &nc);
    Landed l = last_run_commands(dir);
    uint32_t base = rom_base(m);
    unsigned counts[5] = {};
    bool boot_touched = false;
    std::printf("Last run against the captured backup (%s), block by block:\n", kCapturedBackup);
    std::printf("  #  address     size        kind                  last run    flash now\n");
    for (size_t i = 0; i < m.blocks.size(); ++i) {
        const BlockEntry& b = m.blocks[i];
        uint32_t off = b.address - base;
        std::string kind;
        for (const BlockEntry& r : nc)
            if (off >= r.address && off - r.address < r.size)
                kind = "non-critical";
        if (is_nvram_address(m, b.address))
            kind += std::string(kind.empty() ? "" : "+") + "NVRAM";
        if (is_boot_entry(m, i))
            kind += std::string(kind.empty() ? "" : "+") + "boot block";
        if (kind.empty())
            kind = "main";
        What what = block_fate(l, b);
        const char* names[5] = {"erased", "rewritten", "untouched", "partly written", "partly erased"};
        ++counts[what];
        boot_touched = boot_touched || (what != kUntouched && is_boot_entry(m, i));
        const char* now = "outside the flash";
        if (uint64_t(off) + b.size <= flash.size()) {
            bool same = std::memcmp(flash.data() + off, backup.data() + off, b.size) == 0;
            bool blank = flash.find_first_not_of('\xff', off) >= off + b.size;
            now = same ? "as in the backup" : blank ? "erased, differs from the backup" : "differs from the backup";
        }
        std::printf("%3zu  0x%08x  0x%08x  %-20s  %-10s  %s\n", i, b.address, b.size, kind.c_str(), names[what], now);
    }
    std::printf("%u erased, %u rewritten, ", counts[kErased], counts[kRewritten]);
    if (counts[kPartlyWritten] + counts[kPartlyErased])
        std::printf("%u partly written, %u partly erased, ", counts[kPartlyWritten], counts[kPartlyErased]);
    std::printf("%u untouched%s", counts[kUntouched], boot_touched ? "; the run erased or rewrote the boot block" : "");
    bool touched = !l.erased.empty() || !l.written.empty();
    if (l.cut)
        std::printf("; the power was cut while %s 0x%08x", l.cut_command == 0x22 ? "erasing" : "writing",
                    l.cut_address);
    else if (touched && !l.closed)
        std::printf("; the run was cut before it closed the flash interface");
    std::printf("\n");
    return 0;
}

} // namespace

int cmd_show(const std::vector<std::string>& args)
{
    if (args.empty())
        return fail("usage: zorvpc show DIR [layout|cmos|module|trace|changes|all]");
    Machine m;
    std::string err;
    if (!load_machine_dir(args[0], &m, &err))
        return fail(err);
    std::string what = args.size() > 1 ? args[1] : "all";
    bool all = what == "all";
    if (what == "changes")
        return show_changes(args[0], m);
    if (!all && what != "layout" && what != "cmos" && what != "module" && what != "trace")
        return fail("show: unknown part '" + what + "'");
    if (all || what == "layout")
        show_layout(args[0], m);
    if (all || what == "cmos")
        show_cmos(args[0]);
    if (all || what == "module")
        show_module(args[0], m);
    if (all || what == "trace")
        show_trace(args[0]);
    return 0;
}
