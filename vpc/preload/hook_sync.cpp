// fsync and fdatasync: traced with the name of the file they were asked about, so a test can
// see that a save reached the disk, and failed with EIO on request (the data stays written, as
// after a real write-back error the page cache still holds it).
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "real.h"
#include "state.h"

namespace {

int do_sync(int fd, const char* call, int (*fn)(int))
{
    resolve_real();
    if (!g_vpc.active)
        return fn(fd);
    int r = fn(fd);
    int err = errno;
    if (r == 0 && g_vpc.faults.fsync_fail) {
        r = -1;
        err = EIO;
    }
    char link[64];
    char target[PATH_MAX] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    const char* name = "?";
    if (n > 0) {
        target[n] = '\0';
        const char* slash = std::strrchr(target, '/');
        name = slash ? slash + 1 : target;
    }
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, call);
    lb_str(&lb, " ");
    lb_str(&lb, name);
    lb_str(&lb, " = ");
    lb_dec(&lb, r);
    if (r < 0) {
        lb_str(&lb, " ");
        lb_errno(&lb, err);
    }
    trace_line(&lb);
    errno = err;
    return r;
}

} // namespace

VPC_EXPORT int fsync(int fd) { return do_sync(fd, "fsync", real::fsync); }

VPC_EXPORT int fdatasync(int fd) { return do_sync(fd, "fdatasync", real::fdatasync); }
