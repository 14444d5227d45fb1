// The manual page of zorvpc against the program itself, asked at test time: the FAULTS section
// must describe exactly the fault keys of `zorvpc --help`, the DESCRIPTION FILE section exactly
// its description keys, and SYNOPSIS and COMMANDS exactly the commands and options of its usage.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "roff.h"

namespace {

// Standard output and error of a shell command.
std::string command_output(const std::string& command) {
  std::string out;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  return out;
}

// The block of the help text that starts with a line beginning with `heading`, up to the next
// empty line (the heading line itself excluded).
std::vector<std::string> help_block(const std::string& help, const std::string& heading) {
  std::vector<std::string> block;
  bool inside = false;
  for (const std::string& line : split_lines(help)) {
    if (!inside) {
      inside = line.rfind(heading, 0) == 0;
      continue;
    }
    if (line.empty()) break;
    block.push_back(line);
  }
  return block;
}

// A lower-case key at the start of s, up to the first character that cannot be part of one.
std::string leading_key(const std::string& s) {
  size_t n = 0;
  while (n < s.size() && (std::islower(static_cast<unsigned char>(s[n])) || s[n] == '_')) ++n;
  return s.substr(0, n);
}

// Keys of a help block: entry lines are indented by exactly two blanks and start with a
// lower-case key that `after` follows; deeper lines continue an entry, capitalised lines are notes.
std::set<std::string> help_keys(const std::vector<std::string>& block, const std::string& after) {
  std::set<std::string> keys;
  for (const std::string& line : block) {
    if (line.rfind("  ", 0) != 0 || line.size() < 3 || line[2] == ' ') continue;
    std::string key = leading_key(line.substr(2));
    if (key.empty()) continue;
    std::string rest = line.substr(2 + key.size());
    for (const std::string& a : {after, std::string("=")}) {
      if (rest.rfind(a, 0) == 0) {
        keys.insert(key);
        break;
      }
    }
  }
  return keys;
}

// Options ("--name") named anywhere in a text; a bare "--" is not one.
std::set<std::string> long_options(const std::string& text) {
  std::set<std::string> options;
  for (size_t i = 0; i + 2 < text.size(); ++i) {
    bool starts = i == 0 || text[i - 1] == ' ' || text[i - 1] == '[';
    if (!starts || text.compare(i, 2, "--") != 0 ||
        !std::islower(static_cast<unsigned char>(text[i + 2]))) {
      continue;
    }
    size_t end = i + 2;
    while (end < text.size() &&
           (std::islower(static_cast<unsigned char>(text[end])) || text[end] == '-')) {
      ++end;
    }
    options.insert(text.substr(i, end - i));
  }
  return options;
}

// The word after "zorvpc" on each line of the usage text: the commands.
std::set<std::string> usage_commands(const std::string& usage) {
  std::set<std::string> commands;
  for (const std::string& line : split_lines(usage)) {
    size_t at = line.find("zorvpc ");
    if (at == std::string::npos) continue;
    std::string rest = line.substr(at + 7);
    commands.insert(rest.substr(0, rest.find(' ')));
  }
  return commands;
}

struct Described {
  std::map<std::string, int> count;  // key -> number of entries for it
};

// The keys that the top-level entries of a page section describe: each tag up to its first
// blank or "=".
Described described_keys(const std::string& page, const std::string& title, bool* found) {
  Described d;
  for (const Entry& e : tagged_paragraphs(section(split_lines(page), title, found))) {
    ++d.count[e.tag.substr(0, e.tag.find_first_of(" ="))];
  }
  return d;
}

// Every difference between the keys a page section describes and the program's, both ways.
std::vector<std::string> compare_keys(const Described& page, const std::set<std::string>& program,
                                      const std::string& what) {
  std::vector<std::string> diffs;
  for (const std::string& key : program) {
    if (!page.count.count(key)) diffs.push_back(what + " '" + key + "' missing from the page");
  }
  for (const auto& [key, n] : page.count) {
    if (!program.count(key)) diffs.push_back(what + " '" + key + "' is not one of the program's");
    if (n > 1) diffs.push_back(what + " '" + key + "' described " + std::to_string(n) + " times");
  }
  return diffs;
}

std::string join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& s : items) out += s + "\n";
  return out;
}

