#include "roff.h"

#include <fstream>
#include <map>
#include <set>
#include <sstream>

std::string read_file(const char* path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string unescape(const std::string& s) {
  static const std::map<std::string, std::string> named = {
      {"dq", "\""}, {"aq", "'"}, {"bu", "*"}, {"em", "--"}, {"en", "-"}};
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    if (c == 'f' && i + 1 < s.size()) {
      ++i;  // font change
    } else if (c == '(' && i + 2 < s.size()) {
      auto it = named.find(s.substr(i + 1, 2));
      out += it != named.end() ? it->second : "?";
      i += 2;
    } else if (c == '-' || c == '\\') {
      out += c;
    } else if (c == ' ' || c == '~') {
      out += ' ';
    }  // \& \% \c and the rest print nothing
  }
  return out;
}

std::vector<std::string> macro_args(const std::string& rest) {
  std::vector<std::string> args;
  size_t i = 0;
  while (i < rest.size()) {
    while (i < rest.size() && rest[i] == ' ') ++i;
    if (i == rest.size()) break;
    std::string arg;
    if (rest[i] == '"') {
      for (++i; i < rest.size() && rest[i] != '"'; ++i) arg += rest[i];
      ++i;
    } else {
      for (; i < rest.size() && rest[i] != ' '; ++i) arg += rest[i];
    }
    args.push_back(arg);
  }
  return args;
}

std::string macro_name(const std::string& line) {
  if (line.empty() || (line[0] != '.' && line[0] != '\'')) return "";
  size_t end = line.find(' ');
  return line.substr(1, end == std::string::npos ? std::string::npos : end - 1);
}

std::string line_text(const std::string& line) {
  std::string name = macro_name(line);
  if (line.empty() || line.rfind(".\\\"", 0) == 0) return "";
  if (name.empty() && line[0] != '.') return unescape(line);
  size_t space = line.find(' ');
  std::vector<std::string> args =
      macro_args(space == std::string::npos ? "" : line.substr(space + 1));
  std::string joined;
  if (name == "B" || name == "I") {
    for (size_t i = 0; i < args.size(); ++i) joined += (i ? " " : "") + args[i];
  } else if (name.size() == 2 && std::string("BIR").find(name[0]) != std::string::npos &&
             std::string("BIR").find(name[1]) != std::string::npos) {
    for (const std::string& a : args) joined += a;
  } else {
    return "";
  }
  return unescape(joined);
}

std::string heading_text(const std::string& line) {
  size_t space = line.find(' ');
  std::string joined;
  if (space != std::string::npos) {
    std::vector<std::string> args = macro_args(line.substr(space + 1));
    for (size_t i = 0; i < args.size(); ++i) joined += (i ? " " : "") + args[i];
  }
  return unescape(joined);
}

std::vector<std::string> section(const std::vector<std::string>& lines, const std::string& title,
                                 bool* found) {
  std::vector<std::string> body;
  *found = false;
  bool inside = false;
  for (const std::string& line : lines) {
    if (macro_name(line) == "SH") {
      if (inside) break;
      inside = line == ".SH " + title || line == ".SH \"" + title + "\"";
      *found = *found || inside;
      continue;
    }
    if (inside) body.push_back(line);
  }
  return body;
}

std::vector<Entry> tagged_paragraphs(const std::vector<std::string>& lines) {
  static const std::set<std::string> breaks = {"TP", "PP", "P", "LP", "IP", "SS", "SH", "EX"};
  std::vector<Entry> entries;
  int depth = 0;
  bool in_entry = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string name = macro_name(lines[i]);
    if (name == "RS") ++depth;
    if (name == "RE") --depth;
    if (depth > 0 || name == "RE") continue;
    if (name == "TP") {
      entries.push_back({i + 1 < lines.size() ? line_text(lines[i + 1]) : "", ""});
      in_entry = true;
      ++i;
      continue;
    }
    if (breaks.count(name)) {
      in_entry = false;
      continue;
    }
    std::string text = line_text(lines[i]);
    if (in_entry && !text.empty()) {
      Entry& e = entries.back();
      e.body += (e.body.empty() ? "" : " ") + text;
    }
  }
  return entries;
}
