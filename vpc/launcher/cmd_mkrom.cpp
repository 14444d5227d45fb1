// zorvpc mkrom DIR OUT [--id ROMID] [--bbm] [--nc OFF:LEN]... [--sig OFF[:BYTE]]... [--seed N] [--size BYTES]
#include <cstring>

#include "launcher.h"
#include "numparse.h"
#include "rommaker.h"

namespace {

// "A:B" or "A" into two numbers; b keeps its value when there is no ":B".
bool pair_of(const std::string& s, uint32_t* a, uint32_t* b, bool need_b)
{
    size_t colon = s.find(':');
    if (colon == std::string::npos)
        return !need_b && parse_u32(s.c_str(), a);
    return parse_u32(s.substr(0, colon).c_str(), a) && parse_u32(s.substr(colon + 1).c_str(), b);
}

} // namespace

int cmd_mkrom(const std::vector<std::string>& args)
{
    if (args.size() < 2)
        return fail("usage: zorvpc mkrom DIR OUT [--id ROMID] [--bbm] [--nc OFF:LEN]... [--sig OFF[:BYTE]]... "
                    "[--seed N] [--size BYTES]");
    Machine m;
    std::string err;
    if (!load_machine_dir(args[0], &m, &err))
        return fail(err);
    RomPlan plan = default_rom_spec(m);
    plan.seed = uint64_t(m.flash_seed) + 1;  // a new ROM differs from the flash by default
    for (size_t i = 2; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool has_value = i + 1 < args.size();
        uint32_t x = 0, y = 0;
        if (a == "--bbm") {
            plan.bbm = true;
        } else if (a == "--id" && has_value) {
            const std::string& id = args[++i];
            if (id.size() > 8)
                return fail("--id takes at most 8 characters");
            std::memset(plan.id, 0, sizeof plan.id);
            std::memcpy(plan.id, id.data(), id.size());
        } else if (a == "--nc" && has_value) {
            if (!pair_of(args[++i], &x, &y, true))
                return fail("--nc takes OFF:LEN");
            plan.nc.push_back({x, y});
        } else if (a == "--sig" && has_value) {
            if (!pair_of(args[++i], &x, &y, false) || y > 255)
                return fail("--sig takes OFF or OFF:BYTE");
            plan.sig.push_back({x, uint8_t(y)});
        } else if (a == "--seed" && has_value) {
            uint64_t s;
            if (!parse_number(args[++i].c_str(), &s))
                return fail("--seed takes a number");
            plan.seed = s;
        } else if (a == "--size" && has_value) {
            if (!parse_u32(args[++i].c_str(), &x) || x > 0x4000000)
                return fail("--size takes a byte count up to 64M");
            plan.size = x;
        } else {
            return fail("mkrom: unexpected argument '" + a + "'");
        }
    }
    std::vector<uint8_t> rom;
    if (!make_rom(m, plan, &rom, &err))
        return fail(err);
    if (!write_file(args[1], rom.data(), rom.size()))
        return fail("cannot write " + args[1]);
    return 0;
}
