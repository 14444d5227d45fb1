// Mount flags of the working directory's file system: with the nodev fault every file system
// is mounted nodev, as /home and /tmp often are.
#include <dlfcn.h>
#include <sys/statvfs.h>

#include "state.h"

VPC_EXPORT int statvfs(const char* path, struct statvfs* fs) noexcept
{
    static auto real_statvfs =
        reinterpret_cast<int (*)(const char*, struct statvfs*)>(dlsym(RTLD_NEXT, "statvfs"));
    int r = real_statvfs(path, fs);
    if (r == 0 && g_vpc.active && g_vpc.faults.nodev)
        fs->f_flag |= ST_NODEV;
    return r;
}
