#include "faults.h"

#include <cstdio>
#include <cstring>

#include "numparse.h"

void faults_clear(FaultSet* f)
{
    std::memset(f, 0, sizeof *f);
    f->signature_at = -1;
    f->battery = f->ac = f->device_battery = -1;
    f->power_loss_command = 0x23;  // a bare power_loss counts writes
}

namespace {

bool set_bool(bool* slot, const char* value)
{
    if (!value || std::strcmp(value, "1") == 0) {
        *slot = true;
        return true;
    }
    if (std::strcmp(value, "0") == 0) {
        *slot = false;
        return true;
    }
    return false;
}

// node: the transfer buffer mapped through the node, which only munmap can be told to keep.
bool set_window(uint32_t* mask, const char* value, bool node_too)
{
    if (!value)
        return false;
    if (node_too && std::strcmp(value, "node") == 0)
        *mask |= kWindowNode;
    else if (std::strcmp(value, "bios") == 0)
        *mask |= kWindowBios;
    else if (std::strcmp(value, "info") == 0)
        *mask |= kWindowInfo;
    else if (std::strcmp(value, "both") == 0)
        *mask |= kWindowBios | kWindowInfo;
    else if (std::strcmp(value, "none") == 0)
        *mask = 0;
    else
        return false;
    return true;
}

bool add_addr(fw_addrs* list, const char* value)
{
    uint32_t a;
    if (!value || !parse_u32(value, &a) || list->count >= FW_MAX_FAULT_ADDRS)
        return false;
    list->addr[list->count++] = a;
    return true;
}

// NAME:N:OTHER, both names last parts of a path.
bool set_file_change(FaultSet* f, int how, const char* value)
{
    const char* c1 = value ? std::strchr(value, ':') : nullptr;
    const char* c2 = c1 ? std::strchr(c1 + 1, ':') : nullptr;
    if (!c2 || c1 == value || size_t(c1 - value) >= sizeof f->file_change_name || !c2[1] ||
        std::strlen(c2 + 1) >= sizeof f->file_change_other || std::memchr(value, '/', size_t(c1 - value)) ||
        std::strchr(c2 + 1, '/'))
        return false;
    char count[16];
    if (size_t(c2 - c1 - 1) >= sizeof count)
        return false;
    std::memcpy(count, c1 + 1, size_t(c2 - c1 - 1));
    count[c2 - c1 - 1] = '\0';
    if (!parse_u32(count, &f->file_change_at))
        return false;
    std::memcpy(f->file_change_name, value, size_t(c1 - value));
    f->file_change_name[c1 - value] = '\0';
    std::strcpy(f->file_change_other, c2 + 1);
    f->file_change = how;
    return true;
}

bool set_status(uint32_t* slot, const char* value)
{
    uint32_t v;
    if (!value || !parse_u32(value, &v) || v > 255)
        return false;
    *slot = v;
    return true;
}

// "N:SIG": a count from 1 and a signal number other than 9 (the test would lose its process).
bool set_count_signal(const char* value, uint32_t* count, uint32_t* sig)
{
    const char* colon = value ? std::strchr(value, ':') : nullptr;
    char n[32];
    if (!colon || size_t(colon - value) >= sizeof n)
        return false;
    std::memcpy(n, value, size_t(colon - value));
    n[colon - value] = '\0';
    return parse_u32(n, count) && *count > 0 && parse_u32(colon + 1, sig) && *sig > 0 && *sig < 65 && *sig != 9;
}

// "WORD:" at the start of value: the rest, else null.
const char* after_word(const char* value, const char* word)
{
    size_t n = std::strlen(word);
    return value && !std::strncmp(value, word, n) && value[n] == ':' ? value + n + 1 : nullptr;
}

// An "open:", "read:", "erase:", "write:" or "close:" at the start of value names the SMI
// command a fault counts, else write; returns the rest.
const char* smi_command(const char* value, uint8_t* command)
{
    const char* const commands[] = {"open", "read", "erase", "write", "close"};
    *command = 0x23;
    for (int i = 0; i < 5; ++i)
        if (const char* rest = after_word(value, commands[i])) {
            *command = uint8_t(0x20 + i);
            return rest;
        }
    return value;
}

// [open|read|erase|write|close:]N:SIG; a bare N:SIG counts write commands.
bool set_smi_signal(FaultSet* f, const char* value)
{
    return set_count_signal(smi_command(value, &f->signal_command), &f->signal_at, &f->signal_number);
}

// NAME:read|write:N:SIG
bool set_file_signal(FaultSet* f, const char* value)
{
    const char* colon = value ? std::strchr(value, ':') : nullptr;
    if (!colon || colon == value || size_t(colon - value) >= sizeof f->signal_file)
        return false;
    const char* rest = after_word(colon + 1, "read");
    f->signal_file_write = rest == nullptr;
    if (!rest)
        rest = after_word(colon + 1, "write");
    if (!rest || !set_count_signal(rest, &f->signal_file_at, &f->signal_file_number))
        return false;
    std::memcpy(f->signal_file, value, size_t(colon - value));
    f->signal_file[colon - value] = '\0';
    return true;
}

// FUNC:N:SIG, FUNC one of the platform calls the library stands in for.
bool set_call_signal(FaultSet* f, const char* value)
{
    static const char* const calls[] = {"open", "close", "fopen", "fclose", "fstat", "lstat", "mkdir", "mmap",
                                        "munmap", "ioctl", "mknod", "remove", "iopl", "fsync", "fflush", "system"};
    for (const char* c : calls)
        if (const char* rest = after_word(value, c)) {
            std::strcpy(f->signal_call, c);
            return set_count_signal(rest, &f->signal_call_at, &f->signal_call_number);
        }
    return false;
}

bool set_name(char* slot, size_t size, const char* value)
{
    if (!value || !*value || std::strlen(value) >= size || std::strchr(value, '/'))
        return false;
    std::strcpy(slot, value);
    return true;
}

bool hits(const fw_addrs& list, uint32_t address, uint32_t length)
{
    for (uint32_t i = 0; i < list.count && i < FW_MAX_FAULT_ADDRS; ++i)
        if (list.addr[i] - address < length)
            return true;
    return false;
}

} // namespace

