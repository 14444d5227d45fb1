// I/O privilege and the module tools. iopl never reaches the kernel; insmod,
// rmmod and modprobe never run, whether asked for through system() or exec.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <sys/io.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

#include "real.h"
#include "state.h"

namespace {

const char* const kModuleName = "zorfldrv_mod";

// The machine's own variables, as this process started: a program may start its commands with
// an environment of its own, and a command that really runs must still be on this machine.
const char* const kOwnVariables[] = {"LD_PRELOAD", "ZORVPC_STATE", "ZORVPC_FAULTS"};
char* g_own_entries[3];
const char* g_own_preload;  // this library's file, as the loader was given it

__attribute__((constructor)) void keep_own_variables()
{
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void*>(&keep_own_variables), &info) && info.dli_fname)
        g_own_preload = strdup(info.dli_fname);
    for (size_t i = 0; i < 3; ++i)
        if (const char* v = i == 0 ? g_own_preload : std::getenv(kOwnVariables[i])) {
            std::string e = std::string(kOwnVariables[i]) + "=" + v;
            g_own_entries[i] = strdup(e.c_str());
        }
}

// A library in LD_PRELOAD other than this one: the loader puts the caller's code in the command.
bool foreign_preload(const char* list)
{
    std::string all = list ? list : "";
    for (size_t start = 0; start < all.size();) {
        size_t end = all.find_first_of(": ", start);
        if (end == std::string::npos)
            end = all.size();
        std::string word = all.substr(start, end - start);
        if (!word.empty() && (!g_own_preload || word != g_own_preload))
            return true;
        start = end + 1;
    }
    return false;
}

// real::system with environ plus the machine's variables it lacks.
int system_on_machine(const char* cmd)
{
    std::vector<char*> env;
    for (char** e = environ; e && *e; ++e)
        env.push_back(*e);
    for (size_t i = 0; i < 3; ++i) {
        size_t n = std::strlen(kOwnVariables[i]);
        bool there = false;
        for (char** e = environ; e && *e && !there; ++e)
            there = !std::strncmp(*e, kOwnVariables[i], n) && (*e)[n] == '=';
        if (g_own_entries[i] && !there)
            env.push_back(g_own_entries[i]);
    }
    env.push_back(nullptr);
    char** own = environ;
    environ = env.data();
    int r = real::system(cmd);
    environ = own;
    return r;
}

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

// "/proc/self/fd/N", a descriptor the command inherited from this process: the file it is open
// on; else arg itself.
std::string opened_file(const std::string& arg)
{
    if (!arg.starts_with("/proc/self/fd/"))
        return arg;
    char target[PATH_MAX];
    ssize_t n = readlink(arg.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return arg;
    target[n] = '\0';
    return target;
}

// What a loaded module file holds, for the trace: its first line, cut at 40 bytes.
void trace_module_text(const std::string& file)
{
    char buf[41] = {};
    int fd = real::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? pread(fd, buf, sizeof buf - 1, 0) : -1;
    if (fd >= 0)
        real::close(fd);
    buf[n > 0 ? n : 0] = '\0';
    buf[std::strcspn(buf, "\n")] = '\0';
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, "module loaded from \"");
    lb_str(&lb, buf);
    lb_str(&lb, "\"");
    trace_line(&lb);
}

