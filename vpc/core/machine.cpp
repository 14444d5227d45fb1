#include "machine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "numparse.h"

const char* const kDefaultMachine =
    "# The default machine: a sound 512 KB BIOS at RomBase 0x80000.\n"
    "# No block lines: the layout is generated for rom_kb (64 KB main blocks,\n"
    "# two 32 KB NVRAM blocks at 0xE0000 and 0xE8000, and a boot block of two\n"
    "# 32 KB entries at 0xF0000 and 0xF8000, last in the table).\n"
    "rom_kb = 512\n"
    "smi_port = 0xb2\n"
    "header_pos = 0x5a40\n"
    "param_offset = 0x10\n"
    "info_paragraph = 0xe000\n"
    "info_ptr_offset = 0x10\n"
    "info_record_offset = 0x100\n"
    "block_table_offset = 0x200\n"
    "rom_id = ZX512A01\n"
    "module_major = 254\n"
    "module_loaded = 0\n"
    "module_installed = 0\n"
    "flash_seed = 1\n";

const char* const kMachineHelp =
    "  rom_kb = KB                ROM size in KB, 1..65535 (the BIOS field is 16 bits)\n"
    "  block = ADDR SIZE          one BlockTable entry, in table order (repeat)\n"
    "  blocks = ADDR SIZE COUNT   COUNT entries of SIZE from ADDR upwards\n"
    "  block = none               forget the entries given so far\n"
    "                             no block lines at all: a layout is generated for\n"
    "                             rom_kb >= 128: 64 KB main blocks, two 32 KB NVRAM\n"
    "                             blocks, then two 32 KB boot blocks at the top\n"
    "  boot_blocks = B            the last B entries form the boot block (default 2)\n"
    "  nvram = ADDR               one NvramList entry (repeat); nvram = none: empty list\n"
    "                             (default with a generated layout: its two NVRAM blocks)\n"
    "  smi_port = PORT            SMI command port, any 16-bit port but 0x70/0x71 (0xb2)\n"
    "  header_pos = POS           byte of \"$QZX\" in the 0xF0000 segment (0x5a40)\n"
    "  param_offset = OFF         header byte 4: FlashParamBlock offset from the header (0x10)\n"
    "  info_paragraph = PARA      flash-info segment paragraph, need not be page aligned (0xe000)\n"
    "  info_ptr_offset = OFF      header bytes 8-9: where the record offset word sits (0x10)\n"
    "  info_record_offset = OFF   FlashInfoRecord offset in the segment (0x100)\n"
    "  block_table_offset = OFF   BlockTable offset in the segment (0x200)\n"
    "  nvram_list_offset = OFF    NvramList offset (default: after the BlockTable)\n"
    "  rom_id = TEXT              up to 8 characters at ROM size - 32 (ZX512A01)\n"
    "  module_major = M           major number of the zorfldrv module (254)\n"
    "  module_loaded = 0|1        module already loaded when the machine is created (0)\n"
    "  module_installed = 0|1     module installed in the module tree, so that\n"
    "                             \"modprobe zorfldrv_mod\" loads it by name (0); insmod\n"
    "                             always needs the file in the working directory\n"
    "  flash_seed = N             seed of the initial flash contents (1)\n"
    "  cmos_seed = N              seed of the initial CMOS contents (1)\n"
    "  signature_at = POS         same as header_pos, but the header is cut at 0xFFFFF\n"
    "                             and the parameter block moves onto the header when\n"
    "                             it would not fit behind it\n"
    "  fault = KEY[=VALUE]        a fault that holds for every run (see FAULTS);\n"
    "                             a fault key may also be written as KEY = VALUE\n"
    "  Numbers: decimal or 0x hex, with an optional K or M suffix.\n";

uint32_t rom_size(const Machine& m) { return m.rom_kb * 1024u; }

uint32_t rom_base(const Machine& m)
{
    uint32_t s = rom_size(m);
    return s <= 0x100000 ? 0x100000 - s : 0;
}

bool is_boot_entry(const Machine& m, size_t index)
{
    return index + m.boot_blocks >= m.blocks.size() && index < m.blocks.size();
}

bool is_nvram_address(const Machine& m, uint32_t address)
{
    return std::find(m.nvram.begin(), m.nvram.end(), address) != m.nvram.end();
}