const char* flash_fault_fired(const fw_faults& f, uint8_t command, uint32_t address, uint32_t length, uint8_t status)
{
    // The handler answers 7 only for an injected failure, and 0 when a silent fault struck.
    bool failed = status == FW_DEVICE_ERROR, ok = status == FW_OK;
    if (command == FW_CMD_READ)
        return failed && hits(f.read_fail, address, length)   ? "read_fail"
               : ok && hits(f.read_badsum, address, length) ? "read_badsum"
                                                              : nullptr;
    if (command == FW_CMD_ERASE)
        return failed && hits(f.erase_fail, address, length) ? "erase_fail" : nullptr;
    if (command == FW_CMD_WRITE)
        return failed && hits(f.write_fail, address, length)     ? "write_fail"
               : ok && hits(f.write_corrupt, address, length) ? "write_corrupt"
                                                                : nullptr;
    return nullptr;
}

bool fault_apply(FaultSet* f, const char* text, char* err, int errlen)
{
    char key[64];
    const char* eq = std::strchr(text, '=');
    size_t klen = eq ? size_t(eq - text) : std::strlen(text);
    if (klen == 0 || klen >= sizeof key) {
        std::snprintf(err, size_t(errlen), "bad fault '%s'", text);
        return false;
    }
    std::memcpy(key, text, klen);
    key[klen] = '\0';
    const char* value = eq ? eq + 1 : nullptr;

    bool ok;
    if (!std::strcmp(key, "iopl_fail"))
        ok = set_bool(&f->iopl_fail, value);
    else if (!std::strcmp(key, "no_devmem"))
        ok = set_bool(&f->no_devmem, value);
    else if (!std::strcmp(key, "not_listed"))
        ok = set_bool(&f->not_listed, value);
    else if (!std::strcmp(key, "node_unopenable"))
        ok = set_bool(&f->node_unopenable, value);
    else if (!std::strcmp(key, "alloc_fail"))
        ok = set_bool(&f->alloc_fail, value);
    else if (!std::strcmp(key, "free_fail"))
        ok = set_bool(&f->free_fail, value);
    else if (!std::strcmp(key, "node_mmap_fail"))
        ok = set_bool(&f->node_mmap_fail, value);
    else if (!std::strcmp(key, "no_signature"))
        ok = set_bool(&f->no_signature, value);
    else if (!std::strcmp(key, "signature_at")) {
        uint32_t v;
        ok = value && parse_u32(value, &v) && v <= 0xFFFF;
        if (ok)
            f->signature_at = int(v);
    } else if (!std::strcmp(key, "map_fail"))
        ok = set_window(&f->map_fail, value, false);
    else if (!std::strcmp(key, "unmap_fail"))
        ok = set_window(&f->unmap_fail, value, true);
    else if (!std::strcmp(key, "fsync_fail"))
        ok = set_bool(&f->fsync_fail, value);
    else if (!std::strcmp(key, "file_close_fail")) {
        size_t len = value ? std::strlen(value) : 0;
        ok = len > 0 && len < sizeof f->file_close_fail && !std::strchr(value, '/');
        if (ok)
            std::memcpy(f->file_close_fail, value, len + 1);
    } else if (!std::strcmp(key, "file_read_fail")) {
        // NAME:OFFSET, the name being the last part of the file's path.
        const char* colon = value ? std::strrchr(value, ':') : nullptr;
        size_t len = colon ? size_t(colon - value) : 0;
        ok = len > 0 && len < sizeof f->file_read_fail && !std::memchr(value, '/', len) &&
             parse_u32(colon + 1, &f->file_read_at);
        if (ok) {
            std::memcpy(f->file_read_fail, value, len);
            f->file_read_fail[len] = '\0';
        }
    }
    else if (!std::strcmp(key, "lockdown")) {
        ok = true;
        if (value && !std::strcmp(value, "integrity"))
            f->lockdown = kLockdownIntegrity;
        else if (value && !std::strcmp(value, "confidentiality"))
            f->lockdown = kLockdownConfidentiality;
        else if (value && !std::strcmp(value, "none"))
            f->lockdown = kLockdownNone;
        else
            ok = false;
    } else if (!std::strcmp(key, "sig_enforce"))
        ok = set_bool(&f->sig_enforce, value);
    else if (!std::strcmp(key, "modules_disabled"))
        ok = set_bool(&f->modules_disabled, value);
    else if (!std::strcmp(key, "file_swap"))
        ok = set_file_change(f, kFileSwap, value);
    else if (!std::strcmp(key, "file_rewrite"))
        ok = set_file_change(f, kFileRewrite, value);
    else if (!std::strcmp(key, "insmod_fail")) {
        ok = true;
        if (value && !std::strcmp(value, "first"))
            f->insmod_fail = kInsmodFirst;
        else if (value && !std::strcmp(value, "both"))
            f->insmod_fail = kInsmodBoth;
        else if (value && !std::strcmp(value, "none"))
            f->insmod_fail = kInsmodOk;
        else
            ok = value && parse_u32(value, &f->load_fails) && f->load_fails > 0;
    } else if (!std::strcmp(key, "open_status"))
        ok = set_status(&f->flash.open_status, value);
    else if (!std::strcmp(key, "close_status"))
        ok = set_status(&f->flash.close_status, value);
    else if (!std::strcmp(key, "power_loss"))
        ok = value && parse_u32(smi_command(value, &f->power_loss_command), &f->power_loss) && f->power_loss > 0;
    else if (!std::strcmp(key, "signal_at"))
        ok = set_smi_signal(f, value);
    else if (!std::strcmp(key, "signal_file"))
        ok = set_file_signal(f, value);
    else if (!std::strcmp(key, "signal_call"))
        ok = set_call_signal(f, value);
    else if (!std::strcmp(key, "no_proc"))
        ok = set_bool(&f->no_proc, value);
    else if (!std::strcmp(key, "swap_at_check"))
        ok = set_name(f->swap_at_check, sizeof f->swap_at_check, value);
    else if (!std::strcmp(key, "nodev"))
        ok = set_bool(&f->nodev, value);
    else if (!std::strcmp(key, "read_fail"))
        ok = add_addr(&f->flash.read_fail, value);
    else if (!std::strcmp(key, "read_badsum"))
        ok = add_addr(&f->flash.read_badsum, value);
    else if (!std::strcmp(key, "erase_fail"))
        ok = add_addr(&f->flash.erase_fail, value);
    else if (!std::strcmp(key, "write_fail"))
        ok = add_addr(&f->flash.write_fail, value);
    else if (!std::strcmp(key, "write_corrupt"))
        ok = add_addr(&f->flash.write_corrupt, value);
    else if (!std::strcmp(key, "battery") || !std::strcmp(key, "device_battery") || !std::strcmp(key, "ac")) {
        uint32_t v = 0;
        int* slot = key[0] == 'b' ? &f->battery : key[0] == 'd' ? &f->device_battery : &f->ac;
        ok = value && parse_u32(value, &v) && v <= (key[0] == 'a' ? 1u : 100u);
        if (ok)
            *slot = int(v);
    } else {
        std::snprintf(err, size_t(errlen), "unknown fault '%s'", key);
        return false;
    }
    if (!ok)
        std::snprintf(err, size_t(errlen), "bad value for fault '%s'", text);
    return ok;
}

