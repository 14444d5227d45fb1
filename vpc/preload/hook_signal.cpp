// Stop signals at a chosen point of the run: right after the N-th SMI of one command, or the
// N-th fread or fwrite of one named file. The signal goes to the process itself, as a Ctrl-C
// or a kill from another terminal would arrive at that moment.
#include <climits>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

#include "real.h"
#include "state.h"

void signal_at_smi(uint8_t command)
{
    const FaultSet& f = g_vpc.faults;
    if (command < 0x20 || command > 0x24)
        return;
    uint32_t n = ++g_vpc.smi_count[command - 0x20];
    if (f.signal_at != 0 && command == f.signal_command && n == f.signal_at)
        kill(getpid(), int(f.signal_number));
}

namespace {

void signal_at_file_io(FILE* file, bool write)
{
    const FaultSet& f = g_vpc.faults;
    if (!g_vpc.active || !f.signal_file[0] || f.signal_file_write != write || !file)
        return;
    char name[NAME_MAX + 1];
    fd_name(fileno(file), name, sizeof name);
    if (fault_name_matches(f.signal_file, name) && ++g_vpc.file_io_count == f.signal_file_at)
        kill(getpid(), int(f.signal_file_number));
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
