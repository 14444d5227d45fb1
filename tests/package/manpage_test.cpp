// The manual page against the tool's own tables: the exit codes of its EXIT STATUS section must be
// exactly EXIT_CODE_TABLE, each described by the table's meaning, and the options of SYNOPSIS and
// OPTIONS exactly those of the usage text, and /e in OPTIONS.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "roff.h"
#include "run/exit_codes.h"
#include "run/options.h"

namespace {

struct ManExitCodes {
  std::map<int, std::string> meaning;  // code -> entry text
  std::vector<std::string> problems;   // anything that is not one clean entry per code
};

ManExitCodes man_exit_codes(const std::string& page) {
  ManExitCodes result;
  bool found = false;
  std::vector<std::string> lines = section(split_lines(page), "EXIT STATUS", &found);
  if (!found) {
    result.problems.push_back("no EXIT STATUS section");
    return result;
  }
  for (const Entry& e : tagged_paragraphs(lines)) {
    bool numeric = !e.tag.empty() && e.tag.size() <= 3;
    for (char c : e.tag) numeric = numeric && std::isdigit(static_cast<unsigned char>(c));
    if (!numeric) {
      result.problems.push_back("entry tag '" + e.tag + "' is not an exit code");
      continue;
    }
    int code = std::stoi(e.tag);
    if (!result.meaning.emplace(code, e.body).second) {
      result.problems.push_back("exit code " + e.tag + " listed twice");
    }
  }
  if (result.meaning.empty()) result.problems.push_back("no exit codes listed");
  return result;
}

std::map<int, std::string> tool_exit_codes() {
  std::map<int, std::string> codes;
  for (const ExitCodeInfo* e = EXIT_CODE_TABLE; e->meaning != nullptr; ++e) {
    codes[e->code] = e->meaning;
  }
  return codes;
}

bool same_letter(char a, char b) {
  return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

// The entry starts with the table's meaning (its first letter in either case) as a whole phrase.
bool describes(const std::string& body, const std::string& meaning) {
  if (meaning.empty() || body.size() < meaning.size()) return false;
  if (!same_letter(body[0], meaning[0]) || body.compare(1, meaning.size() - 1, meaning, 1) != 0) {
    return false;
  }
  return body.size() == meaning.size() ||
         !std::isalnum(static_cast<unsigned char>(body[meaning.size()]));
}

// Every difference between the page's exit codes and the tool's, both ways.
std::vector<std::string> compare_exit_codes(const ManExitCodes& man,
                                            const std::map<int, std::string>& tool) {
  std::vector<std::string> diffs = man.problems;
  for (const auto& [code, meaning] : tool) {
    auto it = man.meaning.find(code);
    if (it == man.meaning.end()) {
      diffs.push_back("exit code " + std::to_string(code) + " missing from the page");
    } else if (!describes(it->second, meaning)) {
      diffs.push_back("exit code " + std::to_string(code) + " is described as '" + it->second +
                      "', not as '" + meaning + "'");
    }
  }
  for (const auto& [code, text] : man.meaning) {
    if (!tool.count(code)) {
      diffs.push_back("exit code " + std::to_string(code) + " is not one of the tool's");
    }
  }
  return diffs;
}

// Option keys ("/i", "/o", ...) named anywhere in a text.
std::set<std::string> option_keys(const std::string& text) {
  std::set<std::string> keys;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    bool starts = i == 0 || !std::isalnum(static_cast<unsigned char>(text[i - 1]));
    if (starts && text[i] == '/' && std::islower(static_cast<unsigned char>(text[i + 1]))) {
      keys.insert(text.substr(i, 2));
    }
  }
  return keys;
}

std::string usage_text() {
  testing::internal::CaptureStdout();
  show_usage();
  return testing::internal::GetCapturedStdout();
}

const std::string& real_page() {
  static const std::string page = read_file(ZORFL_MAN_PAGE);
  return page;
}

std::string join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& s : items) out += s + "\n";
  return out;
}

TEST(ManPage, ExitStatusListsExactlyTheToolsExitCodes) {
  ASSERT_FALSE(real_page().empty()) << "cannot read " << ZORFL_MAN_PAGE;
  std::vector<std::string> diffs = compare_exit_codes(man_exit_codes(real_page()), tool_exit_codes());
  EXPECT_TRUE(diffs.empty()) << join(diffs);
}

