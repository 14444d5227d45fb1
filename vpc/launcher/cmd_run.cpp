// zorvpc run DIR [--fault KEY[=VAL]]... [--clear-trace] -- COMMAND [ARGS...]
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "biosmem.h"
#include "launcher.h"

namespace {

std::string library_path()
{
    if (const char* env = std::getenv("ZORVPC_LIB"))
        return env;
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return "";
    exe[n] = '\0';
    std::string dir = exe;
    return dir.substr(0, dir.rfind('/')) + "/libzorvpc.so";
}

// The file execvp would run for this command name.
std::string find_program(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = std::getenv("PATH");
    std::string all = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(':', start);
        if (end == std::string::npos)
            end = all.size();
        std::string dir = all.substr(start, end - start);
        std::string cand = (dir.empty() ? "." : dir) + "/" + name;
        if (access(cand.c_str(), X_OK) == 0)
            return cand;
        start = end + 1;
    }
    return "";
}

// A statically linked program never loads the library and would reach the
// real platform; refuse it. Scripts and other files are left to exec.
bool statically_linked(const std::string& file)
{
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    Elf64_Ehdr eh;
    bool is_static = false;
    if (pread(fd, &eh, sizeof eh, 0) == ssize_t(sizeof eh) && std::memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 &&
        eh.e_ident[EI_CLASS] == ELFCLASS64) {
        is_static = true;
        for (int i = 0; i < eh.e_phnum; ++i) {
            Elf64_Phdr ph;
            if (pread(fd, &ph, sizeof ph, off_t(eh.e_phoff + uint64_t(i) * eh.e_phentsize)) != ssize_t(sizeof ph))
                break;
            if (ph.p_type == PT_INTERP)
                is_static = false;
        }
    }
    close(fd);
    return is_static;
}

// The loader drops LD_PRELOAD for set-user-ID and set-group-ID programs (sudo among them), and a
// 32-bit program cannot load a 64-bit library: either would reach the real platform.
std::string cannot_preload(const std::string& file)
{
    struct stat st;
    if (stat(file.c_str(), &st) == 0 && (st.st_mode & (S_ISUID | S_ISGID)))
        return file + " is set-user-ID or set-group-ID: the loader would not preload the virtual PC";
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    unsigned char ident[EI_NIDENT];
    bool elf32 = pread(fd, ident, sizeof ident, 0) == ssize_t(sizeof ident) &&
                 std::memcmp(ident, ELFMAG, SELFMAG) == 0 && ident[EI_CLASS] != ELFCLASS64;
    close(fd);
    return elf32 ? file + " is not a 64-bit program: it cannot load the virtual PC" : "";
}

// The module tools themselves are never run, not even on a virtual PC: the
// library cannot stop a program that is the tool.
bool is_module_tool(const std::string& file)
{
    char real[PATH_MAX];
    std::string names[2] = {file, realpath(file.c_str(), real) ? real : file};
    for (const std::string& n : names) {
        std::string b = n.substr(n.rfind('/') + 1);
        if (b == "insmod" || b == "rmmod" || b == "modprobe" || b == "kmod")
            return true;
    }
    return false;
}

// Power-on: the BIOS segment gets the header this run asks for, unless it
// already holds it (so memory a test prepared by hand stays as it is).
bool prepare_bios_segment(const std::string& dir, const Machine& m, const FaultSet& run)
{
    std::string phys;
    if (!read_file(dir + "/physmem", &phys, kPhysMemSize) || phys.size() != kPhysMemSize)
        return false;
    uint8_t* p = reinterpret_cast<uint8_t*>(phys.data());
    if (bios_header_matches(m, run, p))
        return true;
    build_bios_records(m, run, p);
    return write_file(dir + "/physmem", p, phys.size());
}

// One line on standard error per fault that fired, so that a rehearsal explains itself. A
// command killed by a signal (a power cut) may have stopped halfway through a line: the lines
// start on a new one then.
void tell_fired(const std::string& path, bool killed)
{
    std::string text;
    if (read_file(path, &text, 1u << 20)) {
        if (killed && !text.empty())
            std::fputc('\n', stderr);
        size_t start = 0, end;
        while ((end = text.find('\n', start)) != std::string::npos) {
            std::fprintf(stderr, "zorvpc: %.*s\n", int(end - start), text.c_str() + start);
            start = end + 1;
        }
    }
    unlink(path.c_str());
}

} // namespace

