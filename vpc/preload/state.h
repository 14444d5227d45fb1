// The emulated machine as this process sees it: the state directory's files,
// the run's faults, and what the emulated kernel holds for this process
// (I/O privilege level, open node descriptors, the transfer buffer, mappings).
#pragma once
#include <climits>
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

bool read_module_state(ModuleState* s);
void write_module_state(const ModuleState& s);

bool is_node_path(const char* path);
NodeFd* find_node(int fd);
bool node_open_in_process();
bool is_mem_fd(int fd);

// Never reached through this library: the real physical memory and port devices.
bool is_raw_hw_device(const char* path);
