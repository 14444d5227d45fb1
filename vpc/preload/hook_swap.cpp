// Another user's move between the tool's check of a module file and its load: right after the
// first open or lstat of the named file in the working directory, it trades places with
// NAME.swap, as renameat2(RENAME_EXCHANGE) by the directory's owner would.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

#include "state.h"

void swap_after_check(const char* path)
{
    const char* name = g_vpc.faults.swap_at_check;
    if (!g_vpc.active || !name[0] || g_vpc.swapped || !path)
        return;
    if (!std::strncmp(path, "./", 2))
        path += 2;
    if (std::strcmp(path, name) != 0)
        return;
    int err = errno;
    g_vpc.swapped = true;
    char other[NAME_MAX + 8];
    std::snprintf(other, sizeof other, "%s.swap", name);
    int r = renameat2(AT_FDCWD, name, AT_FDCWD, other, RENAME_EXCHANGE);
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, "swap ");
    lb_str(&lb, name);
    lb_str(&lb, " = ");
    trace_result(&lb, r, errno);
    errno = err;
}
