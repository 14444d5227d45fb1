// Stop signals at a chosen point of the run: right after the N-th SMI of one command, the
// N-th fread or fwrite of one named file, or the N-th call of a named platform function. The signal goes to the process itself, as a Ctrl-C
// or a kill from another terminal would arrive at that moment.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

#include "real.h"
#include "state.h"

namespace {

// The signal about to be sent, for the launcher to tell: "... sent after SMI erase 1", "...
// sent after fread 3 of new.rom". Written first: a signal the command does not catch ends it at once.
void note_signal(const char* key, uint32_t sig, const char* at, uint32_t n, const char* of)
{
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, "fault ");
    lb_str(&lb, key);
    lb_str(&lb, ": signal ");
    lb_dec(&lb, sig);
    if (const char* abbrev = sigabbrev_np(int(sig))) {
        lb_str(&lb, " (SIG");
        lb_str(&lb, abbrev);
        lb_str(&lb, ")");
    }
    lb_str(&lb, " sent ");
    lb_str(&lb, at);
    lb_str(&lb, " ");
    lb_dec(&lb, n);
    if (of) {
        lb_str(&lb, " of ");
        lb_str(&lb, of);
    }
    fault_fired(&lb);
}

} // namespace

void signal_at_smi(uint8_t command)
{
    const FaultSet& f = g_vpc.faults;
    if (command < 0x20 || command > 0x24)
        return;
    uint32_t n = ++g_vpc.smi_count[command - 0x20];
    static const char* const names[] = {"after SMI open", "after SMI read", "after SMI erase",
                                         "after SMI write", "after SMI close"};
    if (f.signal_at != 0 && command == f.signal_command && n == f.signal_at) {
        note_signal("signal_at", f.signal_number, names[command - 0x20], n, nullptr);
        kill(getpid(), int(f.signal_number));
    }
}

bool signal_at_call(const char* name, bool only_count)
{
    const FaultSet& f = g_vpc.faults;
    if (!g_vpc.active || std::strcmp(name, f.signal_call) != 0 || ++g_vpc.call_count != f.signal_call_at)
        return false;
    note_signal("signal_call", f.signal_call_number, only_count ? "during call" : "after call", g_vpc.call_count, name);
    if (!only_count)
        kill(getpid(), int(f.signal_call_number));
    return true;
}

namespace {

void signal_at_file_io(FILE* file, bool write)
{
    const FaultSet& f = g_vpc.faults;
    if (!g_vpc.active || !f.signal_file[0] || f.signal_file_write != write || !file)
        return;
    char name[NAME_MAX + 1];
    fd_name(fileno(file), name, sizeof name);
    if (fault_name_matches(f.signal_file, name) && ++g_vpc.file_io_count == f.signal_file_at) {
        note_signal("signal_file", f.signal_file_number, write ? "after fwrite" : "after fread", g_vpc.file_io_count, name);
        kill(getpid(), int(f.signal_file_number));
    }
}

} // namespace

VPC_EXPORT size_t fread(void* ptr, size_t size, size_t count, FILE* f)
{
    size_t got = fread_with_faults(ptr, size, count, f);
    int err = errno;
    signal_at_file_io(f, false);
    errno = err;
    return got;
}

VPC_EXPORT size_t fwrite(const void* ptr, size_t size, size_t count, FILE* f)
{
    static auto real_fwrite =
        reinterpret_cast<size_t (*)(const void*, size_t, size_t, FILE*)>(dlsym(RTLD_NEXT, "fwrite"));
    size_t put = real_fwrite(ptr, size, count, f);
    int err = errno;
    signal_at_file_io(f, true);
    errno = err;
    return put;
}

// The tool flushes the console after every message: the N-th flush is the N-th step it showed.
VPC_EXPORT int fflush(FILE* f)
{
    static auto real_fflush = reinterpret_cast<int (*)(FILE*)>(dlsym(RTLD_NEXT, "fflush"));
    int r = real_fflush(f);
    int err = errno;
    signal_at_call("fflush");
    errno = err;
    return r;
}
