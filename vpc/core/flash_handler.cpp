#include "flash_handler.h"

#include <cstring>

#include "le.h"

namespace {

// The four host calls over the emulated machine. Offsets are checked by the core.
uint8_t* buffer_at(void* ctx, uint32_t phys)
{
    const FlashHandler* h = static_cast<const FlashHandler*>(ctx);
    if (phys == 0 || uint64_t(phys) + FW_PIECE > h->phys_size)
        return nullptr;
    return h->phys + phys;
}

void read_flash(void* ctx, uint32_t off, uint8_t* dst, uint32_t len)
{
    std::memcpy(dst, static_cast<FlashHandler*>(ctx)->flash + off, len);
}

int erase_flash(void* ctx, uint32_t off, uint32_t len)
{
    std::memset(static_cast<FlashHandler*>(ctx)->flash + off, 0xFF, len);
    return 1;
}

int program_flash(void* ctx, uint32_t off, const uint8_t* src, uint32_t len)
{
    uint8_t* dst = static_cast<FlashHandler*>(ctx)->flash + off;
    for (uint32_t i = 0; i < len; ++i)
        dst[i] &= src[i];
    return 1;
}

} // namespace

void flash_handler_init(FlashHandler* h, const Machine& m, uint8_t* phys, uint32_t phys_size, uint8_t* flash,
                        uint32_t param_phys, const FaultSet* faults)
{
    *h = FlashHandler{};
    h->phys = phys;
    h->phys_size = phys_size;
    h->flash = flash;
    h->param_phys = param_phys;
    h->faults = faults;
    h->core.rom_base = rom_base(m);
    h->core.rom_size = rom_size(m);
    h->core.blocks = m.blocks.data();
    h->core.block_count = uint32_t(m.blocks.size());
    h->core.faults = &faults->flash;
    h->core.host = {h, buffer_at, read_flash, erase_flash, program_flash};
}

SmiResult flash_smi(FlashHandler* h, uint8_t command)
{
    SmiResult r{};
    r.command = command;
    uint8_t* param = h->phys + h->param_phys;
    r.has_range = command == FW_CMD_READ || command == FW_CMD_ERASE || command == FW_CMD_WRITE;
    r.address = get_le32(param + FW_PARAM_ADDRESS);
    r.length = get_le32(param + FW_PARAM_LENGTH);
    bool counts = h->core.open || command == FW_CMD_OPEN;
    if (h->faults->power_loss && command == h->faults->power_loss_command && counts) {
        ++h->counted;
        if (h->counted == h->faults->power_loss) {
            r.power_loss = true;
            return r;
        }
    }
    r.status = fw_command(&h->core, command, param);
    r.ignored = r.status == FW_NOT_MINE;
    return r;
}
