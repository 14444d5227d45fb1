#include "flash_handler.h"

#include <cstring>

#include "le.h"

uint32_t word_checksum(const uint8_t* p, uint32_t len)
{
    uint32_t s = 0;
    for (uint32_t i = 0; i + 4 <= len; i += 4)
        s += get_le32(p + i);
    return ~s;
}

namespace {

constexpr uint32_t kPiece = 1024;

// Flash offset of [address, address + len) or -1 when not inside the flash.
int64_t flash_offset(const FlashHandler* h, uint32_t address, uint32_t len)
{
    if (address < h->rom_base)
        return -1;
    uint64_t off = uint64_t(address) - h->rom_base;
    if (off + len > h->flash_size)
        return -1;
    return int64_t(off);
}

uint8_t* buffer(const FlashHandler* h, uint8_t* param)
{
    uint32_t b = get_le32(param);
    if (b == 0 || uint64_t(b) + kPiece > h->phys_size)
        return nullptr;
    return h->phys + b;
}

bool is_table_block(const FlashHandler* h, uint32_t address, uint32_t len)
{
    for (uint32_t i = 0; i < h->block_count; ++i)
        if (h->blocks[i].address == address && h->blocks[i].size == len)
            return true;
    return false;
}

uint8_t do_read(FlashHandler* h, uint8_t* param, uint32_t address, uint32_t len)
{
    uint8_t* buf = buffer(h, param);
    int64_t off = flash_offset(h, address, len);
    if (len != kPiece)
        return kStatusBadLength;
    if (off < 0)
        return kStatusBadAddress;
    if (!buf)
        return kStatusBadBuffer;
    if (fault_hits(h->faults->read_fail, address, len))
        return kStatusDeviceError;
    std::memcpy(buf, h->flash + off, kPiece);
    uint32_t sum = word_checksum(buf, kPiece);
    if (fault_hits(h->faults->read_badsum, address, len))
        sum ^= 0x00010001;
    put_le32(param + 12, sum);
    return kStatusOk;
}

uint8_t do_erase(FlashHandler* h, uint32_t address, uint32_t len)
{
    int64_t off = flash_offset(h, address, len);
    if (off < 0 || len == 0)
        return kStatusBadAddress;
    if (!is_table_block(h, address, len))
        return kStatusBadLength;
    if (fault_hits(h->faults->erase_fail, address, len))
        return kStatusDeviceError;
    std::memset(h->flash + off, 0xFF, len);
    return kStatusOk;
}

uint8_t do_write(FlashHandler* h, uint8_t* param, uint32_t address, uint32_t len)
{
    uint8_t* buf = buffer(h, param);
    int64_t off = flash_offset(h, address, len);
    if (len != kPiece)
        return kStatusBadLength;
    if (off < 0)
        return kStatusBadAddress;
    if (!buf)
        return kStatusBadBuffer;
    if (get_le32(param + 12) != word_checksum(buf, kPiece))
        return kStatusBadChecksum;
    if (fault_hits(h->faults->write_fail, address, len))
        return kStatusDeviceError;
    uint8_t* dst = h->flash + off;
    for (uint32_t i = 0; i < kPiece; ++i)
        dst[i] &= buf[i];
    // A flash that silently stores a wrong byte: guarantee the piece differs.
    if (fault_hits(h->faults->write_corrupt, address, len) && std::memcmp(dst, buf, kPiece) == 0)
        dst[0] ^= 0x01;
    return kStatusOk;
}

} // namespace

SmiResult flash_smi(FlashHandler* h, uint8_t command)
{
    SmiResult r{};
    r.command = command;
    uint8_t* param = h->phys + h->param_phys;
    uint32_t address = get_le32(param + 4), len = get_le32(param + 8);
    uint8_t status;
    switch (command) {
    case kSmiOpen:
        status = h->faults->open_status >= 0 ? uint8_t(h->faults->open_status) : uint8_t(kStatusOk);
        if (status != kStatusRefused)
            h->open = true;
        break;
    case kSmiClose:
        if (!h->open) {
            status = kStatusNotOpen;
            break;
        }
        status = h->faults->close_status >= 0 ? uint8_t(h->faults->close_status) : uint8_t(kStatusOk);
        if (status == kStatusOk)
            h->open = false;
        break;
    case kSmiRead:
    case kSmiErase:
    case kSmiWrite:
        r.has_range = true;
        r.address = address;
        r.length = len;
        if (!h->open) {
            status = kStatusNotOpen;
            break;
        }
        if (command == kSmiRead) {
            status = do_read(h, param, address, len);
        } else if (command == kSmiErase) {
            status = do_erase(h, address, len);
        } else {
            ++h->writes;
            if (h->faults->power_loss && h->writes == h->faults->power_loss) {
                r.power_loss = true;
                return r;
            }
            status = do_write(h, param, address, len);
        }
        break;
    default:
        status = kStatusBadCommand;
        break;
    }
    param[16] = status;
    r.status = status;
    return r;
}
