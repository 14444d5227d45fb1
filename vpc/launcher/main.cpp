// zorvpc: make, run and inspect virtual PCs for zorflashlnx2.
#include <cstdio>
#include <cstring>

#include "launcher.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        print_usage();
        return 2;
    }
    std::string cmd = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        print_help();
        return 0;
    }
    if (cmd == "init")
        return cmd_init(args);
    if (cmd == "run")
        return cmd_run(args);
    if (cmd == "show")
        return cmd_show(args);
    if (cmd == "mkrom")
        return cmd_mkrom(args);
    if (cmd == "capture")
        return cmd_capture(args);
    if (cmd == "reboot")
        return cmd_reboot(args);
    print_usage();
    return 2;
}
