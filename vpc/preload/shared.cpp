// Machine state that every process on the machine sees at once, as a real PC
// has one kernel and one firmware: the machine lock, the flash handler's open
// state, and the module's open files with their buffers. All of it lives in
// the state directory; the lock is a POSIX record lock on "machine.lock",
// which belongs to the process (a child does not inherit it) and goes when
// the process dies, however it dies.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "real.h"
#include "state.h"

namespace {

constexpr char kOpen[] = "open = 1\n";
constexpr char kClosed[] = "open = 0\n";

void set_lock(short type)
{
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    while (real::fcntl(g_vpc.lock_fd, type == F_UNLCK ? F_SETLK : F_SETLKW, &fl) < 0 && errno == EINTR) {
    }
}

bool process_alive(int pid) { return kill(pid, 0) == 0 || errno == EPERM; }

} // namespace

void machine_lock()
{
    if (g_vpc.lock_depth++ > 0 || g_vpc.lock_fd < 0)
        return;
    int saved = errno;
    set_lock(F_WRLCK);
    errno = saved;
}

void machine_unlock()
{
    if (g_vpc.lock_depth == 0 || --g_vpc.lock_depth > 0 || g_vpc.lock_fd < 0)
        return;
    int saved = errno;
    set_lock(F_UNLCK);
    errno = saved;
}

// Read and written from the port trap handler, through the mapping.
bool handler_is_open() { return std::memcmp(g_vpc.smm, kOpen, kSmmSize) == 0; }

void set_handler_open(bool open)
{
    if (open != handler_is_open())
        std::memcpy(g_vpc.smm, open ? kOpen : kClosed, kSmmSize);
}

void read_open_files(OpenFiles* t)
{
    std::string text;
    read_state_file("node-files", &text);
    parse_open_files(text, t);
    // The kernel released the files of a process that exited, even one killed.
    int kept = 0;
    for (int i = 0; i < t->count; ++i)
        if (process_alive(t->f[i].pid))
            t->f[kept++] = t->f[i];
    t->count = kept;
}

void write_open_files(const OpenFiles& t) { write_state_file("node-files", open_files_text(t)); }

OpenFile* find_open_file(OpenFiles* t, int pid, int file)
{
    for (int i = 0; i < t->count; ++i)
        if (t->f[i].pid == pid && t->f[i].file == file)
            return &t->f[i];
    return nullptr;
}

void release_open_file(int pid, int file)
{
    machine_lock();
    OpenFiles t;
    read_open_files(&t);
    if (OpenFile* f = find_open_file(&t, pid, file)) {
        *f = t.f[t.count - 1];
        --t.count;
    }
    write_open_files(t);
    machine_unlock();
}
