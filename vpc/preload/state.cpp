// Attaching to the machine in the state directory at load time.
#include "state.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <fcntl.h>

#include "real.h"

VpcState g_vpc;

void install_port_trap();  // ports.cpp

void state_path(char* out, const char* name)
{
    // attach() keeps dir well below PATH_MAX; names are short and fixed.
    size_t d = std::strlen(g_vpc.dir), n = std::strlen(name);
    if (d + 1 + n >= PATH_MAX) {
        out[0] = '\0';
        return;
    }
    std::memcpy(out, g_vpc.dir, d);
    out[d] = '/';
    std::memcpy(out + d + 1, name, n + 1);
}

namespace {

// A copy of fd at kOwnFdBase or above, close-on-exec; with a descriptor limit
// below the base, anywhere but 0, 1 and 2. -1 when there is no room.
int dup_high(int fd)
{
    int high = real::fcntl(fd, F_DUPFD_CLOEXEC, kOwnFdBase);
    return high >= 0 ? high : real::fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

int* own_fd_slot(int fd)
{
    int* slots[] = {&g_vpc.trace_fd, &g_vpc.cmos_fd, &g_vpc.phys_fd, &g_vpc.flash_fd, &g_vpc.lock_fd, &g_vpc.smm_fd};
    for (int* s : slots)
        if (fd >= 0 && *s == fd)
            return s;
    return nullptr;
}

} // namespace

int park_fd(int fd)
{
    if (fd < 0 || fd >= kOwnFdBase)
        return fd;
    int high = dup_high(fd);
    real::close(fd);
    return high;
}

bool is_own_fd(int fd) { return own_fd_slot(fd) != nullptr; }

bool move_own_fd(int fd)
{
    int* slot = own_fd_slot(fd);
    if (!slot)
        return true;
    int high = dup_high(fd);
    if (high < 0)
        return false;
    real::close(fd);
    *slot = high;
    return true;
}

void trace_line(LineBuf* line)
{
    if (!g_vpc.active || g_vpc.trace_fd < 0)
        return;
    int saved = errno;
    line->text[line->len] = '\n';
    ssize_t w = write(g_vpc.trace_fd, line->text, size_t(line->len + 1));
    (void)w;
    line->text[line->len] = '\0';
    errno = saved;
}

void fault_fired(LineBuf* line)
{
    if (!g_vpc.active || !g_vpc.fired[0])
        return;
    int saved = errno;
    char path[PATH_MAX];
    state_path(path, g_vpc.fired);
    // Only into the file the launcher made for this run: nothing is created here.
    int fd = real::open(path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
        line->text[line->len] = '\n';
        ssize_t w = write(fd, line->text, size_t(line->len + 1));
        (void)w;
        line->text[line->len] = '\0';
        real::close(fd);
    }
    errno = saved;
}

void trace_result(LineBuf* line, int r, int err)
{
    lb_dec(line, r);
    if (r < 0) {
        lb_str(line, " ");
        lb_errno(line, err);
    }
    trace_line(line);
}

bool read_state_file(const char* name, std::string* out)
{
    char path[PATH_MAX];
    state_path(path, name);
    int fd = real::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[4096];
    ssize_t n;
    out->clear();
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out->append(buf, size_t(n));
    real::close(fd);
    return n == 0;
}

bool write_state_file(const char* name, const std::string& text)
{
    char path[PATH_MAX];
    state_path(path, name);
    int fd = real::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    return real::close(fd) == 0 && ok;
}

namespace {

void complain(const char* what)
{
    std::string msg = std::string("zorvpc: ") + what + " (" + g_vpc.dir + "); no machine attached\n";
    ssize_t w = write(2, msg.data(), msg.size());
    (void)w;
}

// Maps a whole state file; its size must be exactly want.
uint8_t* map_file(const char* name, size_t want, int* fd_out)
{
    char path[PATH_MAX];
    state_path(path, name);
    int fd = real::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (real::fstat(fd, &st) != 0 || size_t(st.st_size) != want) {
        real::close(fd);
        return nullptr;
    }
    void* p = real::mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        real::close(fd);
        return nullptr;
    }
    *fd_out = park_fd(fd);
    return static_cast<uint8_t*>(p);
}

// A process may inherit a raised I/O privilege level or a port bitmap from its
// parent; then port instructions would reach the hardware without trapping.
// Dropping privilege needs none, so do it before anything else runs.
void drop_inherited_io_privilege()
{
    unsigned long flags;
    __asm__ volatile("pushf\n\tpop %0" : "=r"(flags));
    if (flags & 0x3000)
        syscall(SYS_iopl, 0);
    syscall(SYS_ioperm, 0UL, 65536UL, 0);
}

void attach()
{
    const char* dir = std::getenv("ZORVPC_STATE");
    if (!dir || !*dir || std::strlen(dir) >= sizeof g_vpc.dir - 32)
        return;
    std::strcpy(g_vpc.dir, dir);
    // A name in the state directory, never a path elsewhere.
    if (const char* fired = std::getenv("ZORVPC_FIRED");
        fired && *fired && !std::strchr(fired, '/') && std::strlen(fired) < sizeof g_vpc.fired)
        std::strcpy(g_vpc.fired, fired);

    std::string text, err;
    if (!read_state_file("machine", &text)) {
        complain("no machine description");
        return;
    }
    Machine* m = new Machine;
    if (!parse_machine(text, m, &err)) {
        complain(("bad machine description: " + err).c_str());
        return;
    }
    g_vpc.faults = m->faults;
    if (const char* f = std::getenv("ZORVPC_FAULTS")) {
        std::string all = f;
        size_t start = 0;
        while (start <= all.size()) {
            size_t end = all.find(';', start);
            if (end == std::string::npos)
                end = all.size();
            std::string one = all.substr(start, end - start);
            char e[96];
            if (!one.empty() && !fault_apply(&g_vpc.faults, one.c_str(), e, sizeof e)) {
                complain(e);
                return;
            }
            start = end + 1;
        }
    }
    g_vpc.phys = map_file("physmem", kPhysMemSize, &g_vpc.phys_fd);
    g_vpc.flash_size = rom_size(*m);
    g_vpc.flash = map_file("flash.bin", g_vpc.flash_size, &g_vpc.flash_fd);
    char path[PATH_MAX];
    state_path(path, "cmos.bin");
    g_vpc.cmos_fd = park_fd(real::open(path, O_RDWR | O_CLOEXEC));
    state_path(path, "trace");
    g_vpc.trace_fd = park_fd(real::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    state_path(path, "machine.lock");
    g_vpc.lock_fd = park_fd(real::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    // The handler's state is read and written on every SMI: mapped, not read.
    std::string smm;
    if (!read_state_file("smm", &smm) || smm.size() != kSmmSize)
        write_state_file("smm", "open = 0\n");
    g_vpc.smm = map_file("smm", kSmmSize, &g_vpc.smm_fd);
    if (!g_vpc.phys || !g_vpc.flash || !g_vpc.smm || g_vpc.phys_fd < 0 || g_vpc.flash_fd < 0 || g_vpc.cmos_fd < 0 ||
        g_vpc.trace_fd < 0 || g_vpc.lock_fd < 0 || g_vpc.smm_fd < 0) {
        complain("state files missing or of the wrong size");
        return;
    }
    g_vpc.machine = m;
    g_vpc.info_phys = m->info_paragraph * 16;
    flash_handler_init(&g_vpc.handler, *m, g_vpc.phys, kPhysMemSize, g_vpc.flash,
                       header_place(*m, g_vpc.faults).param_phys, &g_vpc.faults);
    install_port_trap();
    g_vpc.active = true;
}

__attribute__((constructor)) void vpc_init()
{
    resolve_real();
    drop_inherited_io_privilege();
    g_vpc.trace_fd = g_vpc.cmos_fd = g_vpc.phys_fd = g_vpc.flash_fd = g_vpc.lock_fd = g_vpc.smm_fd = -1;
    for (NodeFd& n : g_vpc.nodes)
        n.fd = -1;
    for (int& m : g_vpc.mem_fds)
        m = -1;
    attach();
}

} // namespace

bool read_module_state(ModuleState* s)
{
    std::string text;
    return read_state_file("module", &text) && parse_module_state(text, s);
}

void write_module_state(const ModuleState& s) { write_state_file("module", module_state_text(s)); }

bool is_node_path(const char* path)
{
    return path && (std::strcmp(path, "zorfl") == 0 || std::strcmp(path, "./zorfl") == 0);
}

NodeFd* find_node(int fd)
{
    if (fd < 0)
        return nullptr;
    for (NodeFd& n : g_vpc.nodes)
        if (n.fd == fd)
            return &n;
    return nullptr;
}

bool is_mem_fd(int fd)
{
    if (fd < 0)
        return false;
    for (FILE* f : g_vpc.mem_streams)
        if (f && fileno(f) == fd)
            return true;
    for (int m : g_vpc.mem_fds)
        if (m == fd)
            return true;
    return false;
}

bool follow_dup(int fd, int fd2)
{
    if (!g_vpc.active || fd == fd2)
        return true;
    if (is_mem_fd(fd)) {
        for (int& m : g_vpc.mem_fds)
            if (m < 0) {
                m = fd2;
                return true;
            }
        return false;
    }
    NodeFd* n = find_node(fd);
    if (!n)
        return true;
    for (NodeFd& slot : g_vpc.nodes)
        if (slot.fd < 0) {
            slot = *n;
            slot.fd = fd2;
            return true;
        }
    return false;
}

bool forget_fd(int fd)
{
    if (!g_vpc.active || fd < 0)
        return false;
    for (int& m : g_vpc.mem_fds)
        if (m == fd)
            m = -1;
    NodeFd* n = find_node(fd);
    if (!n)
        return false;
    NodeFd gone = *n;
    n->fd = -1;
    for (const NodeFd& other : g_vpc.nodes)
        if (other.fd >= 0 && other.pid == gone.pid && other.file == gone.file)
            return true;
    // The last descriptor of the open file: the module's release frees its buffer. A child
    // closing what it inherited leaves the file to its opener, which still holds it.
    if (gone.device && gone.pid == getpid())
        release_open_file(gone.pid, gone.file);
    return true;
}

bool is_raw_hw_device(const char* path)
{
    if (!path)
        return false;
    if (!std::strcmp(path, "/dev/mem") || !std::strcmp(path, "/dev/kmem") || !std::strcmp(path, "/dev/port"))
        return true;
    struct stat st;
    // The memory driver's nodes, whatever they are called: mem, kmem, port.
    if (stat(path, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == 1) {
        unsigned mi = minor(st.st_rdev);
        return mi == 1 || mi == 2 || mi == 4;
    }
    return false;
}

VPC_EXPORT int zorvpc_loaded(void) { return 1; }
VPC_EXPORT int zorvpc_active(void) { return g_vpc.active ? 1 : 0; }