const char* const kFaultHelp =
    "  iopl_fail            iopl() returns -1, errno EPERM; the level stays as it was\n"
    "  no_devmem            fopen(\"/dev/mem\") fails with ENOENT\n"
    "  map_fail=bios|info   mmap of /dev/mem covering 0xF0000 / the flash-info address fails (EINVAL)\n"
    "  unmap_fail=bios|info|node  munmap of that window, or of the transfer buffer mapped\n"
    "                       through the node, returns -1 (EINVAL) and leaves it mapped\n"
    "  fsync_fail           fsync and fdatasync return -1, errno EIO (the data stays written)\n"
    "  file_read_fail=NAME:OFF  fread of the file NAME (the last part of its path) that would\n"
    "                       read byte OFF returns the items before it, errno EIO\n"
    "  file_close_fail=NAME fclose of the file NAME closes it but returns EOF, errno EIO\n"
    "  file_swap=NAME:N:OTHER  right before the N-th fread of the file NAME (at its first\n"
    "                       fclose when N is 0), NAME and OTHER, a file beside it, change\n"
    "                       places (renameat2 RENAME_EXCHANGE), as another process can do\n"
    "  file_rewrite=NAME:N:OTHER  as file_swap, but OTHER's bytes are written over NAME in\n"
    "                       place: the same file, truncated and rewritten\n"
    "  insmod_fail=first    \"insmod ./zorfldrv_mod.o\" fails (exit status 1)\n"
    "  insmod_fail=both     both insmod commands fail, and modprobe too\n"
    "  insmod_fail=N        the first N loads of the run that would work fail, later ones load\n"
    "  lockdown=integrity   the kernel is locked down: /sys/kernel/security/lockdown reads\n"
    "                       \"none [integrity] confidentiality\", iopl() fails with EPERM\n"
    "  lockdown=confidentiality  the same in the stricter mode\n"
    "  sig_enforce          the kernel loads only signed modules (sig_enforce reads Y) and the\n"
    "                       machine's module is unsigned: every load fails, EKEYREJECTED\n"
    "  modules_disabled     modules_disabled reads 1: every load fails, EPERM\n"
    "  not_listed           module loads but has no line in /proc/devices\n"
    "  node_unopenable      open(\"zorfl\") fails with EACCES whatever is there\n"
    "  alloc_fail           ioctl 0x4160 returns -1, errno ENOMEM\n"
    "  free_fail            ioctl 0x4161 returns -1, errno EIO (the buffer is released all the same)\n"
    "  node_mmap_fail       mmap of the node returns MAP_FAILED, errno ENOMEM\n"
    "  open_status=N        SMI open (0x20) answers status N; N=1 refuses the open, others open it\n"
    "  close_status=N       SMI close (0x24) answers status N; nonzero keeps the interface open\n"
    "  read_fail=ADDR       SMI read of the piece holding ADDR answers status 7\n"
    "  read_badsum=ADDR     SMI read of that piece answers 0 but a wrong checksum\n"
    "  erase_fail=ADDR      SMI erase of the block holding ADDR answers 7, nothing erased\n"
    "  write_fail=ADDR      SMI write of the piece holding ADDR answers 7, nothing written\n"
    "  write_corrupt=ADDR   SMI write of the piece holding ADDR answers 0 but stores the\n"
    "                       byte at ADDR with bit 0 wrong\n"
    "  power_loss=[CMD:]N   the process is killed (SIGKILL) on the N-th SMI command CMD (open,\n"
    "                       read, erase, write, close; default write) of the run, before it\n"
    "                       reaches the flash; earlier writes stay;\n"
    "                       when the run's command ends, the machine reboots (zorvpc reboot)\n"
    "  signal_at=[CMD:]N:SIG  signal SIG (a number, not 9) is sent to the process right after\n"
    "                       its N-th SMI command CMD (open, read, erase, write, close; default\n"
    "                       write) of the run is carried out\n"
    "  signal_file=NAME:read|write:N:SIG  signal SIG right after the N-th fread or fwrite of\n"
    "                       the file NAME (the last part of its path)\n"
    "  signal_call=FUNC:N:SIG  signal SIG right after the N-th call of FUNC (open, close, fopen,\n"
    "                       fclose, fstat, lstat, mkdir, mmap, munmap, ioctl, mknod, remove,\n"
    "                       iopl, fsync, fflush, system); for system while the module tool\n"
    "                       runs, which the signal ends as well\n"
    "  no_proc              /proc is not mounted: nothing under it opens\n"
    "  swap_at_check=NAME   right after the first open or lstat of NAME in the working\n"
    "                       directory, NAME and NAME.swap trade places (as another user could)\n"
    "  nodev                file systems are mounted nodev: statvfs shows ST_NODEV and the node\n"
    "                       cannot be opened (EACCES)\n"
    "  battery=N            a system battery at N %, discharging unless ac=1 (no erase on\n"
    "                       battery power); without any power fault the machine is a desktop\n"
    "  ac=0|1               a mains supply, offline or online\n"
    "  device_battery=N     a device's battery (scope Device, as a mouse's) at N %\n"
    "  no_signature         no \"$QZX\" header in the system BIOS segment\n"
    "  signature_at=POS     header at byte POS of the 0xF0000 segment, cut at 0xFFFFF\n"
    "  Address faults may be given several times (up to 16 addresses each).\n"
    "  A file NAME that ends in * stands for every name that starts with the rest\n"
    "  (backup.rom.partial-* for the save's file, whose name ends unguessably).\n";