std::vector<std::pair<uint32_t, uint32_t>> boot_spans(const Machine& m)
{
    std::vector<std::pair<uint32_t, uint32_t>> spans;
    if (m.boot_blocks > m.blocks.size())
        return spans;
    for (size_t i = m.blocks.size() - m.boot_blocks; i < m.blocks.size(); ++i)
        spans.push_back({m.blocks[i].address - rom_base(m), m.blocks[i].size});
    std::stable_sort(spans.begin(), spans.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return spans;
}

void boot_region(const Machine& m, uint32_t* file_offset, uint32_t* length)
{
    auto spans = boot_spans(m);
    *file_offset = spans.empty() ? 0 : spans[0].first;
    *length = 0;
    for (const auto& s : spans)
        *length += s.second;
}

HeaderPlace header_place(const Machine& m, const FaultSet& run)
{
    HeaderPlace hp;
    int pos = int(m.header_pos);
    if (m.faults.signature_at >= 0)
        pos = m.faults.signature_at;
    if (run.signature_at >= 0)
        pos = run.signature_at;
    hp.param_offset = m.param_offset;
    // A header so close to the segment end that no parameter block fits
    // behind it gets one that starts on the header itself (offset 0).
    if (uint32_t(pos) + m.param_offset + kParamBlockSize > kSegmentSize)
        hp.param_offset = 0;
    hp.param_phys = kBiosSegment + uint32_t(pos) + hp.param_offset;
    hp.header = (m.faults.no_signature || run.no_signature) ? -1 : pos;
    return hp;
}

namespace {

std::string trim(const std::string& s)
{
    size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos)
        return "";
    size_t b = s.find_last_not_of(" \t\r");
    return s.substr(a, b - a + 1);
}

// Splits on blanks.
std::vector<std::string> words(const std::string& s)
{
    std::vector<std::string> out;
    std::istringstream in(s);
    std::string w;
    while (in >> w)
        out.push_back(w);
    return out;
}

bool num(const std::string& s, uint32_t* out) { return parse_u32(s.c_str(), out); }

struct Ranges {
    struct R {
        uint32_t start, len;
        const char* what;
    };
    std::vector<R> list;
    // Adds a range; reports the first overlap with one already added.
    bool add(uint32_t start, uint32_t len, const char* what, std::string* err)
    {
        for (const R& r : list)
            if (start < r.start + r.len && r.start < start + len) {
                *err = std::string(what) + " overlaps " + r.what;
                return false;
            }
        list.push_back({start, len, what});
        return true;
    }
};

void generate_layout(Machine* m, bool gen_nvram)
{
    uint32_t size = rom_size(*m), base = rom_base(*m);
    uint32_t top = size - 0x20000;
    for (uint32_t off = 0; off < top; off += 0x10000)
        m->blocks.push_back({base + off, std::min<uint32_t>(0x10000, top - off)});
    m->blocks.push_back({base + top, 0x8000});
    m->blocks.push_back({base + top + 0x8000, 0x8000});
    m->blocks.push_back({base + top + 0x10000, 0x8000});
    m->blocks.push_back({base + top + 0x18000, 0x8000});
    if (gen_nvram) {
        m->nvram.push_back(base + top);
        m->nvram.push_back(base + top + 0x8000);
    }
}

bool validate(Machine* m, std::string* err)
{
    if (m->rom_kb == 0 || m->rom_kb > 0xFFFF) {
        *err = "rom_kb must be 1..65535";
        return false;
    }
    // Blocks outside the flash are allowed: a BIOS may describe them, and the
    // flash handler then refuses every command on them.
    if (m->boot_blocks > m->blocks.size()) {
        *err = "boot_blocks is larger than the number of blocks";
        return false;
    }
    if (m->smi_port > 0xFFFF || m->smi_port == 0x70 || m->smi_port == 0x71) {
        *err = "smi_port must be a 16-bit port other than 0x70 and 0x71";
        return false;
    }
    if (m->header_pos > 0xFFFF || m->param_offset > 0xFF || m->info_paragraph > 0xFFFF ||
        m->info_ptr_offset > 0xFFFF) {
        *err = "header_pos, info_paragraph, info_ptr_offset are 16-bit, param_offset 8-bit";
        return false;
    }
    if (m->faults.signature_at < 0 && m->header_pos + m->param_offset + kParamBlockSize > kSegmentSize) {
        *err = "header_pos + param_offset leaves no room for the FlashParamBlock in the segment";
        return false;
    }
    if (m->module_major == 0 || m->module_major > 4095) {
        *err = "module_major must be 1..4095";
        return false;
    }
    if (m->nvram_list_offset == 0)
        m->nvram_list_offset = (m->block_table_offset + 4 + 8 * uint32_t(m->blocks.size()) + 15) & ~15u;

    // Everything the BIOS writes into memory must fit its segment and not collide.
    uint32_t info = m->info_paragraph * 16;
    struct Item {
        uint32_t off, len;
        const char* what;
    } items[] = {
        {m->info_ptr_offset, 4, "the info pointer word"},
        {m->info_record_offset, 14, "the FlashInfoRecord"},
        {m->block_table_offset, 4 + 8 * uint32_t(m->blocks.size()), "the BlockTable"},
        {m->nvram_list_offset, 2 + 8 * uint32_t(m->nvram.size()), "the NvramList"},
    };
    Ranges used;
    FaultSet none;
    faults_clear(&none);
    HeaderPlace hp = header_place(*m, none);
    if (hp.header >= 0) {
        uint32_t hlen = std::min<uint32_t>(kHeaderSize, kSegmentSize - uint32_t(hp.header));
        used.add(kBiosSegment + uint32_t(hp.header), hlen, "the $QZX header", err);
        if (hp.param_offset >= kHeaderSize &&
            !used.add(hp.param_phys, kParamBlockSize, "the FlashParamBlock", err))
            return false;
    }
    for (const Item& it : items) {
        if (uint64_t(it.off) + it.len > 0xFFFF) {
            *err = std::string(it.what) + " does not fit the flash-info segment";
            return false;
        }
        if (!used.add(info + it.off, it.len, it.what, err))
            return false;
    }
    return true;
}

} // namespace