// The module tools speak the language of their environment: German, as one example of a locale
// whose messages a caller reading English texts would not match.
bool german_messages()
{
    const char* chosen = nullptr;
    for (const char* v : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (!chosen && std::getenv(v) && *std::getenv(v))
            chosen = std::getenv(v);
    return chosen && !std::strncmp(chosen, "de", 2);
}

// insmod takes a file and never searches the module tree: "insmod zorfldrv_mod" is the file
// zorfldrv_mod in the working directory. modprobe takes a name and finds the module only
// when the machine has it installed.
int load_module(const std::string& tool, const std::string& arg, int err_fd)
{
    bool modprobe = tool == "modprobe";
    std::string file = opened_file(arg);
    // The first of the tool's load commands names the object file; insmod_fail=first hits only it.
    bool object_file = file.ends_with(".o") || file.ends_with(".ko") ||
                       (file == arg && file.find('/') != std::string::npos);
    // A module's name is written inside it: a file handed over as a descriptor is the module,
    // whatever it is called now.
    std::string name = modprobe ? arg : file != arg ? kModuleName : module_of(file);
    // Messages name a descriptor's file as the tool's user knows it, not as /proc/self/fd/N.
    std::string shown = file != arg ? base_name(file.c_str()) : arg;
    if (modprobe && (name != kModuleName || !g_vpc.machine->module_installed)) {
        say(err_fd, "modprobe: FATAL: Module " + name + " not found in directory " + module_tree() + "\n");
        return 1;
    }
    if (!modprobe && (proc_unmounted(arg.c_str()) || access(arg.c_str(), F_OK) != 0)) {
        say(err_fd, tool + ": ERROR: could not load module " + shown + ": No such file or directory\n");
        return 1;
    }
    if (name != kModuleName) {
        say(err_fd, tool + ": ERROR: could not insert module " + shown + ": Unknown symbol in module\n");
        return 1;
    }
    // The kernel's refusals, in its words: the machine's module is never signed.
    const char* refused = g_vpc.faults.modules_disabled ? "Operation not permitted"
                          : g_vpc.faults.sig_enforce    ? "Key was rejected by service"
                                                        : nullptr;
    if (refused && g_vpc.faults.sig_enforce && german_messages())
        refused = "Schl\xc3\xbc" "ssel wurde vom Dienst zur\xc3\xbc" "ckgewiesen";
    if (refused) {
        say(err_fd, modprobe ? "modprobe: ERROR: could not insert '" + name + "': " + refused + "\n"
                            : tool + ": ERROR: could not insert module " + shown + ": " + refused + "\n");
        return 1;
    }
    int f = g_vpc.faults.insmod_fail;
    if (f == kInsmodBoth || (f == kInsmodFirst && object_file && !modprobe) ||
        ++g_vpc.load_count <= g_vpc.faults.load_fails) {
        say(err_fd, modprobe ? "modprobe: ERROR: could not insert '" + name + "': Invalid module format\n"
                            : tool + ": ERROR: could not insert module " + shown + ": Invalid module format\n");
        return 1;
    }
    ModuleState ms{};
    read_module_state(&ms);
    if (ms.loaded) {
        if (modprobe)  // nothing to do
            return 0;
        say(err_fd, tool + ": ERROR: could not insert module " + shown + ": File exists\n");
        return 1;
    }
    ms.loaded = true;
    ms.major = g_vpc.machine->module_major;
    write_module_state(ms);
    if (!modprobe)
        trace_module_text(arg);
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

// What a shell started by system would run instead of the module tool: the caller's start-up
// file or shell options, or a program of the same name found on PATH before the system's own
// directories. "" when the command would reach the module tool.
std::string caller_code(const char* tool)
{
    for (const char* v : {"ENV", "BASH_ENV", "IFS", "CDPATH", "SHELLOPTS", "LD_LIBRARY_PATH", "LD_AUDIT",
                          "MODPROBE_OPTIONS"})
        if (std::getenv(v))
            return std::string("the caller's ") + v;
    // The machine's own library is no caller's code; any other one the loader would put first.
    if (foreign_preload(std::getenv("LD_PRELOAD")))
        return "the caller's LD_PRELOAD";
    for (char** e = environ; e && *e; ++e)  // a function bash would define from the environment
        if (!std::strncmp(*e, "BASH_FUNC_", 10))
            return "the caller's exported function";
    std::string file = program_file(tool);
    if (file == tool)  // not on PATH: the machine's own tools stand in
        return "";
    for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"})
        if (file.starts_with(dir) && file.find('/', std::strlen(dir)) == std::string::npos)
            return "";
    return "the caller's " + file;
}

// Whether sig ends a module tool started by system: the tool inherits the caller's mask and
// ignored signals (SIGINT and SIGQUIT as they were before system), and some signals only stop
// a process or are dropped by default.
bool ends_module_tool(int sig, const struct sigaction& old_int, const struct sigaction& old_quit)
{
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    struct sigaction act = {};
    if (sig == SIGINT)
        act = old_int;
    else if (sig == SIGQUIT)
        act = old_quit;
    else
        sigaction(sig, nullptr, &act);
    for (int harmless : {SIGTSTP, SIGTTIN, SIGTTOU, SIGSTOP, SIGCONT, SIGCHLD, SIGURG, SIGWINCH})
        if (sig == harmless)
            return false;
    return sigismember(&mask, sig) != 1 && act.sa_handler != SIG_IGN;
}

// A word of the trace: an inherited descriptor is shown as the file it is open on.
std::string trace_word(const std::string& w)
{
    std::string file = opened_file(w);
    return file == w ? w : "fd:" + std::string(base_name(file.c_str()));
}

} // namespace

VPC_EXPORT int system(const char* cmd)
{
    resolve_real();
    if (!cmd)
        return real::system(cmd);
    std::vector<std::string> w = command_words(cmd);
    if (w.empty() || !is_module_tool(w[0].c_str()))
        return signalled("system", system_on_machine(cmd));
    // As the C library's system does while the command runs: SIGINT and SIGQUIT ignored, which
    // discards one that is pending.
    struct sigaction ignore = {}, old_int = {}, old_quit = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);
    std::string other = caller_code(w[0].c_str());
    // The caller's code runs in the tool's place; it loads nothing.
    int code = other.empty() ? emulate_module_tool(w, error_output(cmd)) : 1;
    // signal_call at this command: the terminal's signal reaches the tool (which ignores SIGINT
    // and SIGQUIT meanwhile) and the module tool, after what it did in the kernel.
    int sent = signal_at_call("system", true) ? int(g_vpc.faults.signal_call_number) : 0;
    int killed = sent && ends_module_tool(sent, old_int, old_quit) ? sent : 0;
    if (sent)
        kill(getpid(), sent);
    LineBuf lb;
    lb_init(&lb);
    lb_str(&lb, "system");
    for (const std::string& s : w) {
        lb_str(&lb, " ");
        lb_str(&lb, trace_word(s).c_str());
    }
    lb_str(&lb, " = ");
    lb_dec(&lb, code);
    if (killed) {
        lb_str(&lb, " killed by signal ");
        lb_dec(&lb, killed);
    }
    if (!other.empty()) {
        lb_str(&lb, " ran ");
        lb_str(&lb, other.c_str());
    }
    trace_line(&lb);
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGQUIT, &old_quit, nullptr);
    return killed ? killed : code << 8;  // wait status of a kill, or of a normal exit
}

static int iopl_unsignalled(int level) noexcept
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

VPC_EXPORT int iopl(int level) noexcept
{
    return signalled("iopl", iopl_unsignalled(level));
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