const std::string& real_page() {
  static const std::string page = read_file(ZORVPC_MAN_PAGE);
  return page;
}

const std::string& real_help() {
  static const std::string help = command_output("'" ZORVPC "' --help");
  return help;
}

// Without a command zorvpc prints its usage (on standard error).
const std::string& real_usage() {
  static const std::string usage = command_output("'" ZORVPC "'");
  return usage;
}

TEST(ZorvpcManPage, FaultsDescribesExactlyTheLaunchersFaultKeys) {
  ASSERT_FALSE(real_page().empty()) << "cannot read " << ZORVPC_MAN_PAGE;
  std::set<std::string> keys = help_keys(help_block(real_help(), "FAULTS"), "  ");
  ASSERT_GE(keys.size(), 20u) << real_help();
  bool found = false;
  Described page = described_keys(real_page(), "FAULTS", &found);
  ASSERT_TRUE(found);
  std::vector<std::string> diffs = compare_keys(page, keys, "fault");
  EXPECT_TRUE(diffs.empty()) << join(diffs);
}

TEST(ZorvpcManPage, DescriptionFileDescribesExactlyTheDescriptionKeys) {
  std::set<std::string> keys = help_keys(help_block(real_help(), "DESCRIPTION"), " = ");
  ASSERT_GE(keys.size(), 18u) << real_help();
  bool found = false;
  Described page = described_keys(real_page(), "DESCRIPTION FILE", &found);
  ASSERT_TRUE(found);
  std::vector<std::string> diffs = compare_keys(page, keys, "description key");
  EXPECT_TRUE(diffs.empty()) << join(diffs);
}

TEST(ZorvpcManPage, SynopsisAndCommandsNameExactlyTheUsage) {
  std::set<std::string> commands = usage_commands(real_usage());
  std::set<std::string> options = long_options(real_usage());
  ASSERT_GE(commands.size(), 5u) << real_usage();
  ASSERT_GE(options.size(), 10u) << real_usage();
  std::vector<std::string> lines = split_lines(real_page());

  bool found = false;
  std::string synopsis;
  std::set<std::string> synopsis_commands;
  for (const std::string& line : section(lines, "SYNOPSIS", &found)) {
    std::string text = line_text(line);
    if (macro_name(line) == "SY") synopsis += "\n";
    synopsis += " " + text;
  }
  ASSERT_TRUE(found);
  EXPECT_EQ(long_options(synopsis), options);
  // The first word after each .SY: the synopsis lists every command once.
  for (const std::string& block : split_lines(synopsis)) {
    std::string words = block.substr(block.find_first_not_of(' ') == std::string::npos
                                         ? block.size()
                                         : block.find_first_not_of(' '));
    if (!words.empty()) synopsis_commands.insert(words.substr(0, words.find(' ')));
  }
  EXPECT_EQ(synopsis_commands, commands);

  // COMMANDS: one subsection per command, a tagged entry per option that is not a command.
  std::vector<std::string> body = section(lines, "COMMANDS", &found);
  ASSERT_TRUE(found);
  std::set<std::string> subsections;
  for (const std::string& line : body) {
    if (macro_name(line) != "SS") continue;
    std::string title = heading_text(line);
    EXPECT_TRUE(subsections.insert(title.substr(0, title.find(' '))).second) << title;
  }
  EXPECT_EQ(subsections, commands);
  std::set<std::string> tagged;
  for (const Entry& e : tagged_paragraphs(body)) {
    for (const std::string& o : long_options(e.tag)) tagged.insert(o);
  }
  std::set<std::string> plain_options;
  for (const std::string& o : options) {
    if (!commands.count(o)) plain_options.insert(o);
  }
  EXPECT_EQ(tagged, plain_options);
}