bool parse_machine(const std::string& text, Machine* m, std::string* err)
{
    *m = Machine{};
    m->rom_kb = 512;
    m->boot_blocks = 2;
    m->smi_port = 0xB2;
    m->header_pos = 0x5A40;
    m->param_offset = 0x10;
    m->info_paragraph = 0xE000;
    m->info_ptr_offset = 0x10;
    m->info_record_offset = 0x100;
    m->block_table_offset = 0x200;
    m->nvram_list_offset = 0;
    std::memcpy(m->rom_id, "ZX512A01", 9);
    m->module_major = 254;
    m->flash_seed = 1;
    m->cmos_seed = 1;
    faults_clear(&m->faults);

    bool blocks_given = false, nvram_given = false;
    std::istringstream in(text);
    std::string line;
    int lineno = 0;
    while (std::getline(in, line)) {
        ++lineno;
        std::string t = trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        size_t hash = t.find(" #");
        if (hash != std::string::npos)
            t = trim(t.substr(0, hash));
        size_t eq = t.find('=');
        std::string where = "line " + std::to_string(lineno) + ": ";
        if (eq == std::string::npos) {
            *err = where + "expected KEY = VALUE";
            return false;
        }
        std::string key = trim(t.substr(0, eq)), value = trim(t.substr(eq + 1));
        std::vector<std::string> w = words(value);
        uint32_t v = 0;
        bool ok = true;
        bool single = w.size() == 1 && num(w[0], &v);
        if (key == "rom_kb") ok = single, m->rom_kb = v;
        else if (key == "boot_blocks") ok = single, m->boot_blocks = v;
        else if (key == "smi_port") ok = single, m->smi_port = v;
        else if (key == "header_pos") ok = single, m->header_pos = v;
        else if (key == "param_offset") ok = single, m->param_offset = v;
        else if (key == "info_paragraph") ok = single, m->info_paragraph = v;
        else if (key == "info_ptr_offset") ok = single, m->info_ptr_offset = v;
        else if (key == "info_record_offset") ok = single, m->info_record_offset = v;
        else if (key == "block_table_offset") ok = single, m->block_table_offset = v;
        else if (key == "nvram_list_offset") ok = single, m->nvram_list_offset = v;
        else if (key == "module_major") ok = single, m->module_major = v;
        else if (key == "module_loaded") ok = single && v <= 1, m->module_loaded = v == 1;
        else if (key == "module_installed") ok = single && v <= 1, m->module_installed = v == 1;
        else if (key == "flash_seed") ok = single, m->flash_seed = v;
        else if (key == "cmos_seed") ok = single, m->cmos_seed = v;
        else if (key == "rom_id") {
            ok = value.size() <= 8;
            std::memset(m->rom_id, 0, sizeof m->rom_id);
            std::memcpy(m->rom_id, value.data(), std::min<size_t>(value.size(), 8));
        } else if (key == "block" || key == "blocks") {
            blocks_given = true;
            if (w.size() == 1 && w[0] == "none") {
                m->blocks.clear();
                continue;
            }
            uint32_t addr, size, count = 1;
            ok = w.size() == (key == "block" ? 2u : 3u) && num(w[0], &addr) && num(w[1], &size) &&
                 (w.size() == 2 || num(w[2], &count)) && count <= 8192;
            for (uint32_t i = 0; ok && i < count; ++i)
                m->blocks.push_back({addr + i * size, size});
        } else if (key == "nvram") {
            nvram_given = true;
            if (w.size() == 1 && w[0] == "none")
                m->nvram.clear();
            else if ((ok = single))
                m->nvram.push_back(v);
        } else if (key == "fault") {
            char e[96];
            if (!fault_apply(&m->faults, value.c_str(), e, sizeof e)) {
                *err = where + e;
                return false;
            }
        } else {
            // A fault key written as a description key.
            std::string f = key + "=" + value;
            char e[96];
            if (!fault_apply(&m->faults, f.c_str(), e, sizeof e)) {
                *err = where + (std::strncmp(e, "unknown", 7) == 0 ? "unknown key '" + key + "'" : std::string(e));
                return false;
            }
        }
        if (!ok) {
            *err = where + "bad value for '" + key + "'";
            return false;
        }
    }
    if (!blocks_given) {
        if (m->rom_kb < 128 || m->rom_kb > 0xFFFF) {
            *err = "rom_kb below 128 needs block lines";
            return false;
        }
        generate_layout(m, !nvram_given);
    }
    return validate(m, err);
}
