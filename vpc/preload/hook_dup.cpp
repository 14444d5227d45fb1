// dup, dup2, dup3 and fcntl's F_DUPFD: the new descriptor is the same open
// file as the old one, so it stays the node or /dev/mem the old one was. The
// library's own descriptors are not the command's: it cannot see or take them.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <fcntl.h>
#include <unistd.h>

#include "real.h"
#include "state.h"

namespace {

// A duplicate made: track it, or undo it when there is no room to.
int followed(int fd, int r)
{
    if (r >= 0 && !follow_dup(fd, r)) {
        real::close(r);
        errno = EMFILE;
        return -1;
    }
    return r;
}

// dup2/dup3 onto fd2: the command's call closes whatever fd2 was.
int dup_onto(int fd, int fd2, int flags, bool is_dup2)
{
    resolve_real();
    if (is_own_fd(fd)) {
        errno = EBADF;
        return -1;
    }
    if (fd == fd2 && is_dup2)
        return real::dup2(fd, fd2);
    if (!move_own_fd(fd2)) {
        errno = EMFILE;
        return -1;
    }
    int r = is_dup2 ? real::dup2(fd, fd2) : real::dup3(fd, fd2, flags);
    if (r < 0)
        return r;
    forget_fd(fd2);
    return followed(fd, r);
}

int do_fcntl(int fd, int cmd, void* arg, int (*fn)(int, int, ...))
{
    resolve_real();
    if (is_own_fd(fd)) {
        errno = EBADF;
        return -1;
    }
    int r = fn(fd, cmd, arg);
    if (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC)
        return followed(fd, r);
    return r;
}

} // namespace

VPC_EXPORT int dup(int fd) noexcept
{
    resolve_real();
    if (is_own_fd(fd)) {
        errno = EBADF;
        return -1;
    }
    return followed(fd, real::dup(fd));
}

VPC_EXPORT int dup2(int fd, int fd2) noexcept { return dup_onto(fd, fd2, 0, true); }

VPC_EXPORT int dup3(int fd, int fd2, int flags) noexcept { return dup_onto(fd, fd2, flags, false); }

VPC_EXPORT int fcntl(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);  // an int or a pointer, passed on as the C library reads it
    va_end(ap);
    resolve_real();
    return do_fcntl(fd, cmd, arg, real::fcntl);
}

VPC_EXPORT int fcntl64(int fd, int cmd, ...)
{
    va_list ap;
    va_start(ap, cmd);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    resolve_real();
    return do_fcntl(fd, cmd, arg, real::fcntl64 ? real::fcntl64 : real::fcntl);
}
