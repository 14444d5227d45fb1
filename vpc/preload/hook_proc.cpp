// I/O privilege and the module tools. iopl never reaches the kernel; insmod,
// rmmod and modprobe never run, whether asked for through system() or exec.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/io.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

#include "real.h"
#include "state.h"

namespace {

const char* const kModuleName = "zorfldrv_mod";

const char* base_name(const char* path)
{
    const char* s = std::strrchr(path, '/');
    return s ? s + 1 : path;
}

bool is_module_tool(const char* path)
{
    if (!path)
        return false;
    const char* b = base_name(path);
    return !std::strcmp(b, "insmod") || !std::strcmp(b, "rmmod") || !std::strcmp(b, "modprobe") ||
           !std::strcmp(b, "kmod");
}

// A shell redirection or command separator ends the words of the command.
bool ends_words(const std::string& w)
{
    if (w.empty())
        return true;
    size_t i = 0;
    while (i < w.size() && w[i] >= '0' && w[i] <= '9')
        ++i;
    if (i < w.size() && (w[i] == '>' || w[i] == '<'))
        return true;
    return w[0] == '|' || w[0] == ';' || w[0] == '&';
}

// Where the command's error output goes: 2, the descriptor N of "2>&N", or -1 when it is sent
// to a file (as "2> /dev/null").
int error_output(const char* cmd)
{
    const char* r = std::strstr(cmd, "2>");
    if (!r)
        return 2;
    if (r[2] != '&')
        return -1;
    int fd = 0;
    const char* p = r + 3;
    for (; *p >= '0' && *p <= '9' && fd < 1000; ++p)
        fd = fd * 10 + (*p - '0');
    return p == r + 3 ? -1 : fd;
}

std::vector<std::string> command_words(const char* cmd)
{
    std::vector<std::string> out;
    std::string cur;
    bool stop = false;
    for (const char* p = cmd;; ++p) {
        if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\0') {
            if (!cur.empty() && !stop) {
                if (ends_words(cur))
                    stop = true;
                else
                    out.push_back(cur);
            }
            cur.clear();
            if (!*p)
                break;
        } else {
            cur += *p;
        }
    }
    return out;
}

// The module name a file or name argument stands for: "./zorfldrv_mod.o" -> "zorfldrv_mod".
std::string module_of(const std::string& arg)
{
    std::string b = base_name(arg.c_str());
    for (const char* ext : {".ko", ".o"}) {
        size_t n = std::strlen(ext);
        if (b.size() > n && b.compare(b.size() - n, n, ext) == 0)
            return b.substr(0, b.size() - n);
    }
    return b;
}

void say(int fd, const std::string& msg)
{
    if (fd < 0)
        return;
    ssize_t w = write(fd, msg.data(), msg.size());
    (void)w;
}

std::string module_tree()
{
    struct utsname u;
    return std::string("/lib/modules/") + (uname(&u) == 0 ? u.release : "");
}

// insmod takes a file and never searches the module tree: "insmod zorfldrv_mod" is the file
// zorfldrv_mod in the working directory. modprobe takes a name and finds the module only
// when the machine has it installed.
int load_module(const std::string& tool, const std::string& arg, int err_fd)
{
    bool modprobe = tool == "modprobe";
    // The first of the tool's load commands names the object file; insmod_fail=first hits only it.
    bool object_file = arg.find('/') != std::string::npos || arg.ends_with(".o") || arg.ends_with(".ko");
    std::string name = modprobe ? arg : module_of(arg);
    if (modprobe && (name != kModuleName || !g_vpc.machine->module_installed)) {
        say(err_fd, "modprobe: FATAL: Module " + name + " not found in directory " + module_tree() + "\n");
        return 1;
    }
    if (!modprobe && access(arg.c_str(), F_OK) != 0) {
        say(err_fd, tool + ": ERROR: could not load module " + arg + ": No such file or directory\n");
        return 1;
    }
    if (name != kModuleName) {
        say(err_fd, tool + ": ERROR: could not insert module " + arg + ": Unknown symbol in module\n");
        return 1;
    }
    // The kernel's refusals, in its words: the machine's module is never signed.
    const char* refused = g_vpc.faults.modules_disabled ? "Operation not permitted"
                          : g_vpc.faults.sig_enforce    ? "Key was rejected by service"
                                                        : nullptr;
    if (refused) {
        say(err_fd, modprobe ? "modprobe: ERROR: could not insert '" + name + "': " + refused + "\n"
                            : tool + ": ERROR: could not insert module " + arg + ": " + refused + "\n");
        return 1;
    }
    int f = g_vpc.faults.insmod_fail;
    if (f == kInsmodBoth || (f == kInsmodFirst && object_file && !modprobe)) {
        say(err_fd, modprobe ? "modprobe: ERROR: could not insert '" + name + "': Invalid module format\n"
                            : tool + ": ERROR: could not insert module " + arg + ": Invalid module format\n");
        return 1;
    }
    ModuleState ms{};
    read_module_state(&ms);
    if (ms.loaded) {
        if (modprobe)  // nothing to do
            return 0;
        say(err_fd, tool + ": ERROR: could not insert module " + arg + ": File exists\n");
        return 1;
    }
    ms.loaded = true;
    ms.major = g_vpc.machine->module_major;
    write_module_state(ms);
    return 0;
}

