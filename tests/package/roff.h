// Reading a man(7) page as a reader sees it: the printed text of its lines, its sections and the
// tagged paragraphs (.TP) of a section. Shared by the manual page tests.
#pragma once

#include <string>
#include <vector>

std::string read_file(const char* path);
std::vector<std::string> split_lines(const std::string& text);

// The printed text of a roff text fragment: escapes resolved or dropped.
std::string unescape(const std::string& s);
// Arguments of a macro line, with "double quoted" arguments kept whole.
std::vector<std::string> macro_args(const std::string& rest);
// "TP" for ".TP", "" for a text line.
std::string macro_name(const std::string& line);
// The printed text of one input line: font macros give their arguments (the alternating ones
// joined without a space), other macros nothing.
std::string line_text(const std::string& line);
// The printed title of a .SH or .SS line.
std::string heading_text(const std::string& line);

// The lines of section `title`, up to the next .SH; found is false when there is no such section.
std::vector<std::string> section(const std::vector<std::string>& lines, const std::string& title,
                                 bool* found);

struct Entry {
  std::string tag;
  std::string body;
};

// The top-level .TP paragraphs of a section: their tag line and the text after it, up to the
// next paragraph macro. Entries nested between .RS and .RE belong to their parent's body.
std::vector<Entry> tagged_paragraphs(const std::vector<std::string>& lines);
