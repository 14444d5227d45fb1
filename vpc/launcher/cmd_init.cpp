// zorvpc init DIR [--machine FILE] [KEY=VALUE ...]
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "biosmem.h"
#include "devices.h"
#include "launcher.h"
#include "rommaker.h"

namespace {

bool make_dirs(const std::string& dir)
{
    std::string path;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        path = dir.substr(0, pos);
        if (!path.empty() && mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

} // namespace

bool write_state_dir(const std::string& dir, const std::string& text, const Machine& m,
                     const std::vector<uint8_t>& flash)
{
    if (!make_dirs(dir)) {
        fail("cannot create " + dir + ": " + std::strerror(errno));
        return false;
    }
    std::vector<uint8_t> phys(kPhysMemSize, 0);
    FaultSet none;
    faults_clear(&none);
    build_bios_records(m, none, phys.data());
    uint8_t cmos[128];
    build_cmos(m.cmos_seed, cmos);
    ModuleState ms{m.module_loaded, m.module_major};
    std::string module = module_state_text(ms);
    std::string devices = device_list(ms.loaded && !m.faults.not_listed, ms.major);

    bool ok = write_file(dir + "/machine", text.data(), text.size()) &&
              write_file(dir + "/physmem", phys.data(), phys.size()) &&
              write_file(dir + "/flash.bin", flash.data(), flash.size()) &&
              write_file(dir + "/cmos.bin", cmos, sizeof cmos) &&
              write_file(dir + "/module", module.data(), module.size()) &&
              write_file(dir + "/devices", devices.data(), devices.size()) && write_file(dir + "/trace", "", 0) &&
              write_file(dir + "/smm", "open = 0\n", 9) && write_file(dir + "/node-files", "", 0);
    if (!ok)
        fail("cannot write the state files in " + dir);
    return ok;
}

int cmd_init(const std::vector<std::string>& args)
{
    if (args.empty())
        return fail("usage: zorvpc init DIR [--machine FILE] [KEY=VALUE ...]");
    std::string dir = args[0];
    std::string text = kDefaultMachine;
    std::string overrides;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--machine" && i + 1 < args.size()) {
            if (!read_file(args[++i], &text))
                return fail("cannot read " + args[i]);
        } else if (args[i].find('=') != std::string::npos && args[i][0] != '-') {
            size_t eq = args[i].find('=');
            overrides += args[i].substr(0, eq) + " = " + args[i].substr(eq + 1) + "\n";
        } else {
            return fail("init: unexpected argument '" + args[i] + "'");
        }
    }
    if (!overrides.empty()) {
        if (!text.empty() && text.back() != '\n')
            text += "\n";
        text += "# given on the command line\n" + overrides;
    }
    Machine m;
    std::string err;
    if (!parse_machine(text, &m, &err))
        return fail("bad machine description: " + err);

    std::vector<uint8_t> flash;
    if (!make_rom(m, default_rom_spec(m), &flash, &err))
        return fail("cannot make the flash image: " + err);
    return write_state_dir(dir, text, m, flash) ? 0 : 2;
}