int unload_module(const std::string& tool, const std::string& arg, int err_fd)
{
    ModuleState ms{};
    read_module_state(&ms);
    std::string name = module_of(arg);
    bool modprobe = tool == "modprobe";
    if (name != kModuleName || !ms.loaded) {
        say(err_fd, modprobe ? "modprobe: FATAL: Module " + name + " is not in kernel.\n"
                            : tool + ": ERROR: Module " + name + " is not currently loaded\n");
        return 1;
    }
    OpenFiles users;
    read_open_files(&users);
    if (users.count > 0) {
        say(err_fd, modprobe ? "modprobe: FATAL: Module " + name + " is in use.\n"
                            : tool + ": ERROR: Module " + name + " is in use\n");
        return 1;
    }
    ms.loaded = false;
    write_module_state(ms);
    return 0;
}

int emulate_module_tool(const std::vector<std::string>& w, int err_fd)
{
    std::string tool = base_name(w[0].c_str());
    bool remove = tool == "rmmod";
    std::string arg;
    for (size_t i = 1; i < w.size(); ++i) {
        if (w[i] == "-r" || w[i] == "--remove")
            remove = true;
        else if (w[i][0] != '-' && arg.empty())
            arg = w[i];
    }
    if (!g_vpc.active) {
        say(err_fd, tool + ": ERROR: no virtual machine attached; module tools are never run\n");
        return 1;
    }
    if (arg.empty()) {
        say(err_fd, tool + ": ERROR: missing module name.\n");
        return 1;
    }
    if (tool == "kmod")
        return 1;
    machine_lock();
    int r = remove ? unload_module(tool, arg, err_fd) : load_module(tool, arg, err_fd);
    machine_unlock();
    return r;
}

// The file a name runs: itself when it has a slash, else the first executable match on PATH.
std::string program_file(const char* name)
{
    if (std::strchr(name, '/'))
        return name;
    const char* path = std::getenv("PATH");
    std::string all = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= all.size();) {
        size_t end = all.find(':', start);
        if (end == std::string::npos)
            end = all.size();
        std::string dir = all.substr(start, end - start);
        std::string cand = (dir.empty() ? "." : dir) + "/" + name;
        if (access(cand.c_str(), X_OK) == 0)
            return cand;
        start = end + 1;
    }
    return name;
}

// The loader drops LD_PRELOAD for set-user-ID and set-group-ID programs, so such a program
// (sudo, say) started from a run would reach the real platform.
bool privileged(const char* name)
{
    struct stat st;
    return stat(program_file(name).c_str(), &st) == 0 && (st.st_mode & (S_ISUID | S_ISGID));
}

bool must_refuse(const char* name) { return name && (is_module_tool(name) || privileged(name)); }

int refuse_exec(const char* path)
{
    std::string msg = std::string("zorvpc: refusing to run ") +
                      (is_module_tool(path) ? "the module tool " : "the set-user-ID program ") + path +
                      "\n";
    ssize_t w = write(2, msg.data(), msg.size());
    (void)w;
    errno = EACCES;
    return -1;
}

} // namespace

VPC_EXPORT int system(const char* cmd)
{
    resolve_real();
    if (!cmd)
        return real::system(cmd);
    std::vector<std::string> w = command_words(cmd);
    if (w.empty() || !is_module_tool(w[0].c_str()))
        return real::system(cmd);
    int code = emulate_module_tool(w, error_output(cmd));
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, "system");
    for (const std::string& s : w) {
        lb_str(&lb, " ");
        lb_str(&lb, s.c_str());
    }
    lb_str(&lb, " = ");
    lb_dec(&lb, code);
    trace_line(&lb);
    return code << 8;  // wait status of a normal exit
}

VPC_EXPORT int iopl(int level) noexcept
{
    resolve_real();
    if (!g_vpc.active) {
        errno = EPERM;
        return -1;
    }
    int r = 0, err = 0;
    if (level < 0 || level > 3)
        r = -1, err = EINVAL;
    else if (g_vpc.faults.iopl_fail || g_vpc.faults.lockdown != kLockdownNone)
        r = -1, err = EPERM;
    else
        g_vpc.iopl_level = level;
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, "iopl ");
    lb_dec(&lb, level);
    lb_str(&lb, " = ");
    lb_dec(&lb, r);
    trace_line(&lb);
    errno = err;
    return r;
}

// Not used by the tool; refused so that no port bitmap is ever granted.
VPC_EXPORT int ioperm(unsigned long, unsigned long, int) noexcept
{
    errno = EPERM;
    return -1;
}

VPC_EXPORT int execve(const char* path, char* const argv[], char* const envp[]) noexcept
{
    resolve_real();
    return must_refuse(path) ? refuse_exec(path) : real::execve(path, argv, envp);
}

VPC_EXPORT int execv(const char* path, char* const argv[]) noexcept
{
    resolve_real();
    return must_refuse(path) ? refuse_exec(path) : real::execv(path, argv);
}

VPC_EXPORT int execvp(const char* file, char* const argv[]) noexcept
{
    resolve_real();
    return must_refuse(file) ? refuse_exec(file) : real::execvp(file, argv);
}

VPC_EXPORT int execvpe(const char* file, char* const argv[], char* const envp[]) noexcept
{
    resolve_real();
    return must_refuse(file) ? refuse_exec(file) : real::execvpe(file, argv, envp);
}

VPC_EXPORT int posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* fa,
                           const posix_spawnattr_t* attr, char* const argv[], char* const envp[])
{
    resolve_real();
    if (must_refuse(path))
        return refuse_exec(path), EACCES;
    return real::posix_spawn(pid, path, fa, attr, argv, envp);
}

VPC_EXPORT int posix_spawnp(pid_t* pid, const char* file, const posix_spawn_file_actions_t* fa,
                            const posix_spawnattr_t* attr, char* const argv[], char* const envp[])
{
    resolve_real();
    if (must_refuse(file))
        return refuse_exec(file), EACCES;
    return real::posix_spawnp(pid, file, fa, attr, argv, envp);
}
