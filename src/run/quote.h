// The two text forms of a name or a command word that came from the user: the record's (every
// byte kept, the file stays plain ASCII lines) and the screen's (exact for sh, safe for a terminal).
#pragma once

#include <cstddef>

// Bytes 0x20..0x7E as they are, a backslash as "\\", every other byte as "\xHH". Cut short
// (never mid-escape) when out is too small.
void record_escape(char* out, size_t size, const char* bytes, size_t len);
// The bytes back from record_escape's text; NUL-terminated in out. 0 when the text is not such a
// text, holds a NUL byte or does not fit.
int record_unescape(char* out, size_t size, const char* text, size_t len);

// A text for the screen only: every byte that is not part of a character a terminal shows as
// text (control characters C0 and C1, DEL, bytes that are not UTF-8) becomes '?'. text is a C
// string; at most its first len bytes are shown.
void shown_text(char* out, size_t size, const char* text, size_t len);

// Appends word, after a blank when out is not empty, as sh reads it back to the same bytes and
// as any terminal shows it without acting on it: plain; in single quotes; or, for a word with
// control characters, C1 controls, bytes that are not UTF-8 or bidirectional overrides, through
// printf with octal escapes. out is left unchanged when the whole word does not fit.
void append_shell_word(char* out, size_t size, const char* word);