TEST(ManPage, SynopsisAndOptionsNameExactlyTheUsageOptions) {
  std::set<std::string> usage = option_keys(usage_text());
  ASSERT_GE(usage.size(), 12u);
  std::vector<std::string> lines = split_lines(real_page());

  bool found = false;
  std::string synopsis;
  for (const std::string& line : section(lines, "SYNOPSIS", &found)) synopsis += line_text(line);
  ASSERT_TRUE(found);
  EXPECT_EQ(option_keys(synopsis), usage);

  std::vector<std::string> options_section = section(lines, "OPTIONS", &found);
  ASSERT_TRUE(found);
  std::set<std::string> described;
  for (const Entry& e : tagged_paragraphs(options_section)) {
    if (e.tag.size() >= 2 && e.tag[0] == '/') {
      EXPECT_TRUE(described.insert(e.tag.substr(0, 2)).second) << e.tag << " described twice";
    }
  }
  // The usage text is fixed; /e has its entry beside it.
  usage.insert("/e");
  EXPECT_EQ(described, usage);
}

// The extraction itself, on small pages: a page that drifts from the table must not pass.
std::string page_with(const std::string& exit_status_body) {
  return ".TH T 8\n.SH NAME\nt \\- t\n.SH OPTIONS\n.TP\n.B 7\nNot an exit code.\n"
         ".SH \"EXIT STATUS\"\n" +
         exit_status_body + ".SH FILES\n.TP\n.B 9\nNot an exit code either.\n";
}

const std::map<int, std::string> small_table = {
    {0, "success"}, {1, "invalid command line"}, {48, "no usable input ROM file"}};

TEST(ManPageExtraction, FindsEveryDifference) {
  const std::string good = ".TP\n.B 0\nSuccess.\n.TP\n.B 1\nInvalid command line.\nMore.\n"
                           ".TP\n.B 48\nNo usable input ROM file:\n.B /d\nwithout it.\n";
  struct Case {
    const char* what;
    std::string body;
    std::vector<std::string> diffs;
  };
  const std::vector<Case> cases = {
      {"all three, with text after the meaning", good, {}},
      {"a code missing",
       ".TP\n.B 0\nSuccess.\n.TP\n.B 48\nNo usable input ROM file.\n",
       {"exit code 1 missing from the page"}},
      {"a code too many",
       good + ".TP\n.B 99\nSomething else.\n",
       {"exit code 99 is not one of the tool's"}},
      {"a code twice",
       good + ".TP\n.B 1\nInvalid command line.\n",
       {"exit code 1 listed twice"}},
      {"an entry whose tag is not a number",
       good + ".TP\n.B /dev/mem\nA file.\n",
       {"entry tag '/dev/mem' is not an exit code"}},
      {"a meaning that drifted",
       ".TP\n.B 0\nSuccess.\n.TP\n.B 1\nBad options.\n.TP\n.B 48\nNo usable input ROM file.\n",
       {"exit code 1 is described as 'Bad options.', not as 'invalid command line'"}},
      {"a meaning that only starts the same word",
       ".TP\n.B 0\nSuccessful.\n.TP\n.B 1\nInvalid command line.\n.TP\n.B 48\n"
       "No usable input ROM file.\n",
       {"exit code 0 is described as 'Successful.', not as 'success'"}},
      {"a nested list is part of its entry",
       ".TP\n.B 0\nSuccess.\n.RS\n.TP\n.B 5\nNested.\n.RE\n.TP\n.B 1\nInvalid command line.\n"
       ".TP\n.B 48\nNo usable input ROM file.\n",
       {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(compare_exit_codes(man_exit_codes(page_with(c.body)), small_table), c.diffs) << c.what;
  }
}

TEST(ManPageExtraction, APageWithoutTheSectionOrItsEntriesFails) {
  ManExitCodes none = man_exit_codes(".TH T 8\n.SH NAME\nt \\- t\n.SH FILES\n.TP\n.B 0\nx\n");
  EXPECT_EQ(none.problems, std::vector<std::string>{"no EXIT STATUS section"});
  ManExitCodes empty = man_exit_codes(page_with("Codes are listed elsewhere.\n"));
  EXPECT_EQ(empty.problems, std::vector<std::string>{"no exit codes listed"});
}

TEST(ManPageExtraction, TextOfRoffLines) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain \\(dqtext\\(dq with \\-minus", "plain \"text\" with -minus"},
      {".B 128", "128"},
      {".BI /i rom-file", "/irom-file"},
      {".RB (\\(dq \"error opening /dev/mem!\" \\(dq).", "(\"error opening /dev/mem!\")."},
      {"\\fB/p\\fP[\\fBb\\fP]", "/p[b]"},
      {".TP", ""},
      {".\\\" a comment", ""},
  };
  for (const auto& [line, text] : cases) EXPECT_EQ(line_text(line), text) << line;
}

}  // namespace
