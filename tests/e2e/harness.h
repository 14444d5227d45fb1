// Runs the built tool (directly, or on the virtual PC) and collects what it did.
#pragma once

#include <string>
#include <vector>

struct RunResult {
  int code;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs argv[0] with the arguments in the working directory cwd.
RunResult run_command(const std::vector<std::string>& argv, const std::string& cwd);
// The built tool, after the words of ZORFL_E2E_WRAPPER when that is set (for instance a
// valgrind command line): the tool's own path comes last.
std::vector<std::string> tool_command();
RunResult run_tool(const std::vector<std::string>& args, const std::string& cwd = ".");

std::string make_temp_dir();
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
bool file_exists(const std::string& path);

extern const char* const TOOL_PATH;
