// The emulated machine as this process sees it: the state directory's files,
// the run's faults, and what the emulated kernel holds for this process
// (I/O privilege level, open node descriptors, the transfer buffer, mappings).
#pragma once
#include <climits>
#include <sys/types.h>
#include <cstdint>
#include <cstdio>
#include <cstddef>

#include "devices.h"
#include "faults.h"
#include "flash_handler.h"
#include "linebuf.h"
#include "machine.h"

#define VPC_EXPORT extern "C" __attribute__((visibility("default")))

constexpr int kMaxTracked = 32;

enum MapKind { kMapMem = 1, kMapNode = 2 };

struct Mapping {
    void* addr;      // null: free slot
    size_t len;
    uint32_t offset; // physical address of the first byte
    int kind;
};

// A descriptor opened through the name "zorfl": the module's node, or a plain file.
struct NodeFd {
    int fd;          // -1: free slot
    bool device;
    uint32_t major, minor;
};

struct VpcState {
    bool active;               // a machine is attached; else every contract call fails safe
    char dir[PATH_MAX];
    int trace_fd, cmos_fd, phys_fd, flash_fd;
    uint8_t* phys;             // all of physical memory
    uint8_t* flash;
    uint32_t flash_size;
    const Machine* machine;
    FaultSet faults;           // the machine's and this run's
    FlashHandler handler;
    uint32_t info_phys;        // flash-info segment address (paragraph * 16)
    int iopl_level;
    uint8_t cmos_index;
    FILE* mem_streams[4];      // open "/dev/mem" streams
    NodeFd nodes[8];
    bool buffer_held;
    int buffer_owner;          // node descriptor that allocated it
    uint32_t buffer_size;
    Mapping maps[kMaxTracked];
};

extern VpcState g_vpc;

// Path of a state file into out (PATH_MAX bytes).
void state_path(char* out, const char* name);

// One trace line, written with a single write(2). Keeps errno.
void trace_line(LineBuf* line);

bool read_module_state(ModuleState* s);
void write_module_state(const ModuleState& s);

bool is_node_path(const char* path);
NodeFd* find_node(int fd);
bool node_open_in_process();
bool is_mem_fd(int fd);

// The tool's run lock under /run/lock, kept in the machine's "lock" directory (hook_lock.cpp).
bool is_lock_path(const char* path);
int open_lock_path(const char* path, int flags, mode_t mode, int (*fn)(const char*, int, ...));

// Never reached through this library: the real physical memory and port devices.
bool is_raw_hw_device(const char* path);
