#include "run/quote.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

bool plain_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != '\0' && strchr("_./:=@%+,-", c) != nullptr);
}

// Length of the character at p that a terminal shows as text: a printable ASCII byte, or a whole
// UTF-8 sequence for a code point from U+00A0 on that is not a bidirectional control. 0 for
// anything a terminal could act on or would show as another character (copied back, a paste
// would then name another file).
size_t shown_length(const unsigned char* p) {
  if (p[0] >= 0x20 && p[0] < 0x7F) return 1;
  size_t n = p[0] >= 0xC2 && p[0] <= 0xDF ? 2 : p[0] >= 0xE0 && p[0] <= 0xEF ? 3 : p[0] >= 0xF0 && p[0] <= 0xF4 ? 4 : 0;
  uint32_t cp = n == 2 ? p[0] & 0x1F : n == 3 ? p[0] & 0x0F : p[0] & 0x07;
  for (size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (p[i] & 0x3F);
  }
  static const uint32_t MIN[5] = {0, 0, 0xA0, 0x800, 0x10000};
  if (n == 0 || cp < MIN[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  bool bidi = (cp >= 0x200E && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
  return bidi ? 0 : n;
}

// Writes text to out at *n, keeping room for the NUL; false when it does not fit.
bool put(char* out, size_t size, size_t* n, const char* text, size_t len) {
  if (*n + len >= size) return false;
  memcpy(out + *n, text, len);
  *n += len;
  return true;
}

}  // namespace

// Byte by byte without a call per byte: every run writes its record twice and reads it once.
void record_escape(char* out, size_t size, const char* bytes, size_t len) {
  static const char HEX[] = "0123456789abcdef";
  if (size == 0) return;
  size_t n = 0;
  for (size_t i = 0; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    bool plain = c >= 0x20 && c < 0x7F && c != '\\';
    size_t k = plain ? 1 : c == '\\' ? 2 : 4;
    if (n + k >= size) break;
    if (plain) {
      out[n] = static_cast<char>(c);
    } else if (c == '\\') {
      out[n] = out[n + 1] = '\\';
    } else {
      out[n] = '\\';
      out[n + 1] = 'x';
      out[n + 2] = HEX[c >> 4];
      out[n + 3] = HEX[c & 15];
    }
    n += k;
  }
  out[n] = '\0';
}

namespace {
int hex_digit(char c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}
}  // namespace

int record_unescape(char* out, size_t size, const char* text, size_t len) {
  size_t n = 0;
  for (size_t i = 0; i < len; ++i, ++n) {
    if (n + 1 >= size) return 0;
    char c = text[i];
    if (c == '\\') {
      int hi = i + 3 < len && text[i + 1] == 'x' ? hex_digit(text[i + 2]) : -1;
      int lo = hi < 0 ? -1 : hex_digit(text[i + 3]);
      if (i + 1 < len && text[i + 1] == '\\') {
        ++i;
      } else if (lo >= 0 && (hi | lo) != 0) {
        c = static_cast<char>(hi << 4 | lo);
        i += 3;
      } else {
        return 0;
      }
    }
    out[n] = c;
  }
  if (size == 0) return 0;
  out[n] = '\0';
  return 1;
}

void shown_text(char* out, size_t size, const char* text, size_t len) {
  if (size == 0) return;
  const unsigned char* t = reinterpret_cast<const unsigned char*>(text);
  size_t n = 0;
  for (size_t i = 0; i < len && t[i] != '\0';) {
    size_t k = shown_length(t + i);
    if (k > len - i) k = 0;
    if (k == 0) {
      if (!put(out, size, &n, "?", 1)) break;
      ++i;
    } else {
      if (!put(out, size, &n, text + i, k)) break;
      i += k;
    }
  }
  out[n] = '\0';
}

void append_shell_word(char* out, size_t size, const char* word) {
  const unsigned char* w = reinterpret_cast<const unsigned char*>(word);
  bool plain = w[0] != '\0', shown = true;
  for (size_t i = 0; w[i] != '\0';) {
    size_t k = shown_length(w + i);
    plain = plain && plain_char(w[i]);
    shown = shown && k > 0;
    i += k > 0 ? k : 1;
  }
  // Trailing newlines would be dropped by the command substitution: they follow it, quoted.
  size_t len = strlen(word), body = len;
  if (!shown) {
    while (body > 0 && word[body - 1] == '\n') --body;
  }
  size_t n = strnlen(out, size);
  size_t start = n;
  bool ok = n == 0 || put(out, size, &n, " ", 1);
  if (plain) {
    ok = ok && put(out, size, &n, word, len);
  } else {
    ok = ok && put(out, size, &n, shown ? "'" : "\"$(printf '", shown ? 1 : 11);
    for (size_t i = 0; ok && i < body;) {
      size_t k = shown_length(w + i);
      char esc[8];
      if (w[i] == '\'') {
        ok = put(out, size, &n, "'\\''", 4);
      } else if (!shown && (w[i] == '\\' || w[i] == '%')) {
        ok = put(out, size, &n, w[i] == '\\' ? "\\\\" : "%%", 2);
      } else if (k > 0) {
        ok = put(out, size, &n, word + i, k);
      } else {
        snprintf(esc, sizeof esc, "\\%03o", w[i]);
        ok = put(out, size, &n, esc, 4);
        k = 1;
      }
      i += k > 0 ? k : 1;
    }
    ok = ok && put(out, size, &n, shown ? "'" : "')\"", shown ? 1 : 3);
    if (ok && body < len) {
      ok = put(out, size, &n, "'", 1) && put(out, size, &n, word + body, len - body) && put(out, size, &n, "'", 1);
    }
  }
  if (size > 0) out[ok ? n : start] = '\0';
}
