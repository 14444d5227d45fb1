// Directories of this computer that the tool uses, each kept in the machine's directory:
//  - /run, for the run lock /run/zorflashlnx2.lock: the machine's "run" (made by the tool's mkdir
//    when missing, as on a system without /run). Two runs on one machine exclude each other, runs
//    on two machines never wait on each other.
//  - /var/lib/zorflashlnx2, the tool's state (the run record): the machine's "zorflashlnx2".
//  - /sys/class/power_supply: the machine's "power_supply", laid out from the power faults.
//  - /proc/self/loginuid, the user who logged in: the machine's "loginuid" (none when missing).
// Nothing of the command under this computer's /run, /var/lib or /sys is ever opened or made.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "real.h"
#include "state.h"

namespace {

int real_mkdir(const char* path, mode_t mode)
{
    static auto fn = reinterpret_cast<int (*)(const char*, mode_t)>(dlsym(RTLD_NEXT, "mkdir"));
    return fn(path, mode);
}

struct Redirect {
    const char* path;
    const char* state_name;
};
constexpr Redirect kRedirects[] = {
    {"/run", "run"},
    {"/var/lib/zorflashlnx2", "zorflashlnx2"},
    {"/sys/class/power_supply", "power_supply"},
    {"/proc/self/loginuid", "loginuid"},
};

// The redirect that path lies under, with the part after its path ("" or "/name"); else null.
const Redirect* redirect_of(const char* path, const char** rest)
{
    for (const Redirect& r : kRedirects) {
        size_t n = std::strlen(r.path);
        if (path && std::strncmp(path, r.path, n) == 0 && (path[n] == '\0' || path[n] == '/')) {
            *rest = path + n;
            return &r;
        }
    }
    return nullptr;
}

// One supply directory with its attribute files.
void write_supply(const char* dir, const char* name, const char* const* attributes)
{
    char path[PATH_MAX];
    std::snprintf(path, sizeof path, "%s/%s", dir, name);
    real_mkdir(path, 0755);
    for (const char* const* a = attributes; *a; a += 2) {
        char file[PATH_MAX + 64];
        std::snprintf(file, sizeof file, "%s/%s", path, a[0]);
        int fd = real::open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            continue;
        ssize_t ignored = write(fd, a[1], std::strlen(a[1]));
        (void)ignored;
        real::close(fd);
    }
}

void remove_tree(const char* path)
{
    DIR* d = opendir(path);
    if (!d)
        return;
    for (dirent* e; (e = readdir(d));) {
        if (e->d_name[0] == '.')
            continue;
        char sub[PATH_MAX];
        std::snprintf(sub, sizeof sub, "%s/%s", path, e->d_name);
        if (unlink(sub) != 0)
            remove_tree(sub);
    }
    closedir(d);
    rmdir(path);
}

// The machine's power supplies, as this run's faults lay them out: none on a desktop.
void lay_out_power_supply(const char* dir)
{
    const FaultSet& f = g_vpc.faults;
    machine_lock();
    remove_tree(dir);
    real_mkdir(dir, 0755);
    char capacity[16];
    if (f.battery >= 0) {
        std::snprintf(capacity, sizeof capacity, "%d\n", f.battery);
        const char* status = f.ac == 1 ? "Charging\n" : "Discharging\n";
        const char* const bat[] = {"type", "Battery\n", "capacity", capacity, "status", status, nullptr};
        write_supply(dir, "BAT0", bat);
    }
    if (f.ac >= 0) {
        const char* const ac[] = {"type", "Mains\n", "online", f.ac ? "1\n" : "0\n", nullptr};
        write_supply(dir, "AC", ac);
    }
    if (f.device_battery >= 0) {
        char dev[16];
        std::snprintf(dev, sizeof dev, "%d\n", f.device_battery);
        const char* const mouse[] = {"type", "Battery\n", "scope", "Device\n", "capacity", dev, nullptr};
        write_supply(dir, "hid-mouse-battery", mouse);
    }
    machine_unlock();
}

// The machine's path for it; false (errno set) when no machine is attached or it is too long.
bool machine_path(const Redirect* r, const char* rest, char* out)
{
    if (!g_vpc.active) {
        errno = EACCES;
        return false;
    }
    char dir[PATH_MAX];
    state_path(dir, r->state_name);
    size_t d = std::strlen(dir), n = std::strlen(rest);
    if (d == 0 || d + n >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (std::strcmp(r->state_name, "power_supply") == 0 && rest[0] == '\0')
        lay_out_power_supply(dir);
    std::memcpy(out, dir, d);
    std::memcpy(out + d, rest, n + 1);
    return true;
}

} // namespace

bool is_lock_path(const char* path)
{
    const char* rest;
    return redirect_of(path, &rest) != nullptr;
}

bool map_lock_path(const char* path, char* out)
{
    const char* rest = nullptr;
    const Redirect* r = redirect_of(path, &rest);
    if (!r) {
        errno = ENOENT;
        return false;
    }
    return machine_path(r, rest, out);
}

bool proc_unmounted(const char* path)
{
    return g_vpc.active && g_vpc.faults.no_proc && path && !std::strncmp(path, "/proc", 5) &&
           (path[5] == '\0' || path[5] == '/');
}

int open_lock_path(const char* path, int flags, mode_t mode, int (*fn)(const char*, int, ...))
{
    const char* rest = nullptr;
    const Redirect* r = redirect_of(path, &rest);
    char mapped[PATH_MAX];
    if (!machine_path(r, rest, mapped))
        return -1;
    return fn(mapped, flags, mode);
}

static int mkdir_unsignalled(const char* path, mode_t mode)
{
    const char* rest = nullptr;
    const Redirect* r = redirect_of(path, &rest);
    if (!r)
        return real_mkdir(path, mode);
    char mapped[PATH_MAX];
    return machine_path(r, rest, mapped) ? real_mkdir(mapped, mode) : -1;
}

VPC_EXPORT int mkdir(const char* path, mode_t mode)
{
    return signalled("mkdir", mkdir_unsignalled(path, mode));
}