// The extraction itself, on small texts: a page or help that drifts apart must not pass.
const char* const kSmallHelp =
    "zorvpc - a virtual PC\n"
    "\n"
    "DESCRIPTION (DIR/machine): KEY = VALUE lines\n"
    "  rom_kb = KB                ROM size\n"
    "  block = ADDR SIZE          one entry\n"
    "  block = none               forget the entries\n"
    "                             no_such = continuation, not a key\n"
    "  Numbers: decimal or 0x hex.\n"
    "\n"
    "FAULTS (zorvpc run --fault KEY[=VAL])\n"
    "  iopl_fail            iopl() returns -1\n"
    "  map_fail=bios|info   mmap fails\n"
    "  insmod_fail=first    the first insmod fails\n"
    "  insmod_fail=both     both fail\n"
    "  power_loss=N         killed on the N-th write,\n"
    "                       before_it = continuation\n"
    "  Address faults may be given several times.\n"
    "\n"
    "TRACE (DIR/trace)\n"
    "  iopl 3 = 0\n";

TEST(ZorvpcManPageExtraction, HelpKeysSkipContinuationsNotesAndOtherBlocks) {
  EXPECT_EQ(help_keys(help_block(kSmallHelp, "FAULTS"), "  "),
            (std::set<std::string>{"iopl_fail", "map_fail", "insmod_fail", "power_loss"}));
  EXPECT_EQ(help_keys(help_block(kSmallHelp, "DESCRIPTION"), " = "),
            (std::set<std::string>{"rom_kb", "block"}));
  EXPECT_TRUE(help_block(kSmallHelp, "ENVIRONMENT").empty());
}

TEST(ZorvpcManPageExtraction, FindsEveryDifferenceOfTheFaultKeys) {
  const std::set<std::string> program = {"iopl_fail", "map_fail", "power_loss"};
  const std::string good = ".TP\n.B iopl_fail\nFails.\n"
                           ".TP\n.BR map_fail=bios | info\nFails too.\n"
                           ".TP\n.BI power_loss= n\nKilled.\n.RS\n.TP\n.B nested_key\nPart of it.\n.RE\n";
  struct Case {
    const char* what;
    std::string body;
    std::vector<std::string> diffs;
  };
  const std::vector<Case> cases = {
      {"all three, a nested list inside an entry", good, {}},
      {"a key missing", ".TP\n.B iopl_fail\nx\n.TP\n.BI power_loss= n\nx\n",
       {"fault 'map_fail' missing from the page"}},
      {"a key the program does not have", good + ".TP\n.B old_fault\nx\n",
       {"fault 'old_fault' is not one of the program's"}},
      {"a key twice", good + ".TP\n.B iopl_fail\nagain\n",
       {"fault 'iopl_fail' described 2 times"}},
  };
  for (const Case& c : cases) {
    std::string page = ".TH T 1\n.SH NAME\nt \\- t\n.SH FAULTS\n" + c.body +
                       ".SH TRACE\n.TP\n.B not_a_fault\nx\n";
    bool found = false;
    EXPECT_EQ(compare_keys(described_keys(page, "FAULTS", &found), program, "fault"), c.diffs)
        << c.what;
    EXPECT_TRUE(found) << c.what;
  }
}

TEST(ZorvpcManPageExtraction, DescriptionKeysEndAtTheirBlankOrEquals) {
  bool found = false;
  Described d = described_keys(".SH \"DESCRIPTION FILE\"\n.TP\n.BI \"rom_kb = \" kb\nx\n"
                               ".TP\n.BI \"block = \" \"address size\"\nx\n"
                               ".TP\n.BR \"module_loaded = 0\" | 1\nx\n",
                               "DESCRIPTION FILE", &found);
  EXPECT_TRUE(found);
  EXPECT_EQ(compare_keys(d, {"rom_kb", "block", "module_loaded"}, "key"),
            std::vector<std::string>{});
}

TEST(ZorvpcManPageExtraction, UsageCommandsAndOptions) {
  const std::string usage =
      "usage: zorvpc init DIR [--machine FILE]\n"
      "       zorvpc run DIR [--fault KEY[=VAL]]... [--clear-trace] -- COMMAND\n"
      "       zorvpc --help\n";
  EXPECT_EQ(usage_commands(usage), (std::set<std::string>{"init", "run", "--help"}));
  EXPECT_EQ(long_options(usage),
            (std::set<std::string>{"--machine", "--fault", "--clear-trace", "--help"}));
  EXPECT_EQ(long_options("a--b [--id] x --"), (std::set<std::string>{"--id"}));
}

}  // namespace
