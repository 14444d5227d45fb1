// The emulated machine as this process sees it: the state directory's files,
// the run's faults, and what the emulated kernel holds for this process
// (I/O privilege level, open node descriptors, mappings). What the machine
// holds for every process at once (the handler's open state, the module and
// its open files with their buffers) lives in the state directory: shared.cpp.
#pragma once
#include <cerrno>
#include <climits>
#include <sys/types.h>
#include <cstdint>
#include <cstdio>
#include <cstddef>
#include <string>

#include "devices.h"
#include "faults.h"
#include "flash_handler.h"
#include "linebuf.h"
#include "machine.h"

#define VPC_EXPORT extern "C" __attribute__((visibility("default")))

constexpr int kMaxTracked = 32;
constexpr size_t kSmmSize = 9;

enum MapKind { kMapMem = 1, kMapNode = 2 };

struct Mapping {
    void* addr;      // null: free slot
    size_t len;
    uint32_t offset; // physical address of the first byte
    int kind;
};

// A descriptor opened through the name "zorfl": the module's node, or a plain file.
// Duplicates of a descriptor share its open file, as in the kernel.
struct NodeFd {
    int fd;          // -1: free slot
    bool device;
    uint32_t major, minor;
    int pid, file;   // the open file (its opener and number there): what a buffer belongs to
};

struct VpcState {
    bool active;               // a machine is attached; else every contract call fails safe
    char dir[PATH_MAX];
    int trace_fd, cmos_fd, phys_fd, flash_fd, lock_fd, smm_fd;
    int lock_depth;
    uint8_t* phys;             // all of physical memory
    uint8_t* smm;              // the flash handler's state: "open = 0|1\n"
    uint8_t* flash;
    uint32_t flash_size;
    const Machine* machine;
    FaultSet faults;           // the machine's and this run's
    FlashHandler handler;
    uint32_t info_phys;        // flash-info segment address (paragraph * 16)
    int iopl_level;
    uint8_t cmos_index;
    FILE* mem_streams[4];      // open "/dev/mem" streams
    int mem_fds[8];            // duplicates of their descriptors
    NodeFd nodes[kMaxTracked];
    int next_file;
    Mapping maps[kMaxTracked];
    uint32_t smi_count[5];     // SMI commands 0x20..0x24 run by this process
    uint32_t file_io_count;    // freads or fwrites of the signal_file fault's file
    uint32_t call_count;       // calls of the signal_call fault's function
    uint32_t load_count;       // load commands run by this process
    bool swapped;              // the swap_at_check fault has struck
    char fired[32];            // the launcher's file in dir for the faults that fire, or ""
};

extern VpcState g_vpc;

// The library's own descriptors: at kOwnFdBase or above and close-on-exec, so
// that a command started with 0, 1 or 2 closed gets those numbers for its own
// files, as on a real machine, and never writes into the machine's files.
constexpr int kOwnFdBase = 100;
// Moves fd up there (closing fd); -1 when it cannot.
int park_fd(int fd);
bool is_own_fd(int fd);

// Path of a state file into out (PATH_MAX bytes).
void state_path(char* out, const char* name);

// One trace line, written with a single write(2). Keeps errno.
void trace_line(LineBuf* line);
// A fault has fired: one line for the launcher to show once the run ends. Async-signal-safe.
void fault_fired(LineBuf* line);
// Ends a trace line with a call's result, and the errno name when it failed; writes it.
void trace_result(LineBuf* line, int r, int err);
// The last part of the path fd was opened by, or "?" (hook_file.cpp).
void fd_name(int fd, char* out, size_t size);
// A fault's file name matches name: the same, or, when it ends in '*', what comes before it
// starts name (for a file whose name ends unguessably, as NAME.partial-XXXXXX).
bool fault_name_matches(const char* fault_name, const char* name);
// The file_swap and file_rewrite faults, checked before each fread and before an fclose.
void file_change_point(FILE* f, bool closing);

// A whole state file into out / from text. False when it cannot be read or written.
bool read_state_file(const char* name, std::string* out);
bool write_state_file(const char* name, const std::string& text);

bool read_module_state(ModuleState* s);
void write_module_state(const ModuleState& s);

// The machine lock: one process at a time changes the machine's shared state
// or runs an SMI. Nests within a process; keeps errno.
void machine_lock();
void machine_unlock();
// The flash handler's open state, as the firmware keeps it in SMRAM.
bool handler_is_open();
void set_handler_open(bool open);
// The module's open files, without those of processes that are gone (their
// files were released when they exited). Call with the machine locked.
void read_open_files(OpenFiles* t);
void write_open_files(const OpenFiles& t);
OpenFile* find_open_file(OpenFiles* t, int pid, int file);
// The module's release of an open file: its record and its buffer go.
void release_open_file(int pid, int file);

bool is_node_path(const char* path);
NodeFd* find_node(int fd);
bool is_mem_fd(int fd);
// fd2 has just become a duplicate of fd: it follows the node or /dev/mem.
// False when there is no room to track it.
bool follow_dup(int fd, int fd2);
// fd is closed: it is no longer a node or /dev/mem descriptor. The node's open
// file is released (its buffer freed) with its last descriptor. True when fd was a node's.
bool forget_fd(int fd);
// Moves the library's descriptor fd (if it is one) out of the command's way;
// false when no descriptor is left to move it to.
bool move_own_fd(int fd);

// fread with the file_read_fail fault (hook_file.cpp); fread itself also sends signal_file.
size_t fread_with_faults(void* ptr, size_t size, size_t count, FILE* f);
// After an SMI has run: the signal_at fault (hook_signal.cpp).
void signal_at_smi(uint8_t command);
// After a call of the platform function name: the signal_call fault (hook_signal.cpp). True
// when this call is the one (the signal is sent unless only_count).
bool signal_at_call(const char* name, bool only_count = false);
// r, after signal_at_call(name), with errno as the call left it.
template <typename T>
T signalled(const char* name, T r)
{
    int err = errno;
    signal_at_call(name);
    errno = err;
    return r;
}
// After an open or lstat of path: the swap_at_check fault (hook_swap.cpp).
void swap_after_check(const char* path);

// The tool's run lock /run/zorflashlnx2.lock, kept in the machine's "run" directory (hook_lock.cpp).
bool is_lock_path(const char* path);
int open_lock_path(const char* path, int flags, mode_t mode, int (*fn)(const char*, int, ...));
// The machine's path for a name under a redirected directory (/run among them) into out
// (PATH_MAX bytes); false, errno set, when none.
bool map_lock_path(const char* path, char* out);
// /proc, or a name under it, while the no_proc fault has it unmounted.
bool proc_unmounted(const char* path);

// Never reached through this library: the real physical memory and port devices.
bool is_raw_hw_device(const char* path);
