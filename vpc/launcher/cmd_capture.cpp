// zorvpc capture DIR --flash BACKUP: a twin of this PC. The BIOS records are read through
// /dev/mem, opened for reading only and mapped PROT_READ; nothing else of the platform is
// touched: no I/O privilege, no port, no SMI, no module, no node.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "launcher.h"
#include "twin.h"

namespace {

constexpr uint32_t kBiosPhys = 0xF0000;
constexpr uint32_t kWindow = 0xFFFF;  // both windows, as the tool maps them

// A copy of [phys, phys + len) through the enclosing pages of mem.
bool read_window(std::FILE* mem, uint32_t phys, uint32_t len, std::vector<uint8_t>* out)
{
    uint32_t page = uint32_t(sysconf(_SC_PAGESIZE));
    uint32_t start = phys & ~(page - 1);
    size_t span = phys - start + size_t(len);
    void* p = mmap(nullptr, span, PROT_READ, MAP_SHARED, fileno(mem), off_t(start));
    if (p == MAP_FAILED)
        return false;
    const uint8_t* at = static_cast<const uint8_t*>(p) + (phys - start);
    out->assign(at, at + len);
    munmap(p, span);
    return true;
}

bool dir_in_use(const std::string& dir)
{
    DIR* d = opendir(dir.c_str());
    if (!d)
        return errno != ENOENT;
    bool used = false;
    while (dirent* e = readdir(d))
        used = used || (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0);
    closedir(d);
    return used;
}

// The module comes from the module tree on this PC when the tree lists it (a run from any
// directory then loads it by name); otherwise only from the working directory.
bool module_in_tree()
{
    utsname u;
    std::string dep;
    return uname(&u) == 0 && read_file(std::string("/lib/modules/") + u.release + "/modules.dep", &dep) &&
           dep.find("/zorfldrv_mod.ko") != std::string::npos;
}

bool same_records(const Machine& a, const Machine& b)
{
    bool same = a.rom_kb == b.rom_kb && a.blocks.size() == b.blocks.size() && a.boot_blocks == b.boot_blocks &&
                a.nvram == b.nvram && a.smi_port == b.smi_port && a.header_pos == b.header_pos &&
                a.param_offset == b.param_offset && a.info_paragraph == b.info_paragraph &&
                a.info_ptr_offset == b.info_ptr_offset && a.info_record_offset == b.info_record_offset &&
                a.block_table_offset == b.block_table_offset && a.nvram_list_offset == b.nvram_list_offset;
    for (size_t i = 0; same && i < a.blocks.size(); ++i)
        same = a.blocks[i].address == b.blocks[i].address && a.blocks[i].size == b.blocks[i].size;
    return same;
}

} // namespace

int cmd_capture(const std::vector<std::string>& args)
{
    const std::string usage = "usage: zorvpc capture DIR --flash BACKUP";
    if (args.size() != 3 || args[1] != "--flash")
        return fail(usage);
    const std::string& dir = args[0];
    const std::string& backup_name = args[2];
    if (dir_in_use(dir))
        return fail("capture: " + dir + " exists and is not empty: a twin goes into a new directory");

    // Bounded: a backup is a regular file no larger than the largest ROM the records can give.
    struct stat st;
    if (stat(backup_name.c_str(), &st) != 0)
        return fail("capture: cannot read the backup " + backup_name + ": " + std::strerror(errno));
    std::string backup;
    if (!read_file(backup_name, &backup, 0xFFFFull * 1024))
        return fail("capture: " + backup_name + " is not a backup: not a regular file of at most 65535 KB");

    std::FILE* mem = std::fopen("/dev/mem", "r");
    if (!mem)
        return fail(std::string("capture: cannot open /dev/mem for reading: ") + std::strerror(errno) +
                    " (capture runs as root on the PC to be twinned)");
    std::vector<uint8_t> bios, info;
    bool bios_ok = read_window(mem, kBiosPhys, kWindow, &bios);
    FoundHeader h{};
    std::string why;
    bool header_ok = bios_ok && capture_header(bios.data(), kWindow, &h, &why);
    bool info_ok = header_ok && read_window(mem, h.info_paragraph * 16, kWindow, &info);
    std::fclose(mem);
    if (!bios_ok)
        return fail("capture: cannot map the system BIOS segment at 0xF0000 of /dev/mem");
    if (!header_ok)
        return fail("capture: " + why);
    if (!info_ok) {
        char at[64];
        std::snprintf(at, sizeof at, "0x%05X (paragraph 0x%04X)", h.info_paragraph * 16, h.info_paragraph);
        return fail(std::string("capture: cannot map the flash-info segment at ") + at + " of /dev/mem");
    }

    Machine m;
    std::string err;
    parse_machine(kDefaultMachine, &m, &err);
    FoundInfo found;
    if (!capture_info(info.data(), kWindow, h, &found, &why) || !twin_machine(h, found, &m, &why))
        return fail("capture: " + why);
    uint64_t want = 0;
    if (!backup_size(m, &want, &why))
        return fail("capture: " + why);
    if (backup.size() != want)
        return fail("capture: " + backup_name + " is " + std::to_string(backup.size()) + " bytes, but this BIOS's " +
                    std::to_string(m.rom_kb) + " KB ROM makes a backup of " + std::to_string(want) +
                    " bytes: it is not this PC's /o backup");
    std::memset(m.rom_id, 0, sizeof m.rom_id);
    std::memcpy(m.rom_id, backup.data() + backup.size() - 32, 8);
    m.module_installed = module_in_tree();

    std::string text = machine_text(m, "this PC");
    Machine twin;
    if (!parse_machine(text, &twin, &err))
        return fail("capture: the virtual PC cannot lay these records: " + err);
    if (!same_records(m, twin))
        return fail("capture: the description does not give back the records it was made from");
    std::vector<uint8_t> flash(backup.begin(), backup.end());
    if (!write_state_dir(dir, text, twin, flash) ||
        !write_file(dir + "/" + kCapturedBackup, backup.data(), backup.size()))
        return 2;
    std::printf("Twin %s: %u KB ROM at RomBase 0x%08X, %zu blocks (%u boot block), %zu NVRAM, "
                "\"$QZX\" at 0x%05X, flash info at 0x%05X, SMI port 0x%X, ROM ID \"%.8s\"\n",
                dir.c_str(), twin.rom_kb, rom_base(twin), twin.blocks.size(), twin.boot_blocks,
                twin.nvram.size(), kBiosPhys + twin.header_pos, twin.info_paragraph * 16, twin.smi_port,
                twin.rom_id);
    return 0;
}
