// The module's device node "zorfl": mknod makes a marker file (never a real
// device node), open of a marker file reaches the emulated module, fstat
// shows it as a character device, and two ioctls hand out the buffer.
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "real.h"
#include "state.h"

namespace {

constexpr char kMarker[] = "zorvpc-node ";
constexpr unsigned long kIocAlloc = 0x4160;
constexpr unsigned long kIocFree = 0x4161;

struct Marker {
    char type;  // 'c' or 'b'
    uint32_t major, minor;
};

// Reads "zorvpc-node c 254:0" from an open descriptor.
bool read_marker(int fd, Marker* mk)
{
    char buf[64] = {};
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    if (n < 0 && errno == EBADF) {  // opened write-only: look through a second descriptor
        char p[64];
        std::snprintf(p, sizeof p, "/proc/self/fd/%d", fd);
        int rfd = real::open(p, O_RDONLY | O_CLOEXEC);
        if (rfd < 0)
            return false;
        n = pread(rfd, buf, sizeof buf - 1, 0);
        real::close(rfd);
    }
    if (n < ssize_t(sizeof kMarker) || std::strncmp(buf, kMarker, sizeof kMarker - 1) != 0)
        return false;
    unsigned ma, mi;
    char t;
    if (std::sscanf(buf + sizeof kMarker - 1, "%c %u:%u", &t, &ma, &mi) != 3 || (t != 'c' && t != 'b'))
        return false;
    *mk = Marker{t, ma, mi};
    return true;
}

void trace_open(int r, int err)
{
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, "open zorfl = ");
    if (r >= 0) {
        lb_str(&lb, "ok");
        trace_line(&lb);
    } else {
        trace_result(&lb, r, err);
    }
}

bool is_real_device(const struct stat& st) { return S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode); }

int open_node(const char* path, int flags, mode_t mode, int (*fn)(const char*, int, ...))
{
    struct stat st;
    if (!g_vpc.active) {
        // No machine: nothing may reach a driver; a marker file opens nowhere.
        if (stat(path, &st) == 0 && is_real_device(st)) {
            errno = ENXIO;
            return -1;
        }
        int fd = fn(path, flags, mode);
        Marker mk;
        if (fd >= 0 && read_marker(fd, &mk)) {
            real::close(fd);
            errno = ENXIO;
            return -1;
        }
        return fd;
    }
    if (g_vpc.faults.node_unopenable || g_vpc.faults.nodev) {
        trace_open(-1, EACCES);
        errno = EACCES;
        return -1;
    }
    // A real device node under that name is never opened: as if its driver
    // were not loaded in this kernel. A symlink with O_NOFOLLOW still gives ELOOP.
    bool nofollow_link = (flags & O_NOFOLLOW) && lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
    if (!nofollow_link && stat(path, &st) == 0 && is_real_device(st)) {
        trace_open(-1, ENXIO);
        errno = ENXIO;
        return -1;
    }
    int fd = fn(path, flags, mode);
    int err = errno;
    if (fd < 0) {
        trace_open(fd, err);
        errno = err;
        return fd;
    }
    Marker mk;
    bool device = read_marker(fd, &mk);
    NodeFd* slot = nullptr;
    for (NodeFd& n : g_vpc.nodes)
        if (n.fd < 0 && !slot)
            slot = &n;
    int refuse = device && !slot ? EMFILE : 0;
    NodeFd nf{fd, device, device ? mk.major : 0, device ? mk.minor : 0, getpid(), ++g_vpc.next_file};
    if (device && !refuse) {
        // The module's open: machine-wide, one more user of the module.
        machine_lock();
        ModuleState ms{};
        OpenFiles t;
        read_open_files(&t);
        if (mk.type != 'c' || !read_module_state(&ms) || !ms.loaded || ms.major != mk.major)
            refuse = ENXIO;
        else if (t.count >= kMaxOpenFiles)
            refuse = ENFILE;
        else {
            t.f[t.count++] = OpenFile{nf.pid, nf.file, 0, 0};
            write_open_files(t);
        }
        machine_unlock();
    }
    if (refuse) {
        real::close(fd);
        trace_open(-1, refuse);
        errno = refuse;
        return -1;
    }
    if (slot)
        *slot = nf;
    trace_open(fd, 0);
    errno = err;
    return fd;
}

int do_open(const char* path, int flags, mode_t mode, int (*fn)(const char*, int, ...))
{
    if (is_node_path(path))
        return open_node(path, flags, mode, fn);
    if (is_lock_path(path))
        return open_lock_path(path, flags, mode, fn);
    if (proc_unmounted(path)) {
        errno = ENOENT;
        return -1;
    }
    if (is_raw_hw_device(path)) {
        errno = EACCES;
        return -1;
    }
    int fd = fn(path, flags, mode);
    swap_after_check(path);
    return fd;
}

mode_t mode_arg(int flags, va_list ap)
{
    return (flags & (O_CREAT | __O_TMPFILE)) ? mode_t(va_arg(ap, unsigned)) : 0;
}

