// Regular files of the command. fsync and fdatasync are traced with the name of the file they
// were asked about, so a test can see that a save reached the disk, and fail with EIO on request
// (the data stays written, as after a real write-back error the page cache still holds it).
// fread of one named file can stop short at a given byte with EIO, as a bad sector would.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "real.h"
#include "state.h"

void fd_name(int fd, char* out, size_t size)
{
    char link[64];
    char target[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    const char* name = "?";
    if (n > 0) {
        target[n] = '\0';
        const char* slash = std::strrchr(target, '/');
        name = slash ? slash + 1 : target;
    }
    size_t len = strnlen(name, size - 1);
    std::memcpy(out, name, len);
    out[len] = '\0';
}

namespace {

int do_sync(int fd, const char* call, int (*fn)(int))
{
    resolve_real();
    int r = fn(fd);
    if (!g_vpc.active)
        return r;
    int err = errno;
    if (r == 0 && g_vpc.faults.fsync_fail) {
        r = -1;
        err = EIO;
    }
    char name[NAME_MAX + 1];
    fd_name(fd, name, sizeof name);
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, call);
    lb_str(&lb, " ");
    lb_str(&lb, name);
    lb_str(&lb, " = ");
    trace_result(&lb, r, err);
    errno = err;
    return r;
}

} // namespace

VPC_EXPORT int fsync(int fd) { return do_sync(fd, "fsync", real::fsync); }

VPC_EXPORT int fdatasync(int fd) { return do_sync(fd, "fdatasync", real::fdatasync); }

size_t fread_with_faults(void* ptr, size_t size, size_t count, FILE* f)
{
    resolve_real();
    const FaultSet& faults = g_vpc.faults;
    if (!g_vpc.active || !faults.file_read_fail[0] || size == 0 || !f)
        return real::fread(ptr, size, count, f);
    off_t at = ftello(f);
    uint64_t bad = faults.file_read_at;
    if (at < 0 || bad < uint64_t(at) || bad >= uint64_t(at) + uint64_t(size) * count)
        return real::fread(ptr, size, count, f);
    char name[NAME_MAX + 1];
    fd_name(fileno(f), name, sizeof name);
    if (std::strcmp(name, faults.file_read_fail) != 0)
        return real::fread(ptr, size, count, f);
    size_t got = real::fread(ptr, size, size_t((bad - uint64_t(at)) / size), f);
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, "fread ");
    lb_str(&lb, name);
    lb_str(&lb, " ");
    lb_hex(&lb, uint64_t(at), 8);
    lb_str(&lb, " = ");
    lb_dec(&lb, int64_t(got * size));
    lb_str(&lb, " EIO");
    trace_line(&lb);
    errno = EIO;
    return got;
}
