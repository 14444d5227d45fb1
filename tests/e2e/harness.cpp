#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

const char* const TOOL_PATH = ZORFL_TOOL;
#ifdef ZORVPC
const char* const ZORVPC_PATH = ZORVPC;
#else
const char* const ZORVPC_PATH = "zorvpc-not-built";
#endif

namespace {

// A sanitizer build of the tool runs on the virtual PC, whose library is preloaded ahead of the
// sanitizer runtime and traps the port instructions with a SIGSEGV handler of its own; the
// runtime must accept both. Its findings end the run with a code the tool never uses. Options
// already in the environment come after these, so they win.
constexpr int SANITIZER_EXIT = 99;

void set_sanitizer_options() {
  const char* asan = "verify_asan_link_order=0:handle_segv=0:allow_user_segv_handler=1:detect_leaks=1";
  const char* ubsan = "print_stacktrace=1";
  std::string exit_code = ":exitcode=" + std::to_string(SANITIZER_EXIT);
  for (auto [name, ours] : {std::pair{"ASAN_OPTIONS", asan}, std::pair{"UBSAN_OPTIONS", ubsan}}) {
    const char* theirs = getenv(name);
    std::string value = ours + exit_code + (theirs != nullptr ? std::string(":") + theirs : "");
    setenv(name, value.c_str(), 1);
  }
}

void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  int open_count = 2;
  char buf[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      } else {
        (i == 0 ? out : err).append(buf, static_cast<size_t>(n));
      }
    }
  }
}
// The tool starts with every signal at its default and none blocked, whatever the suite was
// started from (a script's background job has SIGINT and SIGQUIT ignored, for one).
void default_signals() {
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) signal(sig, SIG_DFL);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

bool names_tool(const std::string& word) {
  size_t slash = word.rfind('/');
  return word.find(TOOL_PATH) != std::string::npos ||
         word.substr(slash == std::string::npos ? 0 : slash + 1) == "zorflashlnx2";
}

}  // namespace

std::vector<std::string> no_machine_words() {
#ifdef ZORVPC_LIB
  // The loader runs a program bare when a preload library is missing: make sure it is there.
  if (!file_exists(ZORVPC_LIB)) throw std::logic_error(std::string("no library ") + ZORVPC_LIB);
  return {"/usr/bin/env", "-u", "ZORVPC_STATE", "-u", "ZORVPC_FAULTS", std::string("LD_PRELOAD=") + ZORVPC_LIB};
#else
  throw std::logic_error("the virtual PC's library is not built: the tool cannot run");
#endif
}

bool tool_guarded(const std::vector<std::string>& argv) {
  std::vector<std::string> guard = no_machine_words();
  if (argv.size() > guard.size() && std::equal(guard.begin(), guard.end(), argv.begin())) return true;
  for (size_t i = 0; i < argv.size(); ++i) {
    if (argv[i] == ZORVPC_PATH && i + 1 < argv.size() && argv[i + 1] == "run") return true;
    if (names_tool(argv[i])) return false;
  }
  return true;
}

Started start_command(const std::vector<std::string>& argv, const std::string& cwd, bool small_pipe) {
  if (!tool_guarded(argv)) {
    std::string words;
    for (const auto& w : argv) words += " " + w;
    throw std::logic_error("refused: the tool would run bare on this computer:" + words);
  }
  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe");
  if (small_pipe && fcntl(out_pipe[1], F_SETPIPE_SZ, 4096) < 0) throw std::runtime_error("F_SETPIPE_SZ");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(err_pipe[0]);
    int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, 0);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    set_sanitizer_options();
    default_signals();
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  return {pid, out_pipe[0], err_pipe[0]};
}

RunResult finish_command(const Started& started) {
  RunResult result{0, "", ""};
  drain(started.out_fd, started.err_fd, result.out, result.err);
  int status = 0;
  waitpid(started.pid, &status, 0);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // Whatever test made this run, a sanitizer's report must reach the test log.
  if (result.code == SANITIZER_EXIT) fprintf(stderr, "%s", result.err.c_str());
  return result;
}

RunResult run_command(const std::vector<std::string>& argv, const std::string& cwd) {
  return finish_command(start_command(argv, cwd, false));
}

std::vector<std::string> tool_command() {
  std::vector<std::string> words;
  std::istringstream wrapper(getenv("ZORFL_E2E_WRAPPER") != nullptr ? getenv("ZORFL_E2E_WRAPPER") : "");
  for (std::string w; wrapper >> w;) words.push_back(w);
  words.push_back(TOOL_PATH);
  return words;
}

RunResult run_tool(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> argv = no_machine_words();
  for (const auto& w : tool_command()) argv.push_back(w);
  argv.insert(argv.end(), args.begin(), args.end());
  return run_command(argv, cwd);
}

std::string make_temp_dir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base != nullptr ? base : "/tmp") + "/zorfl-e2e-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp");
  return templ;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}