template <typename Stat>
int do_fstat(int fd, Stat* st, int (*fn)(int, Stat*))
{
    resolve_real();
    NodeFd* n = g_vpc.active ? find_node(fd) : nullptr;
    int r = fn(fd, st);
    if (!n)
        return r;
    int err = errno;
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, "fstat zorfl = ");
    if (r != 0) {
        trace_result(&lb, r, err);
    } else if (n->device) {
        st->st_mode = S_IFCHR | (st->st_mode & 07777);
        st->st_rdev = makedev(n->major, n->minor);
        st->st_size = 0;
        st->st_blocks = 0;
        lb_str(&lb, "chr ");
        lb_dec(&lb, n->major);
        lb_str(&lb, ":");
        lb_dec(&lb, n->minor);
        trace_line(&lb);
    } else {
        lb_str(&lb, S_ISREG(st->st_mode) ? "reg" : S_ISDIR(st->st_mode) ? "dir" : "other");
        trace_line(&lb);
    }
    errno = err;
    return r;
}

int fake_mknod(int dirfd, const char* path, mode_t mode, dev_t dev)
{
    if (!g_vpc.active) {
        errno = EPERM;
        return -1;
    }
    int fd = real::openat(dirfd, path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 07777);
    int r = 0, err = 0;
    if (fd < 0) {
        r = -1;
        err = errno;
    } else {
        char text[64];
        int n = std::snprintf(text, sizeof text, "%s%c %u:%u\n", kMarker, S_ISCHR(mode) ? 'c' : 'b', major(dev),
                              minor(dev));
        ssize_t w = write(fd, text, size_t(n));
        (void)w;
        real::close(fd);
    }
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, "mknod ");
    lb_str(&lb, is_node_path(path) ? "zorfl" : path);
    lb_str(&lb, " ");
    lb_hex(&lb, mode, 1);
    lb_str(&lb, " ");
    lb_dec(&lb, major(dev));
    lb_str(&lb, ":");
    lb_dec(&lb, minor(dev));
    lb_str(&lb, " = ");
    trace_result(&lb, r, err);
    errno = err;
    return r;
}

// The first buffer address no open file holds, or 0 when all are taken.
uint32_t free_buffer(const OpenFiles& t)
{
    for (uint32_t k = 0; k < kBufferSlots; ++k) {
        uint32_t phys = kBufferPhys + k * kBufferMax;
        bool taken = false;
        for (int i = 0; i < t.count; ++i)
            taken = taken || t.f[i].phys == phys;
        if (!taken)
            return phys;
    }
    return 0;
}

// One buffer per open file, each at its own physical address.
int buffer_request(NodeFd* n, unsigned long request, uint32_t size, uint32_t* phys_out)
{
    OpenFiles t;
    read_open_files(&t);
    OpenFile* f = find_open_file(&t, n->pid, n->file);
    if (request == kIocAlloc) {
        if (g_vpc.faults.alloc_fail)
            return ENOMEM;
        if (size == 0 || size > kBufferMax)
            return EINVAL;
        if (!f)
            return ENODEV;  // the machine was rebooted under this process
        if (f->phys)
            return EBUSY;
        uint32_t phys = free_buffer(t);
        if (!phys)
            return ENOMEM;
        std::memset(g_vpc.phys + phys, 0, (size + 4095u) & ~4095u);
        f->phys = phys;
        f->size = size;
        write_open_files(t);
        *phys_out = phys;
        return 0;
    }
    if (!f || !f->phys)
        return ENOENT;
    // A refused free still gives the memory back: the next alloc works.
    f->phys = 0;
    f->size = 0;
    write_open_files(t);
    return g_vpc.faults.free_fail ? EIO : 0;
}

int node_ioctl(NodeFd* n, unsigned long request, void* arg)
{
    uint32_t* req = static_cast<uint32_t*>(arg);
    int r = -1, err = 0;
    uint32_t size = req ? req[0] : 0, phys = 0;
    if (request != kIocAlloc && request != kIocFree)
        err = ENOTTY;
    else if (!req)
        err = EFAULT;
    else {
        machine_lock();
        err = buffer_request(n, request, size, &phys);
        machine_unlock();
        if (err == 0) {
            r = 0;
            if (request == kIocAlloc)
                req[2] = phys;
        }
    }
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, "ioctl ");
    lb_hex(&lb, request, 1);
    if (request == kIocAlloc || request == kIocFree) {
        lb_str(&lb, " size=");
        lb_dec(&lb, size);
    }
    lb_str(&lb, " = ");
    lb_dec(&lb, r);
    if (r < 0) {
        lb_str(&lb, " ");
        lb_errno(&lb, err);
    } else if (request == kIocAlloc) {
        lb_str(&lb, " phys=");
        lb_hex(&lb, phys, 8);
    }
    trace_line(&lb);
    errno = err;
    return r;
}

} // namespace

