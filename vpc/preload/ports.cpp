// Port I/O. Without a raised I/O privilege level (which this library never
// asks the kernel for) every in/out instruction faults; the SIGSEGV handler
// decodes it, plays the device and steps past it. Only read/write/pread/
// pwrite/open/close/fcntl/kill are called from here: no stdio, no allocation.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <cstring>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include "decode.h"
#include "real.h"
#include "state.h"

namespace {

constexpr uint16_t kCmosIndex = 0x70;
constexpr uint16_t kCmosData = 0x71;

alignas(16) char g_altstack[64 * 1024];

void trace_port(const char* dir, uint16_t port, uint8_t value)
{
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, dir);
    lb_hex(&lb, port, 2);
    lb_str(&lb, " ");
    lb_hex(&lb, value, 2);
    trace_line(&lb);
}

uint8_t port_in(uint16_t port)
{
    uint8_t v = 0xFF;
    if (port == kCmosIndex) {
        v = g_vpc.cmos_index;
    } else if (port == kCmosData) {
        if (pread(g_vpc.cmos_fd, &v, 1, g_vpc.cmos_index & 0x7F) != 1)
            v = 0xFF;
    }
    trace_port("in ", port, v);
    return v;
}

// What a fault of the flash handler did to this command, for the launcher to tell.
void note_flash_fault(const SmiResult& r)
{
    const char* key = r.power_loss ? "power_loss"
                                   : flash_fault_fired(g_vpc.faults.flash, r.command, r.address, r.length, r.status);
    if (!key)
        return;
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, "fault ");
    lb_str(&lb, key);
    static const char* const names[] = {"open", "read", "erase", "write", "close"};
    if (r.power_loss) {
        const char* name = names[r.command - 0x20];
        lb_str(&lb, ": power cut at SMI ");
        lb_str(&lb, name);
        lb_str(&lb, " ");
        lb_dec(&lb, g_vpc.faults.power_loss);
        lb_str(&lb, ", address ");
        lb_hex(&lb, r.address, 8);
        lb_str(&lb, ", before that ");
        lb_str(&lb, name);
        lb_str(&lb, " reached the flash; the machine was rebooted");
        fault_fired(&lb);
        return;
    }
    lb_str(&lb, ": SMI ");
    lb_str(&lb, names[r.command - 0x20]);
    lb_str(&lb, " at ");
    lb_hex(&lb, r.address, 8);
    lb_str(&lb, " (");
    lb_dec(&lb, r.length);
    lb_str(&lb, " bytes) ");
    const char* what = key[0] == 'e'                ? "answered status 7, nothing erased"
                       : !std::strcmp(key, "write_fail") ? "answered status 7, nothing written"
                       : key[0] == 'w'                ? "answered 0 but stored a byte with bit 0 wrong"
                       : !std::strcmp(key, "read_fail") ? "answered status 7, nothing read"
                                                        : "answered 0 with a wrong checksum";
    lb_str(&lb, what);
    fault_fired(&lb);
}

// SMM stops every CPU: an SMI runs to its end before any other starts, on any
// process of the machine, and finds the handler as the last one left it.
void run_smi(uint8_t command)
{
    machine_lock();
    g_vpc.handler.core.open = handler_is_open();
    SmiResult r = flash_smi(&g_vpc.handler, command);
    if (!r.power_loss)
        set_handler_open(g_vpc.handler.core.open);
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, "smi ");
    lb_hex(&lb, command, 2);
    if (r.has_range) {
        lb_str(&lb, " addr=");
        lb_hex(&lb, r.address, 8);
        lb_str(&lb, " len=");
        lb_dec(&lb, r.length);
    }
    note_flash_fault(r);
    if (r.power_loss) {
        lb_str(&lb, " power-loss");
        trace_line(&lb);
        // The machine loses power before this write lands; the launcher reboots it.
        char path[PATH_MAX];
        state_path(path, "power-lost");
        real::close(real::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        kill(getpid(), SIGKILL);
        for (;;)
            pause();
    }
    if (r.ignored) {
        lb_str(&lb, " ignored");
    } else {
        lb_str(&lb, " status=");
        lb_dec(&lb, r.status);
    }
    trace_line(&lb);
    machine_unlock();
    signal_at_smi(command);
}

void port_out(uint16_t port, uint8_t value)
{
    if (port == g_vpc.machine->smi_port) {
        run_smi(value);
        return;
    }
    if (port == kCmosIndex) {
        g_vpc.cmos_index = value;
    } else if (port == kCmosData) {
        ssize_t w = pwrite(g_vpc.cmos_fd, &value, 1, g_vpc.cmos_index & 0x7F);
        (void)w;
    }
    trace_port("out ", port, value);
}

// A fault that is not ours: let it kill the process the way it would have.
void die()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = SIG_DFL;
    sigaction(SIGSEGV, &sa, nullptr);
    raise(SIGSEGV);
}

void on_segv(int, siginfo_t* si, void* ctx)
{
    int saved = errno;
    ucontext_t* uc = static_cast<ucontext_t*>(ctx);
    greg_t* r = uc->uc_mcontext.gregs;
    PortInsn insn;
    // A privileged instruction raises a general protection fault: SI_KERNEL.
    if (si->si_code != SI_KERNEL || !g_vpc.active ||
        !decode_port_insn(reinterpret_cast<const uint8_t*>(r[REG_RIP]), &insn) || g_vpc.iopl_level != 3) {
        die();
        errno = saved;
        return;
    }
    uint16_t port = insn.uses_dx ? uint16_t(r[REG_RDX] & 0xFFFF) : insn.imm;
    if (insn.is_out) {
        port_out(port, uint8_t(r[REG_RAX] & 0xFF));
    } else {
        uint8_t v = port_in(port);
        r[REG_RAX] = (r[REG_RAX] & ~greg_t(0xFF)) | v;
    }
    r[REG_RIP] += insn.length;
    errno = saved;
}

} // namespace

void install_port_trap()
{
    stack_t ss;
    ss.ss_sp = g_altstack;
    ss.ss_size = sizeof g_altstack;
    ss.ss_flags = 0;
    sigaltstack(&ss, nullptr);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = on_segv;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGSEGV, &sa, nullptr);
}
