#include "records.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "flash/commands.h"
#include "flash/layout.h"
#include "flash/le.h"
#include "platform/physmem.h"

std::string format_text(const char* fmt, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return text;
}

namespace {

bool fits(uint64_t offset, uint64_t length, uint32_t len) { return offset + length <= len; }

// Why read_flash_info refused the window: the first record or table that does not fit.
std::string info_refusal(const uint8_t* info, uint32_t len, uint32_t seg, uint32_t ptr)
{
    if (!fits(ptr, 4, len))
        return format_text("the word at +0x%X that holds the FlashInfoRecord's offset runs past the flash-info "
                      "segment at 0x%05X", ptr, seg);
    uint32_t rec = le32(info + ptr);
    if (!fits(rec, INFO_RECORD_SIZE, len))
        return format_text("the FlashInfoRecord at +0x%X (word at +0x%X) runs past the flash-info segment at 0x%05X",
                      rec, ptr, seg);
    uint32_t table = le16(info + rec + INFO_BLOCK_TABLE), nvram = le16(info + rec + INFO_NVRAM_LIST);
    if (!fits(table, 4, len))
        return format_text("the BlockTable at +0x%X runs past the flash-info segment at 0x%05X", table, seg);
    if (!fits(nvram, 2, len))
        return format_text("the NvramList at +0x%X runs past the flash-info segment at 0x%05X", nvram, seg);
    uint32_t n = le16(info + table), b = le16(info + table + 2), m = le16(info + nvram);
    if (b > n)
        return format_text("the BlockTable at 0x%05X counts %u boot-block entries but has only %u entries",
                      seg + table, b, n);
    if (!fits(table + 4, uint64_t(n) * 8, len))
        return format_text("the BlockTable at 0x%05X with %u entries runs past the flash-info segment's end at 0x%05X",
                      seg + table, n, seg + len);
    return format_text("the NvramList at 0x%05X with %u entries runs past the flash-info segment's end at 0x%05X",
                  seg + nvram, m, seg + len);
}

} // namespace

bool capture_header(const uint8_t* seg, uint32_t len, FoundHeader* h, std::string* why)
{
    int pos = find_flash_header(seg, len);
    if (pos < 0) {
        *why = format_text("no \"$QZX\" header in the system BIOS segment (searched 0x%05X to 0x%05X): this BIOS "
                      "describes no flash interface",
                      BIOS_SEGMENT, BIOS_SEGMENT + SIGNATURE_LAST_POSITION);
        return false;
    }
    uint32_t at = uint32_t(pos);
    if (!header_in_window(seg, len, at)) {
        if (!fits(at, HEADER_SIZE, len))
            *why = format_text("\"$QZX\" at 0x%05X: its %u-byte header runs past the segment's end at 0x%05X",
                          BIOS_SEGMENT + at, HEADER_SIZE, BIOS_SEGMENT + len);
        else
            *why = format_text("\"$QZX\" at 0x%05X: its FlashParamBlock at +0x%X runs past the segment's end at 0x%05X",
                          BIOS_SEGMENT + at, seg[at + HEADER_PARAM_OFFSET], BIOS_SEGMENT + len);
        return false;
    }
    h->pos = at;
    h->param_offset = seg[at + HEADER_PARAM_OFFSET];
    h->info_ptr_offset = le16(seg + at + HEADER_INFO_POINTER);
    h->info_paragraph = le16(seg + at + HEADER_INFO_PARAGRAPH);
    h->smi_port = le16(seg + at + HEADER_SMI_PORT);
    return true;
}

bool capture_info(const uint8_t* info, uint32_t len, const FoundHeader& h, FoundInfo* f, std::string* why)
{
    uint32_t seg = h.info_paragraph * 16;
    if (!read_flash_info(info, len, uint16_t(h.info_ptr_offset))) {
        *why = info_refusal(info, len, seg, h.info_ptr_offset);
        return false;
    }
    f->record_offset = le32(info + h.info_ptr_offset);
    f->block_table_offset = uint32_t(block_table - info);
    f->nvram_list_offset = uint32_t(nvram_list - info);
    if (rom_size == 0) {
        *why = format_text("the FlashInfoRecord at 0x%05X gives a ROM size of 0 KB", seg + f->record_offset);
        return false;
    }
    if (block_count() == 0) {
        *why = format_text("the BlockTable at 0x%05X has no entries: there is no block to save or rehearse",
                      seg + f->block_table_offset);
        return false;
    }
    f->rom_kb = rom_size / 1024;
    f->block_address.clear();
    f->block_size.clear();
    for (uint32_t i = 0; i < block_count(); ++i) {
        f->block_address.push_back(block_address(i));
        f->block_size.push_back(block_size(i));
    }
    f->boot_blocks = boot_block_count();
    f->nvram.clear();
    for (uint32_t i = 0; i < nvram_count(); ++i)
        f->nvram.push_back(le32(nvram_list + 2 + i * 8));
    return true;
}
