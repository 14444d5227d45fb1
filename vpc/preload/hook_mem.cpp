// Physical memory: "/dev/mem" opens the state directory's physmem file, and
// mmap of it at an offset maps that physical address. Also the device list.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "real.h"
#include "state.h"

namespace {

void write_device_list()
{
    machine_lock();
    ModuleState ms{};
    bool loaded = read_module_state(&ms) && ms.loaded;
    std::string text = device_list(loaded && !g_vpc.faults.not_listed, ms.major);
    write_state_file("devices", text);
    machine_unlock();
}

// The kernel's own switches that the tool reads, as the machine's faults set them; never the
// host's. Returns nullptr for any other path.
const char* kernel_file_text(const char* path)
{
    const FaultSet& f = g_vpc.faults;
    if (!std::strcmp(path, "/sys/kernel/security/lockdown")) {
        static const char* const modes[] = {"[none] integrity confidentiality\n",
                                            "none [integrity] confidentiality\n",
                                            "none integrity [confidentiality]\n"};
        return modes[f.lockdown >= 0 && f.lockdown <= 2 ? f.lockdown : 0];
    }
    if (!std::strcmp(path, "/sys/module/module/parameters/sig_enforce"))
        return f.sig_enforce ? "Y\n" : "N\n";
    if (!std::strcmp(path, "/proc/sys/kernel/modules_disabled"))
        return f.modules_disabled ? "1\n" : "0\n";
    return nullptr;
}

FILE* open_stream(const char* path, const char* mode, FILE* (*fn)(const char*, const char*))
{
    resolve_real();
    if (const char* text = path ? kernel_file_text(path) : nullptr) {
        if (!g_vpc.active) {
            errno = ENOENT;
            return nullptr;
        }
        // A file of this process's own, so that processes of one machine never race for it.
        char p[PATH_MAX];
        std::string name = std::string("kfile.") + std::to_string(getpid());
        state_path(p, name.c_str());
        FILE* f = nullptr;
        if (FILE* w = fn(p, "w")) {
            std::fputs(text, w);
            std::fclose(w);
            f = fn(p, mode);
            unlink(p);
        }
        int err = errno;
        LineBuf lb;
        lb_init(&lb);
        lb_str(&lb, "fopen ");
        lb_str(&lb, path);
        lb_str(&lb, f ? " = ok" : " = fail");
        trace_line(&lb);
        errno = err;
        return f;
    }
    if (path && std::strcmp(path, "/dev/mem") == 0) {
        if (!g_vpc.active) {
            errno = ENOENT;
            return nullptr;
        }
        FILE* f = nullptr;
        int err = ENOENT;
        if (!g_vpc.faults.no_devmem) {
            char p[PATH_MAX];
            state_path(p, "physmem");
            f = fn(p, mode);
            err = errno;
        }
        if (f) {
            bool kept = false;
            for (FILE*& slot : g_vpc.mem_streams)
                if (!slot && !kept)
                    slot = f, kept = true;
        }
        LineBuf lb;
        lb_init(&lb);
        lb_str(&lb, f ? "fopen /dev/mem = ok" : "fopen /dev/mem = fail");
        trace_line(&lb);
        errno = err;
        return f;
    }
    if (path && std::strcmp(path, "/proc/devices") == 0) {
        if (!g_vpc.active) {
            errno = ENOENT;
            return nullptr;
        }
        write_device_list();
        char p[PATH_MAX];
        state_path(p, "devices");
        FILE* f = fn(p, mode);
        int err = errno;
        LineBuf lb;
        lb_init(&lb);
        lb_str(&lb, f ? "fopen /proc/devices = ok" : "fopen /proc/devices = fail");
        trace_line(&lb);
        errno = err;
        return f;
    }
    if (is_raw_hw_device(path)) {
        errno = EACCES;
        return nullptr;
    }
    return fn(path, mode);
}

Mapping* find_mapping(void* addr)
{
    for (Mapping& m : g_vpc.maps)
        if (m.addr && m.addr == addr)
            return &m;
    return nullptr;
}

void track(void* addr, size_t len, uint32_t offset, int kind)
{
    for (Mapping& m : g_vpc.maps)
        if (!m.addr) {
            m = Mapping{addr, len, offset, kind};
            return;
        }
}

bool covers(uint64_t offset, uint64_t len, uint64_t phys) { return phys >= offset && phys < offset + len; }

void* map_mem(void* addr, size_t len, int prot, int flags, int fd, off_t off)
{
    long page = sysconf(_SC_PAGESIZE);
    void* p = MAP_FAILED;
    int err = EINVAL;
    bool ok = off >= 0 && off % page == 0 && len > 0 && uint64_t(off) + len <= kPhysMemSize;
    if (ok && (((g_vpc.faults.map_fail & kWindowBios) && covers(uint64_t(off), len, kBiosSegment)) ||
               ((g_vpc.faults.map_fail & kWindowInfo) && covers(uint64_t(off), len, g_vpc.info_phys))))
        ok = false;
    if (ok) {
        p = real::mmap(addr, len, prot, flags, fd, off);
        err = errno;
    }
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, "mmap mem ");
    lb_hex(&lb, uint64_t(off), 8);
    lb_str(&lb, " ");
    lb_hex(&lb, len, 1);
    lb_str(&lb, p == MAP_FAILED ? " = fail" : " = ok");
    trace_line(&lb);
    if (p != MAP_FAILED)
        track(p, len, uint32_t(off), kMapMem);
    else
        errno = err;
    return p;
}

