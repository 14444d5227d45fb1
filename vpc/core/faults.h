// Fault switches of the virtual PC: what a run can be told to get wrong.
// A plain record with fixed arrays so the preload library can hold it without
// allocating and the port trap handler can read it safely.
#pragma once
#include <cstdint>

#include "flash_core.h"

enum WindowMask : uint32_t { kWindowBios = 1, kWindowInfo = 2, kWindowNode = 4 };
enum InsmodFail : int { kInsmodOk = 0, kInsmodFirst = 1, kInsmodBoth = 2 };
enum Lockdown : int { kLockdownNone = 0, kLockdownIntegrity = 1, kLockdownConfidentiality = 2 };
enum FileChange : int { kFileKept = 0, kFileSwap = 1, kFileRewrite = 2 };

struct FaultSet {
    bool iopl_fail;
    bool no_devmem;
    bool not_listed;
    bool node_unopenable;
    bool alloc_fail;
    bool free_fail;
    bool node_mmap_fail;
    bool no_signature;
    int signature_at;        // -1: header where the machine puts it
    uint32_t map_fail;       // WindowMask: /dev/mem mmap covering that window fails
    uint32_t unmap_fail;     // WindowMask: munmap of that window (or the node's buffer) fails
    bool fsync_fail;         // fsync and fdatasync fail with EIO
    char file_read_fail[64]; // "": off; else fread of a file of this name that covers
    uint32_t file_read_at;   // this byte offset returns short, errno EIO
    char file_close_fail[64];  // "": off; else fclose of a file of this name fails with EIO
    int file_change;         // FileChange: what happens to the file file_change_name
    char file_change_name[64];
    uint32_t file_change_at;     // before its N-th fread, or at its first fclose when 0
    char file_change_other[64];  // the file beside it that is swapped in or copied over it
    int insmod_fail;         // InsmodFail
    uint32_t load_fails;     // the first load_fails loads of the run that would work fail
    int lockdown;            // Lockdown: the kernel's lockdown file names it, iopl fails EPERM
    bool sig_enforce;        // only signed modules load; the machine's never are
    bool modules_disabled;   // no module loads at all
    uint32_t power_loss;     // 0: off; else killed at the N-th SMI of power_loss_command
    uint8_t power_loss_command;  // 0x20 open ... 0x24 close
    uint32_t signal_at;      // 0: off; else signal_number is sent at the N-th SMI of signal_command
    uint32_t signal_number;
    uint8_t signal_command;  // 0x20 open ... 0x24 close
    char signal_file[64];    // "": off; else signal_file_number is sent at the signal_file_at-th
    bool signal_file_write;  // fread (or fwrite) of a file of this name
    uint32_t signal_file_at;
    uint32_t signal_file_number;
    char signal_call[16];    // "": off; else signal_call_number is sent right after the
    uint32_t signal_call_at; // signal_call_at-th call of this platform function (system: while
    uint32_t signal_call_number;  // its command runs, as a Ctrl-C reaches the command too)
    bool no_proc;            // /proc is not mounted: nothing under it opens
    char swap_at_check[64];  // "": off; else this file and NAME.swap trade places (rename exchange)
                             // right after the first open or lstat of NAME
    bool nodev;              // the file systems are mounted nodev: statvfs says so, the node
                             // cannot be opened (EACCES)
    int battery;             // -1: none; else a system battery at this charge (percent)
    int ac;                  // -1: no mains supply; else one that is online (1) or not (0)
    int device_battery;      // -1: none; else a device's battery (a mouse) at this charge
    fw_faults flash;         // the flash handler's own: the firmware core plays them
};

void faults_clear(FaultSet* f);

// Applies one "KEY" or "KEY=VALUE" switch. Boolean keys take no value, 1 or 0.
// On failure writes a reason into err (errlen bytes) and returns false.
bool fault_apply(FaultSet* f, const char* text, char* err, int errlen);

// The flash handler's fault that an SMI command over [address, address + length) ran into,
// given the status it answered: "erase_fail", "write_fail", "write_corrupt", "read_fail",
// "read_badsum", or null when none did.
const char* flash_fault_fired(const fw_faults& f, uint8_t command, uint32_t address, uint32_t length, uint8_t status);

// One line per fault key with its argument and meaning, for --help.
extern const char* const kFaultHelp;
