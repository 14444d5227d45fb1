#include "twin.h"

#include <cstdio>
#include <cstring>

bool twin_machine(const FoundHeader& h, const FoundInfo& f, Machine* m, std::string* why)
{
    if (f.nvram_list_offset == 0) {
        // The description reads offset 0 as "right after the BlockTable".
        *why = format_text("the NvramList lies at offset 0 of the flash-info segment at 0x%05X, where the virtual PC "
                      "cannot lay it",
                      h.info_paragraph * 16);
        return false;
    }
    m->rom_kb = f.rom_kb;
    m->blocks.clear();
    for (size_t i = 0; i < f.block_address.size(); ++i)
        m->blocks.push_back({f.block_address[i], f.block_size[i]});
    m->boot_blocks = f.boot_blocks;
    m->nvram = f.nvram;
    m->smi_port = h.smi_port;
    m->header_pos = h.pos;
    m->param_offset = h.param_offset;
    m->info_paragraph = h.info_paragraph;
    m->info_ptr_offset = h.info_ptr_offset;
    m->info_record_offset = f.record_offset;
    m->block_table_offset = f.block_table_offset;
    m->nvram_list_offset = f.nvram_list_offset;
    return true;
}

bool backup_size(const Machine& m, uint64_t* size, std::string* why)
{
    uint32_t base = rom_base(m);
    *size = 0;
    for (size_t i = 0; i < m.blocks.size(); ++i) {
        const BlockEntry& b = m.blocks[i];
        if (b.address < base) {
            *why = format_text("block %zu at 0x%08X lies below RomBase 0x%08X: a backup has no place for it", i,
                          b.address, base);
            return false;
        }
        uint64_t end = uint64_t(b.address - base) + b.size;
        if (end > *size)
            *size = end;
    }
    if (*size != rom_size(m)) {
        *why = format_text("the BlockTable covers file offsets up to 0x%llX, not the whole %u KB ROM: a backup would %s",
                      static_cast<unsigned long long>(*size), m.rom_kb,
                      *size < rom_size(m) ? "miss the ROM ID in the ROM's last KB" : "reach past the ROM's end");
        return false;
    }
    return true;
}

std::string machine_text(const Machine& m, const std::string& origin)
{
    std::string t = "# Captured by zorvpc capture from " + origin + ".\n"
                    "# The BIOS records as the tool finds them; flash.bin is the tool's /o backup.\n";
    t += format_text("rom_kb = %u\n", m.rom_kb);
    for (const BlockEntry& b : m.blocks)
        t += format_text("block = 0x%x 0x%x\n", b.address, b.size);
    t += format_text("boot_blocks = %u\n", m.boot_blocks);
    if (m.nvram.empty())
        t += "nvram = none\n";
    for (uint32_t a : m.nvram)
        t += format_text("nvram = 0x%x\n", a);
    t += format_text("smi_port = 0x%x\nheader_pos = 0x%x\nparam_offset = 0x%x\n", m.smi_port, m.header_pos,
                m.param_offset);
    t += format_text("info_paragraph = 0x%x\ninfo_ptr_offset = 0x%x\ninfo_record_offset = 0x%x\n", m.info_paragraph,
                m.info_ptr_offset, m.info_record_offset);
    t += format_text("block_table_offset = 0x%x\nnvram_list_offset = 0x%x\n", m.block_table_offset,
                m.nvram_list_offset);
    // The ROM ID the flash holds; kept here only when the description can carry it as it is.
    size_t n = strnlen(m.rom_id, 8);
    bool plain = n > 0 && m.rom_id[0] != ' ' && m.rom_id[n - 1] != ' ';
    for (size_t i = 0; i < n; ++i)
        plain = plain && m.rom_id[i] > ' ' - 1 && m.rom_id[i] < 127 && m.rom_id[i] != '#';
    if (plain)
        t += format_text("rom_id = %.8s\n", m.rom_id);
    t += format_text("module_installed = %d\n", m.module_installed ? 1 : 0);
    return t;
}
