// zorvpc reboot DIR, and the reboot that ends a power cut.
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "biosmem.h"
#include "devices.h"
#include "launcher.h"

bool reboot_machine(const std::string& dir, const Machine& m)
{
    // Under the machine lock: no SMI or module call of a process still on it runs halfway through.
    int lock = open((dir + "/machine.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (lock >= 0)
        fcntl(lock, F_SETLKW, &fl);
    // Memory and the kernel start afresh: the BIOS lays out its records again, no module is
    // loaded, no file is open, the flash handler is closed. The CMOS and the flash keep what
    // they hold, and so do the files on disk (a node left in a working directory among them).
    std::vector<uint8_t> phys(kPhysMemSize, 0);
    FaultSet none;
    faults_clear(&none);
    build_bios_records(m, none, phys.data());
    std::string module = module_state_text(ModuleState{false, m.module_major});
    std::string devices = device_list(false, m.module_major);
    bool ok = write_file(dir + "/physmem", phys.data(), phys.size()) &&
              write_file(dir + "/module", module.data(), module.size()) &&
              write_file(dir + "/devices", devices.data(), devices.size()) &&
              write_file(dir + "/smm", "open = 0\n", 9) && write_file(dir + "/node-files", "", 0);
    if (ok) {
        unlink((dir + "/power-lost").c_str());
        int t = open((dir + "/trace").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        ok = t >= 0 && write(t, "reboot\n", 7) == 7;
        if (t >= 0)
            close(t);
    }
    if (lock >= 0)
        close(lock);
    return ok;
}

int cmd_reboot(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return fail("usage: zorvpc reboot DIR");
    Machine m;
    std::string err;
    if (!load_machine_dir(args[0], &m, &err))
        return fail(err);
    if (!reboot_machine(args[0], m))
        return fail("cannot write the state files in " + args[0]);
    return 0;
}