// The buffer of the node's open file, mapped where it lives in physical memory.
void* map_node(void* addr, size_t len, int prot, int flags, const NodeFd& n, off_t off)
{
    void* p = MAP_FAILED;
    int err;
    machine_lock();
    OpenFiles t;
    read_open_files(&t);
    machine_unlock();
    const OpenFile* f = find_open_file(&t, n.pid, n.file);
    uint32_t phys = f ? f->phys : 0;
    size_t room = f ? (size_t(f->size) + 4095) & ~size_t(4095) : 0;
    if (g_vpc.faults.node_mmap_fail)
        err = ENOMEM;
    else if (!phys || off != 0 || len == 0 || len > room)
        err = EINVAL;
    else {
        p = real::mmap(addr, len, prot, flags, g_vpc.phys_fd, phys);
        err = errno;
    }
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, "mmap node ");
    lb_hex(&lb, len, 1);
    lb_str(&lb, p == MAP_FAILED ? " = fail" : " = ok");
    trace_line(&lb);
    if (p != MAP_FAILED)
        track(p, len, phys, kMapNode);
    else
        errno = err;
    return p;
}

void* do_mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off)
{
    resolve_real();
    if (g_vpc.active && fd >= 0) {
        if (is_mem_fd(fd))
            return map_mem(addr, len, prot, flags, fd, off);
        NodeFd* n = find_node(fd);
        if (n && n->device)
            return map_node(addr, len, prot, flags, *n, off);
    }
    return real::mmap(addr, len, prot, flags, fd, off);
}

} // namespace

VPC_EXPORT FILE* fopen(const char* path, const char* mode)
{
    resolve_real();
    return open_stream(path, mode, real::fopen);
}

VPC_EXPORT FILE* fopen64(const char* path, const char* mode)
{
    resolve_real();
    return open_stream(path, mode, real::fopen64);
}

VPC_EXPORT int fclose(FILE* f)
{
    resolve_real();
    file_change_point(f, true);
    bool mem = false;
    for (FILE*& slot : g_vpc.mem_streams)
        if (f && slot == f)
            slot = nullptr, mem = true;
    // file_close_fail: the file is closed all the same, as after a close() that reports a
    // delayed write error.
    char name[NAME_MAX + 1] = {};
    const char* failing = g_vpc.faults.file_close_fail;
    if (g_vpc.active && f && !mem && failing[0])
        fd_name(fileno(f), name, sizeof name);
    int r = real::fclose(f);
    if (name[0] && fault_name_matches(failing, name)) {
        LineBuf lb;
        lb_init(&lb);
        lb_str(&lb, "fclose ");
        lb_str(&lb, name);
        lb_str(&lb, " = -1 EIO");
        trace_line(&lb);
        errno = EIO;
        return EOF;
    }
    if (mem) {
        int err = errno;
        LineBuf lb;
        lb_init(&lb);
        lb_str(&lb, "fclose /dev/mem = ");
        lb_dec(&lb, r);
        trace_line(&lb);
        errno = err;
    }
    return r;
}

VPC_EXPORT void* mmap(void* addr, size_t len, int prot, int flags, int fd, off_t off) noexcept
{
    return do_mmap(addr, len, prot, flags, fd, off);
}

VPC_EXPORT void* mmap64(void* addr, size_t len, int prot, int flags, int fd, off64_t off) noexcept
{
    return do_mmap(addr, len, prot, flags, fd, off_t(off));
}

VPC_EXPORT int munmap(void* addr, size_t len) noexcept
{
    resolve_real();
    Mapping* m = g_vpc.active ? find_mapping(addr) : nullptr;
    if (!m)
        return real::munmap(addr, len);
    int r, err = 0;
    uint32_t fail = g_vpc.faults.unmap_fail;
    bool refuse = m->kind == kMapMem
                      ? ((fail & kWindowBios) && covers(m->offset, m->len, kBiosSegment)) ||
                            ((fail & kWindowInfo) && covers(m->offset, m->len, g_vpc.info_phys))
                      : (fail & kWindowNode) != 0;
    if (refuse) {
        r = -1;
        err = EINVAL;
    } else {
        r = real::munmap(addr, len);
        err = errno;
    }
    LineBuf lb;
    lb_init(&lb);
    if (m->kind == kMapMem) {
        lb_str(&lb, "munmap mem ");
        lb_hex(&lb, m->offset, 8);
        lb_str(&lb, " ");
    } else {
        lb_str(&lb, "munmap node ");
    }
    lb_hex(&lb, len, 1);
    lb_str(&lb, " = ");
    lb_dec(&lb, r);
    trace_line(&lb);
    if (r == 0)
        m->addr = nullptr;
    errno = err;
    return r;
}
