// A test program that makes the platform calls the way the tool does, one
// action per argument, and prints what each returned. It refuses to run
// unless the virtual PC's library is loaded, so it can never reach hardware.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/io.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <sys/ioctl.h>
#include <vector>

namespace {

FILE* mem;
int memfd = -1;  // what map uses: the stream's descriptor or a duplicate of it
struct Win {
    uint8_t* p;
    size_t len;
};
std::vector<Win> wins;
int node = -1;
uint8_t* nmap;
size_t nmap_len;
uint16_t smi_port = 0xB2;
uint8_t* param;  // FlashParamBlock, once found

const char* ename(int e)
{
    switch (e) {
    case 0: return "0";
    case ENOENT: return "ENOENT";
    case EEXIST: return "EEXIST";
    case ELOOP: return "ELOOP";
    case EISDIR: return "EISDIR";
    case ENXIO: return "ENXIO";
    case EACCES: return "EACCES";
    case EPERM: return "EPERM";
    case EINVAL: return "EINVAL";
    case ENOMEM: return "ENOMEM";
    case EBUSY: return "EBUSY";
    case EIO: return "EIO";
    case ENOTTY: return "ENOTTY";
    default: return "E?";
    }
}

std::vector<uint32_t> nums(const char* s)
{
    std::vector<uint32_t> out;
    while (s && *s) {
        char* end;
        out.push_back(uint32_t(std::strtoul(s, &end, 0)));
        s = *end == ',' ? end + 1 : end;
        if (end == s && *s != ',')
            break;
    }
    return out;
}

uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

uint32_t checksum(const uint8_t* p)
{
    uint32_t s = 0;
    for (int i = 0; i < 1024; i += 4)
        s += le32(p + i);
    return ~s;
}

// The four port instruction forms, each written out so the encoding is known.
uint8_t in_dx(uint16_t port)
{
    uint8_t v;
    __asm__ volatile("inb %w1, %b0" : "=a"(v) : "d"(port));
    return v;
}
void out_dx(uint16_t port, uint8_t v) { __asm__ volatile("outb %b0, %w1" : : "a"(v), "d"(port)); }
uint8_t in_imm71()
{
    uint8_t v;
    __asm__ volatile("inb $0x71, %b0" : "=a"(v));
    return v;
}
void out_imm70(uint8_t v) { __asm__ volatile("outb %b0, $0x70" : : "a"(v)); }
void out_immb2(uint8_t v) { __asm__ volatile("outb %b0, $0xb2" : : "a"(v)); }

// Finds "$QZX" in window 0 (the BIOS segment) the way the tool does.
bool find_param()
{
    if (wins.empty())
        return false;
    for (uint32_t i = 0; i <= 0xFFFA - 14; ++i)
        if (std::memcmp(wins[0].p + i, "$QZX", 4) == 0) {
            param = wins[0].p + i + wins[0].p[i + 4];
            smi_port = uint16_t(wins[0].p[i + 12] | wins[0].p[i + 13] << 8);
            return true;
        }
    return false;
}

void put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

int act(const std::string& a)
{
    size_t eq = a.find('=');
    std::string name = a.substr(0, eq);
    const char* arg = eq == std::string::npos ? "" : a.c_str() + eq + 1;
    std::vector<uint32_t> n = nums(arg);
    auto need = [&](size_t k) {
        if (n.size() < k) {
            std::printf("bad arguments for %s\n", name.c_str());
            std::exit(2);
        }
    };
    errno = 0;
    if (name == "iopl") {
        need(1);
        int r = iopl(int(n[0]));
        std::printf("iopl %d %s\n", r, ename(r ? errno : 0));
    } else if (name == "rflags-iopl") {
        unsigned long f;
        __asm__ volatile("pushf\n\tpop %0" : "=r"(f));
        std::printf("rflags-iopl %lu\n", (f >> 12) & 3);
    } else if (name == "memopen") {
        mem = std::fopen("/dev/mem", "r+");
        memfd = mem ? fileno(mem) : -1;
        std::printf("memopen %s\n", mem ? "ok" : ename(errno));
    } else if (name == "memclose") {
        std::printf("memclose %d\n", std::fclose(mem));
    } else if (name == "map") {  // map=PHYS,LEN
        need(2);
        void* p = mmap(nullptr, n[1], PROT_READ | PROT_WRITE, MAP_SHARED, memfd, off_t(n[0]));
        if (p == MAP_FAILED) {
            std::printf("map fail %s\n", ename(errno));
        } else {
            wins.push_back({static_cast<uint8_t*>(p), n[1]});
            std::printf("map %zu\n", wins.size() - 1);
        }
    } else if (name == "unmap") {  // unmap=WIN
        need(1);
        int r = munmap(wins[n[0]].p, wins[n[0]].len);
        std::printf("unmap %d %s\n", r, ename(r ? errno : 0));
    } else if (name == "peek") {  // peek=WIN,OFF,N
        need(3);
        std::printf("peek");
        for (uint32_t i = 0; i < n[2]; ++i)
            std::printf(" %02x", wins[n[0]].p[n[1] + i]);
        std::printf("\n");
    } else if (name == "poke") {  // poke=WIN,OFF,BYTE...
        need(3);
        for (size_t i = 2; i < n.size(); ++i)
            wins[n[0]].p[n[1] + i - 2] = uint8_t(n[i]);
        std::printf("poke ok\n");
    } else if (name == "devices") {
        FILE* f = std::fopen("/proc/devices", "r");
        if (!f) {
            std::printf("devices %s\n", ename(errno));
        } else {
            char line[128];
            while (std::fgets(line, sizeof line, f))
                if (std::strstr(line, "zorfldrv"))
                    std::printf("devices %s", line);
            std::printf("devices end\n");
            std::fclose(f);
        }
    } else if (name == "mknod") {  // mknod=MAJOR[,MODE]
        need(1);
        mode_t mode = n.size() > 1 ? mode_t(n[1]) : S_IFCHR | 0600;
        int r = mknod("zorfl", mode, makedev(n[0], 0));
        std::printf("mknod %d %s\n", r, ename(r ? errno : 0));
    } else if (name == "open") {
        node = open("zorfl", O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        std::printf("open %s\n", node >= 0 ? "ok" : ename(errno));
    } else if (name == "fstat") {
        struct stat st;
        int r = fstat(node, &st);
        if (r)
            std::printf("fstat %s\n", ename(errno));
        else if (S_ISCHR(st.st_mode))
            std::printf("fstat chr %u:%u %o\n", major(st.st_rdev), minor(st.st_rdev), st.st_mode & 0777);
        else
            std::printf("fstat %s\n", S_ISREG(st.st_mode) ? "reg" : "other");
    } else if (name == "close") {
        std::printf("close %d\n", close(node));
        node = -1;
    } else if (name == "remove") {
        int r = remove("zorfl");
        std::printf("remove %d %s\n", r, ename(r ? errno : 0));
    } else if (name == "alloc" || name == "free") {  // alloc=SIZE
        need(1);
        uint32_t req[6] = {n[0], 0xAAAAAAAA, 0, 0xBBBBBBBB, 0xCCCCCCCC, 0xDDDDDDDD};
        int r = ioctl(node, name == "alloc" ? 0x4160 : 0x4161, req);
        std::printf("%s %d %s phys=0x%08x rest=%08x,%08x,%08x,%08x\n", name.c_str(), r, ename(r ? errno : 0), req[2],
                    req[1], req[3], req[4], req[5]);
    } else if (name == "nmap") {  // nmap=LEN
        need(1);
        void* p = mmap(nullptr, n[0], PROT_READ | PROT_WRITE, MAP_SHARED, node, 0);
        if (p == MAP_FAILED) {
            std::printf("nmap fail %s\n", ename(errno));
        } else {
            nmap = static_cast<uint8_t*>(p);
            nmap_len = n[0];
            std::printf("nmap ok\n");
        }
    } else if (name == "nunmap") {
        std::printf("nunmap %d\n", munmap(nmap, nmap_len));
    } else if (name == "npoke") {  // npoke=OFF,BYTE...
        need(2);
        for (size_t i = 1; i < n.size(); ++i)
            nmap[n[0] + i - 1] = uint8_t(n[i]);
        std::printf("npoke ok\n");
    } else if (name == "npeek") {  // npeek=OFF,N
        need(2);
        std::printf("npeek");
        for (uint32_t i = 0; i < n[1]; ++i)
            std::printf(" %02x", nmap[n[0] + i]);
        std::printf("\n");
    } else if (name == "nfill") {  // nfill=BYTE: fill the 1 KB transfer buffer
        need(1);
        std::memset(nmap, int(n[0]), 1024);
        std::printf("nfill ok\n");
    } else if (name == "in") {
        need(1);
        std::printf("in 0x%02x\n", in_dx(uint16_t(n[0])));
    } else if (name == "out") {
        need(2);
        out_dx(uint16_t(n[0]), uint8_t(n[1]));
        std::printf("out ok\n");
    } else if (name == "in71") {
        std::printf("in71 0x%02x\n", in_imm71());
    } else if (name == "out70") {
        need(1);
        out_imm70(uint8_t(n[0]));
        std::printf("out70 ok\n");
    } else if (name == "outb2") {
        need(1);
        out_immb2(uint8_t(n[0]));
        std::printf("outb2 ok\n");
    } else if (name == "glibc-cmos") {  // cmos read through <sys/io.h> inb/outb with constant ports
        need(1);
        outb(uint8_t(n[0]), 0x70);
        std::printf("glibc-cmos 0x%02x\n", inb(0x71));
    } else if (name == "findhdr") {
        bool ok = find_param();
        std::printf("findhdr %s port=0x%x\n", ok ? "ok" : "none", smi_port);
    } else if (name == "setbuf") {  // setbuf=PHYS: FlashParamBlock word 0
        need(1);
        put32(param, n[0]);
        std::printf("setbuf ok\n");
    } else if (name == "smi") {  // smi=CMD[,ADDR,LEN[,CHECKSUM]]: no checksum: that of the buffer
        need(1);
        if (n.size() >= 3) {
            put32(param + 4, n[1]);
            put32(param + 8, n[2]);
        }
        if (n.size() >= 4)
            put32(param + 12, n[3]);
        else if (n[0] == 0x23)
            put32(param + 12, checksum(nmap));
        out_dx(smi_port, uint8_t(n[0]));
        uint32_t sum = le32(param + 12);
        std::printf("smi 0x%02x status=%u sumok=%d\n", n[0], param[16], nmap ? int(sum == checksum(nmap)) : -1);
    } else if (name == "system") {
        int r = std::system(arg);
        std::printf("system %d\n", WIFEXITED(r) ? WEXITSTATUS(r) : -1);
    } else if (name == "dup" || name == "memdup") {  // dup=WAY: the node moves to a duplicate; memdup keeps the stream
        std::string way = arg;
        int fd = name == "dup" ? node : memfd, r = -1, onto = name == "dup" ? 40 : 42;
        if (way == "dup")
            r = dup(fd);
        else if (way == "dup2")
            r = dup2(fd, onto);
        else if (way == "dup3")
            r = dup3(fd, onto + 1, O_CLOEXEC);
        else if (way == "F_DUPFD")
            r = fcntl(fd, F_DUPFD, 50);
        else if (way == "F_DUPFD_CLOEXEC")
            r = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        std::printf("%s %s\n", name.c_str(), r >= 0 ? "ok" : ename(errno));
        if (r >= 0 && name == "dup") {
            close(node);
            node = r;
        } else if (r >= 0) {
            memfd = r;
        }
    } else if (name == "clobber") {  // takes and closes descriptors 100-119, where a library might keep its own
        for (int fd = 100; fd < 120; ++fd)
            if (dup2(2, fd) == fd)
                close(fd);
    } else if (name == "touch") {  // touch=NAME: tells a probe running beside this one where it is
        close(open(arg, O_WRONLY | O_CREAT, 0644));
    } else if (name == "wait") {  // wait=NAME: until the other probe touches NAME
        for (int i = 0; access(arg, F_OK) != 0; ++i) {
            if (i == 2000) {
                std::printf("wait timeout\n");
                return 2;
            }
            usleep(10000);
        }
    } else if (name == "exists") {
        std::printf("exists %s %s\n", arg, access(arg, F_OK) == 0 ? "yes" : "no");
    } else if (name == "holdlock") {  // holdlock=MS: holds the machine lock as a running SMI would
        need(1);
        const char* dir = std::getenv("ZORVPC_STATE");
        std::string path = std::string(dir ? dir : ".") + "/machine.lock";
        int fd = open(path.c_str(), O_RDWR);
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        int r = fcntl(fd, F_SETLKW, &fl);
        close(open("locked", O_WRONLY | O_CREAT, 0644));
        usleep(n[0] * 1000);
        close(open("released", O_WRONLY | O_CREAT, 0644));
        close(fd);  // and with it the lock
        std::printf("holdlock %d\n", r);
    } else if (name == "lowfd") {  // the lowest free descriptor, into ./lowfd.out: 1 and 2 may be closed
        int fd = open("/dev/null", O_RDONLY);
        int out = open("lowfd.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0)
            dprintf(out, "lowfd %d\n", fd);
        close(out);
        close(fd);
    } else if (name == "segv") {
        volatile int* p = nullptr;
        *p = 1;
    } else {
        std::printf("unknown action %s\n", name.c_str());
        return 2;
    }
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // Never without the virtual PC: iopl and port access would be real.
    if (!dlsym(RTLD_DEFAULT, "zorvpc_loaded")) {
        std::fprintf(stderr, "vpcprobe: libzorvpc.so is not loaded; refusing to run\n");
        return 3;
    }
    for (int i = 1; i < argc; ++i)
        if (int r = act(argv[i]))
            return r;
    return 0;
}