int cmd_run(const std::vector<std::string>& args)
{
    if (args.empty())
        return fail("usage: zorvpc run DIR [--fault KEY[=VAL]]... [--clear-trace] -- COMMAND [ARGS...]");
    std::string dir = args[0];
    Machine m;
    std::string err;
    if (!load_machine_dir(dir, &m, &err))
        return fail(err);
    FaultSet run = m.faults;
    std::string faults;
    bool clear_trace = false;
    size_t i = 1;
    for (; i < args.size() && args[i] != "--"; ++i) {
        std::string f;
        if (args[i] == "--fault" && i + 1 < args.size())
            f = args[++i];
        else if (args[i].rfind("--fault=", 0) == 0)
            f = args[i].substr(8);
        else if (args[i] == "--clear-trace") {
            clear_trace = true;
            continue;
        } else
            return fail("run: unexpected argument '" + args[i] + "' (COMMAND follows --)");
        char e[96];
        if (!fault_apply(&run, f.c_str(), e, sizeof e))
            return fail(e);
        faults += (faults.empty() ? "" : ";") + f;
    }
    if (i + 1 >= args.size())
        return fail("run: no COMMAND after --");
    std::vector<std::string> cmd(args.begin() + long(i) + 1, args.end());

    std::string lib = library_path();
    if (lib.empty() || access(lib.c_str(), R_OK) != 0)
        return fail("cannot find the library " + lib + " (set ZORVPC_LIB)");
    std::string prog = find_program(cmd[0]);
    if (prog.empty())
        return fail("cannot find " + cmd[0]);
    if (is_module_tool(prog))
        return fail("refusing to run the module tool " + prog);
    if (statically_linked(prog))
        return fail(prog + " is statically linked: the virtual PC cannot stand in for its platform");
    if (std::string why = cannot_preload(prog); !why.empty())
        return fail(why);
    if (!prepare_bios_segment(dir, m, run))
        return fail("cannot prepare " + dir + "/physmem");
    if (clear_trace && !write_file(dir + "/trace", "", 0))
        return fail("cannot clear " + dir + "/trace");
    // Where this run's trace lines start, for "show DIR changes".
    struct stat trace_st;
    std::string mark = std::to_string(stat((dir + "/trace").c_str(), &trace_st) == 0 ? trace_st.st_size : 0) + "\n";
    if (!write_file(dir + "/" + kLastRun, mark.data(), mark.size()))
        return fail("cannot write " + dir + "/" + kLastRun);

    // The library notes each fault that fires in a file of this run's own (two runs of one
    // machine at once each tell their own); the launcher shows them once the command has ended.
    std::string fired = "fired." + std::to_string(getpid());
    if (!write_file(dir + "/" + fired, "", 0))
        return fail("cannot write " + dir + "/" + fired);

    char abs[PATH_MAX];
    if (!realpath(dir.c_str(), abs))
        return fail("cannot resolve " + dir);
    std::string preload = lib;
    if (const char* old = std::getenv("LD_PRELOAD"); old && *old)
        preload += std::string(":") + old;
    setenv("ZORVPC_STATE", abs, 1);
    setenv("ZORVPC_FAULTS", faults.c_str(), 1);
    setenv("ZORVPC_FIRED", fired.c_str(), 1);
    setenv("LD_PRELOAD", preload.c_str(), 1);

    // Like system(): the terminal's interrupt goes to the command, which decides what it means;
    // the launcher waits for it and reports its status.
    struct sigaction ignore = {}, old_int = {}, old_quit = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return fail(std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGQUIT, &old_quit, nullptr);
        std::vector<char*> argv;
        for (std::string& s : cmd)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        execv(prog.c_str(), argv.data());
        std::fprintf(stderr, "zorvpc: cannot run %s: %s\n", prog.c_str(), std::strerror(errno));
        _exit(127);
    }
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return fail(std::string("waitpid: ") + std::strerror(errno));
    // The power went: the machine comes back as a reboot leaves it.
    if (access((dir + "/power-lost").c_str(), F_OK) == 0 && !reboot_machine(dir, m))
        return fail("cannot reboot " + dir + " after the power loss");
    tell_fired(dir + "/" + fired, WIFSIGNALED(status));
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}
