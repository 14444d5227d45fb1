// Regular files of the command. fsync and fdatasync are traced with the name of the file they
// were asked about, so a test can see that a save reached the disk, and fail with EIO on request
// (the data stays written, as after a real write-back error the page cache still holds it).
// fread of one named file can stop short at a given byte with EIO, as a bad sector would. And a
// named file can be swapped for another or rewritten in place at a chosen read or at its first
// close, as another process racing the command would, but at a known moment.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "real.h"
#include "state.h"

namespace {

// The path fd was opened by, or "" (out holds PATH_MAX bytes).
void fd_path(int fd, char* out)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, PATH_MAX - 1);
    out[n > 0 ? n : 0] = '\0';
}

} // namespace

bool fault_name_matches(const char* fault_name, const char* name)
{
    size_t n = std::strlen(fault_name);
    if (n > 0 && fault_name[n - 1] == '*')
        return std::strncmp(fault_name, name, n - 1) == 0;
    return std::strcmp(fault_name, name) == 0;
}

void fd_name(int fd, char* out, size_t size)
{
    char target[PATH_MAX];
    fd_path(fd, target);
    const char* name = "?";
    if (target[0]) {
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

namespace {

// OTHER's bytes over the file at path, which stays the same file.
bool rewrite_with(const char* path, const char* other)
{
    int in = real::open(other, O_RDONLY | O_CLOEXEC);
    int out = in < 0 ? -1 : real::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    bool ok = out >= 0;
    char buf[65536];
    ssize_t n;
    while (ok && (n = read(in, buf, sizeof buf)) > 0)
        ok = write(out, buf, size_t(n)) == n;
    if (in >= 0)
        real::close(in);
    if (out >= 0)
        ok = real::close(out) == 0 && ok;
    return ok;
}

} // namespace

void file_change_point(FILE* f, bool closing)
{
    static uint32_t reads;
    static bool done;
    const FaultSet& faults = g_vpc.faults;
    if (!g_vpc.active || done || faults.file_change == kFileKept || !f || closing != (faults.file_change_at == 0))
        return;
    char path[PATH_MAX];
    fd_path(fileno(f), path);
    const char* slash = std::strrchr(path, '/');
    if (!slash || std::strcmp(slash + 1, faults.file_change_name) != 0)
        return;
    if (!closing && ++reads != faults.file_change_at)
        return;
    done = true;
    char other[PATH_MAX];
    std::snprintf(other, sizeof other, "%.*s/%s", int(slash - path), path, faults.file_change_other);
    bool swap = faults.file_change == kFileSwap;
    bool ok = swap ? renameat2(AT_FDCWD, path, AT_FDCWD, other, RENAME_EXCHANGE) == 0 : rewrite_with(path, other);
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, swap ? "file_swap " : "file_rewrite ");
    lb_str(&lb, faults.file_change_name);
    lb_str(&lb, " ");
    lb_str(&lb, faults.file_change_other);
    lb_str(&lb, ok ? " = 0" : " = -1");
    trace_line(&lb);
}

VPC_EXPORT int fsync(int fd) { return do_sync(fd, "fsync", real::fsync); }

VPC_EXPORT int fdatasync(int fd) { return do_sync(fd, "fdatasync", real::fdatasync); }

size_t fread_with_faults(void* ptr, size_t size, size_t count, FILE* f)
{
    resolve_real();
    file_change_point(f, false);
    const FaultSet& faults = g_vpc.faults;
    if (!g_vpc.active || !faults.file_read_fail[0] || size == 0 || !f)
        return real::fread(ptr, size, count, f);
    off_t at = ftello(f);
    uint64_t bad = faults.file_read_at;
    if (at < 0 || bad < uint64_t(at) || bad >= uint64_t(at) + uint64_t(size) * count)
        return real::fread(ptr, size, count, f);
    char name[NAME_MAX + 1];
    fd_name(fileno(f), name, sizeof name);
    if (!fault_name_matches(faults.file_read_fail, name))
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
