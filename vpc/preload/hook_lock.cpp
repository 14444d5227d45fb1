// The tool's run lock is /run/zorflashlnx2.lock. On the virtual PC all of /run is the machine's
// own "run" directory (made by the tool's mkdir when missing, as on a system without /run): two
// runs on one machine exclude each other, runs on two machines never wait on each other, and
// nothing reaches this computer's /run. The lock itself is a plain flock on the redirected file.
#include <cerrno>
#include <climits>
#include <cstring>
#include <dlfcn.h>
#include <sys/stat.h>

#include "state.h"

namespace {

constexpr char kRun[] = "/run";

// "/run" or a name under it (the old /run/lock too): the part after "/run" ("" or "/name"),
// else null. Nothing of the command under this computer's /run is ever opened or made.
const char* lock_rest(const char* path)
{
    size_t n = sizeof kRun - 1;
    if (!path || std::strncmp(path, kRun, n) != 0)
        return nullptr;
    return path[n] == '\0' || path[n] == '/' ? path + n : nullptr;
}

// The machine's path for it; false (errno set) when no machine is attached or it is too long.
bool machine_path(const char* rest, char* out)
{
    if (!g_vpc.active) {
        errno = EACCES;
        return false;
    }
    char dir[PATH_MAX];
    state_path(dir, "run");
    size_t d = std::strlen(dir), r = std::strlen(rest);
    if (d == 0 || d + r >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(out, dir, d);
    std::memcpy(out + d, rest, r + 1);
    return true;
}

} // namespace

bool is_lock_path(const char* path) { return lock_rest(path) != nullptr; }

bool map_lock_path(const char* path, char* out) { return machine_path(lock_rest(path), out); }

bool proc_unmounted(const char* path)
{
    return g_vpc.active && g_vpc.faults.no_proc && path && !std::strncmp(path, "/proc", 5) &&
           (path[5] == '\0' || path[5] == '/');
}

int open_lock_path(const char* path, int flags, mode_t mode, int (*fn)(const char*, int, ...))
{
    char mapped[PATH_MAX];
    if (!machine_path(lock_rest(path), mapped))
        return -1;
    return fn(mapped, flags, mode);
}

static int mkdir_unsignalled(const char* path, mode_t mode)
{
    static auto real_mkdir = reinterpret_cast<int (*)(const char*, mode_t)>(dlsym(RTLD_NEXT, "mkdir"));
    const char* rest = lock_rest(path);
    if (!rest)
        return real_mkdir(path, mode);
    char mapped[PATH_MAX];
    return machine_path(rest, mapped) ? real_mkdir(mapped, mode) : -1;
}

VPC_EXPORT int mkdir(const char* path, mode_t mode)
{
    return signalled("mkdir", mkdir_unsignalled(path, mode));
}