static int open_unsignalled(const char* path, int flags, mode_t mode)
{
    resolve_real();
    return do_open(path, flags, mode, real::open);
}

VPC_EXPORT int open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return signalled("open", open_unsignalled(path, flags, mode));
}

static int open64_unsignalled(const char* path, int flags, mode_t mode)
{
    resolve_real();
    return do_open(path, flags, mode, real::open64);
}

VPC_EXPORT int open64(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return signalled("open", open64_unsignalled(path, flags, mode));
}

static int fstat_unsignalled(int fd, struct stat* st) noexcept { return do_fstat(fd, st, real::fstat); }

VPC_EXPORT int fstat(int fd, struct stat* st) noexcept
{
    return signalled("fstat", fstat_unsignalled(fd, st));
}

static int fstat64_unsignalled(int fd, struct stat64* st) noexcept { return do_fstat(fd, st, real::fstat64); }

VPC_EXPORT int fstat64(int fd, struct stat64* st) noexcept
{
    return signalled("fstat", fstat64_unsignalled(fd, st));
}

// lstat of the node's name sees a marker file as the device it stands for, as the tool checks
// what it is about to remove.
template <typename Stat>
int do_lstat(const char* path, Stat* st, int (*fn)(const char*, Stat*))
{
    resolve_real();
    char mapped[PATH_MAX];
    if (is_lock_path(path) && !map_lock_path(path, mapped))
        return -1;
    if (proc_unmounted(path)) {
        errno = ENOENT;
        return -1;
    }
    int r = fn(is_lock_path(path) ? mapped : path, st);
    swap_after_check(path);
    if (r != 0 || !g_vpc.active || !is_node_path(path) || !S_ISREG(st->st_mode))
        return r;
    int fd = real::open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    Marker mk;
    if (fd >= 0 && read_marker(fd, &mk)) {
        st->st_mode = (mk.type == 'c' ? S_IFCHR : S_IFBLK) | (st->st_mode & 07777);
        st->st_rdev = makedev(mk.major, mk.minor);
        st->st_size = 0;
    }
    if (fd >= 0)
        real::close(fd);
    return r;
}

static int lstat_unsignalled(const char* path, struct stat* st) noexcept { return do_lstat(path, st, real::lstat); }

VPC_EXPORT int lstat(const char* path, struct stat* st) noexcept
{
    return signalled("lstat", lstat_unsignalled(path, st));
}

static int lstat64_unsignalled(const char* path, struct stat64* st) noexcept { return do_lstat(path, st, real::lstat64); }

VPC_EXPORT int lstat64(const char* path, struct stat64* st) noexcept
{
    return signalled("lstat", lstat64_unsignalled(path, st));
}

static int mknod_unsignalled(const char* path, mode_t mode, dev_t dev) noexcept
{
    resolve_real();
    if (!S_ISCHR(mode) && !S_ISBLK(mode))
        return real::mknod(path, mode, dev);
    return fake_mknod(AT_FDCWD, path, mode, dev);
}

VPC_EXPORT int mknod(const char* path, mode_t mode, dev_t dev) noexcept
{
    return signalled("mknod", mknod_unsignalled(path, mode, dev));
}

VPC_EXPORT int mknodat(int dirfd, const char* path, mode_t mode, dev_t dev) noexcept
{
    resolve_real();
    if (!S_ISCHR(mode) && !S_ISBLK(mode))
        return real::mknodat(dirfd, path, mode, dev);
    return fake_mknod(dirfd, path, mode, dev);
}

static int remove_unsignalled(const char* path) noexcept
{
    resolve_real();
    int r = real::remove(path);
    if (g_vpc.active && is_node_path(path)) {
        int err = errno;
        LineBuf lb;
        lb_init(&lb);
        lb_str(&lb, "remove zorfl = ");
        trace_result(&lb, r, err);
        errno = err;
    }
    return r;
}

VPC_EXPORT int remove(const char* path) noexcept
{
    return signalled("remove", remove_unsignalled(path));
}

static int close_unsignalled(int fd)
{
    resolve_real();
    if (is_own_fd(fd)) {  // not the command's: on a real machine this number is not open
        errno = EBADF;
        return -1;
    }
    bool node = forget_fd(fd);
    if (!node)
        return real::close(fd);
    int r = real::close(fd);
    int err = errno;
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, "close zorfl = ");
    trace_result(&lb, r, err);
    errno = err;
    return r;
}

VPC_EXPORT int close(int fd)
{
    return signalled("close", close_unsignalled(fd));
}

static int ioctl_unsignalled(int fd, unsigned long request, ...) noexcept
{
    resolve_real();
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    NodeFd* n = g_vpc.active ? find_node(fd) : nullptr;
    if (!n || !n->device)
        return real::ioctl(fd, request, arg);
    return node_ioctl(n, request, arg);
}

VPC_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return signalled("ioctl", ioctl_unsignalled(fd, request, arg));
}
