#include "vpc.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>

const char* const TEST_MACHINE = R"(# test machine
rom_kb = 512
block = 0x80000 0x10000
block = 0x90000 0x10000
block = 0xa0000 0x10000
block = 0xb0000 0x10000
block = 0xc0000 0x10000
block = 0xd0000 0x10000
block = 0xe0000 0x8000
block = 0xe8000 0x8000
block = 0xf0000 0x8000
block = 0xf8000 0x8000
boot_blocks = 2
nvram = 0xe0000
nvram = 0xe8000
smi_port = 0xb2
header_pos = 0x1230
param_offset = 0x20
info_paragraph = 0xe000
info_ptr_offset = 0x10
rom_id = ZX512A01
module_major = 254
module_loaded = 0
flash_seed = 7
)";

Machine::Machine(const std::string& description, const std::vector<std::string>& extra) {
  root = make_temp_dir();
  state = root + "/state";
  work = root + "/work";
  std::filesystem::create_directory(work);
  // Load commands are refused in a directory that others may write, whatever the umask.
  std::filesystem::permissions(work, std::filesystem::perms(0755));
  // The module object under the name the tool's second load command gives insmod, which takes a
  // file in the working directory and never searches the module tree.
  write_file(work + "/zorfldrv_mod", "module object");
  std::string text = description;
  for (const auto& line : extra) text += line + "\n";
  write_file(root + "/machine.conf", text);
  RunResult r = run_command({ZORVPC_PATH, "init", state, "--machine", root + "/machine.conf"}, root);
  if (r.code != 0) throw std::runtime_error("zorvpc init failed: " + r.out + r.err);
}

Machine::~Machine() {
  if (getenv("KEEP_E2E") == nullptr) std::filesystem::remove_all(root);
}

std::vector<std::string> Machine::command(const std::vector<std::string>& args,
                                          const std::vector<std::string>& faults, bool wrapped) const {
  std::vector<std::string> argv = {ZORVPC_PATH, "run", state};
  for (const auto& f : faults) {
    argv.push_back("--fault");
    argv.push_back(f);
  }
  argv.push_back("--");
  if (wrapped) {
    for (const auto& w : tool_command()) argv.push_back(w);
  } else {
    argv.push_back(TOOL_PATH);
  }
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

RunResult Machine::run(const std::vector<std::string>& args, const std::vector<std::string>& faults) {
  return run_command(command(args, faults), work);
}

RunResult Machine::run_in(const std::string& cwd, const std::vector<std::string>& args) {
  return run_command(command(args), cwd);
}

Started Machine::start(const std::vector<std::string>& args, const std::string& cwd) {
  return start_command(command(args), cwd.empty() ? work : cwd, true);
}

RunResult Machine::vpc(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {ZORVPC_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_command(argv, work);
}

std::string Machine::mkrom(const std::string& name, const std::vector<std::string>& options) {
  std::vector<std::string> argv = {"mkrom", state, work + "/" + name};
  argv.insert(argv.end(), options.begin(), options.end());
  RunResult r = vpc(argv);
  if (r.code != 0) throw std::runtime_error("zorvpc mkrom failed: " + r.out + r.err);
  return work + "/" + name;
}

void Machine::set_cmos_byte(int index, uint8_t value) const {
  std::string c = cmos();
  c.at(static_cast<size_t>(index)) = static_cast<char>(value);
  write_file(state + "/cmos.bin", c);
}

std::vector<std::string> Machine::trace() const {
  std::vector<std::string> lines;
  std::istringstream in(read_file(state + "/trace"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void Machine::poke_physmem(uint32_t address, const std::string& bytes) const {
  FILE* f = fopen((state + "/physmem").c_str(), "r+b");
  if (f == nullptr) throw std::runtime_error("physmem");
  fseek(f, address, SEEK_SET);
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

uint32_t le32_at(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes.at(at + i));
  return v;
}

namespace {
uint32_t le16_at(const std::string& bytes, size_t at) {
  return static_cast<uint8_t>(bytes.at(at)) | (static_cast<uint8_t>(bytes.at(at + 1)) << 8);
}
}  // namespace

uint32_t Machine::header_address() const {
  std::string mem = physmem();
  size_t at = mem.find("$QZX", 0xF0000);
  if (at == std::string::npos || at > 0xFFFFF) throw std::runtime_error("no header");
  return static_cast<uint32_t>(at);
}

uint32_t Machine::info_base() const { return le16_at(physmem(), header_address() + 10) * 16; }

uint32_t Machine::record_offset() const {
  std::string mem = physmem();
  uint32_t h = header_address();
  return le32_at(mem, info_base() + le16_at(mem, h + 8));
}

uint32_t Machine::table_offset() const {
  return le16_at(physmem(), info_base() + record_offset() + 10);
}

uint32_t Machine::nvram_offset() const {
  return le16_at(physmem(), info_base() + record_offset() + 12);
}

std::vector<Block> Machine::blocks() const {
  std::string mem = physmem();
  uint32_t table = info_base() + table_offset();
  uint32_t n = le16_at(mem, table);
  std::vector<Block> v;
  for (uint32_t i = 0; i < n; ++i) v.push_back({le32_at(mem, table + 4 + 8 * i), le32_at(mem, table + 8 + 8 * i)});
  return v;
}

std::vector<std::string> lines_starting(const std::vector<std::string>& trace, const std::string& prefix) {
  std::vector<std::string> v;
  for (const auto& l : trace) {
    if (l.rfind(prefix, 0) == 0) v.push_back(l);
  }
  return v;
}

int find_line(const std::vector<std::string>& trace, const std::string& prefix, int from) {
  for (size_t i = static_cast<size_t>(from); i < trace.size(); ++i) {
    if (trace[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
  }
  return -1;
}

std::string frame(const std::string& message) { return "\nERROR: " + message + "\n\n"; }

std::string kernel_release() {
  struct utsname u;
  return uname(&u) == 0 ? u.release : "?";
}

std::string saved_left(const std::string& name) {
  return " The save did not finish: " + name + " is as it was, and what was saved is in " + name +
         ".partial-XXXXXX\n";
}

std::string masked(std::string out) {
  const std::string mark = ".partial-";
  for (size_t at = out.find(mark); at != std::string::npos; at = out.find(mark, at + 1)) {
    if (at + mark.size() + 6 <= out.size()) out.replace(at + mark.size(), 6, "XXXXXX");
  }
  return out;
}

std::string partial_of(const std::string& dir, const std::string& name) {
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::string file = e.path().filename();
    if (file.rfind(name + ".partial-", 0) == 0) return e.path();
  }
  return "";
}

std::string record_field(const Machine& m, const std::string& key) {
  std::istringstream in(read_file(m.state + "/zorflashlnx2/last-run"));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  }
  return "";
}

std::string next_run_line(const Machine& m, const std::string& way_back) {
  std::string outcome = record_field(m, "outcome");
  return " The run of " + record_field(m, "time") + " (" + record_field(m, "command") + ") " +
         (outcome == "running" ? "did not finish" : outcome) + ": the flash may be partly programmed. " + way_back +
         "\n";
}

std::string restore_line(const std::string& backup, const std::string& restore_args) {
  return " The flash may be partly programmed. The BIOS as it was before the update is in " + backup +
         "; to restore it: zorflashlnx2 /i" + backup + restore_args + "\n";
}

std::string rerun_line(const std::string& command) {
  return " The flash may be partly programmed; the same command can be run again: " + command + "\n";
}
