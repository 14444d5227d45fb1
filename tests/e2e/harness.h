// Runs the built tool (directly, or on the virtual PC) and collects what it did.
#pragma once

#include <string>
#include <vector>

struct RunResult {
  int code;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// A command started and not yet waited for: its pid and the read ends of its output pipes.
struct Started {
  int pid;
  int out_fd;
  int err_fd;
};

// The words that put a command on no machine: the virtual PC's library preloaded with none
// attached, which refuses every platform call (I/O privilege, ports, /dev/mem, the node, the run
// lock, the module tools).
std::vector<std::string> no_machine_words();
// Whether argv may be started: a word that names the tool must come after the launcher's "run"
// (the virtual PC) or the command must start with no_machine_words().
bool tool_guarded(const std::vector<std::string>& argv);

// Starts argv[0], refusing (std::logic_error) a command that would run the tool bare on this
// computer; with small_pipe its standard output is a pipe of one page that nobody reads
// until finish_command, so the command stops at its first write beyond 4 KB.
Started start_command(const std::vector<std::string>& argv, const std::string& cwd, bool small_pipe);
// Drains the output and waits for the command.
RunResult finish_command(const Started& started);
// Runs argv[0] with the arguments in the working directory cwd; refuses as start_command does.
RunResult run_command(const std::vector<std::string>& argv, const std::string& cwd);
// The built tool, after the words of ZORFL_E2E_WRAPPER when that is set (for instance a
// valgrind command line): the tool's own path comes last.
std::vector<std::string> tool_command();
// The tool with no machine (no_machine_words): for runs that end before any platform access.
RunResult run_tool(const std::vector<std::string>& args, const std::string& cwd = ".");

std::string make_temp_dir();
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
bool file_exists(const std::string& path);

extern const char* const TOOL_PATH;
extern const char* const ZORVPC_PATH;
