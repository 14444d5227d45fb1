// The forms a name takes: its SHA-256, the record's escaped text, and the word a shell reads back.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "rom/sha256.h"
#include "run/quote.h"

namespace {

// The published vectors, and lengths on both sides of the padding's 56- and 64-byte edges, fed
// in pieces that do not line up with a block.
TEST(Sha256, KnownDigestsWhateverThePieces) {
  const struct {
    std::string input;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  for (const auto& c : cases) {
    for (size_t piece : {size_t(1), size_t(63), size_t(1000)}) {
      Sha256 h;
      sha256_init(&h);
      for (size_t at = 0; at < c.input.size(); at += piece) {
        sha256_update(&h, c.input.data() + at, std::min(piece, c.input.size() - at));
      }
      char hex[SHA256_HEX_SIZE];
      sha256_hex(&h, hex);
      EXPECT_STREQ(hex, c.digest) << c.input.size() << " in pieces of " << piece;
    }
  }
}

// What sh reads back from the word (popen runs its command through sh).
std::string through_sh(const std::string& word) {
  FILE* p = popen(("printf %s " + word).c_str(), "r");
  if (p == nullptr) return "";
  std::string out;
  for (int c; (c = fgetc(p)) != EOF;) out += static_cast<char>(c);
  pclose(p);
  return out;
}

// Every word is shown with no byte a terminal acts on, and sh reads the same bytes back; the
// record's text is plain ASCII and gives them back too.
TEST(TextForms, ExactForShSafeOnATerminal) {
  const struct {
    std::string word;
    const char* shown;
  } cases[] = {
      {"/i/root/backup.rom", "/i/root/backup.rom"},
      {"", "''"},
      {"it's here", "'it'\\''s here'"},
      {"caf\xc3\xa9 \xe2\x82\xac", "'caf\xc3\xa9 \xe2\x82\xac'"},
      {"a\tb", "\"$(printf 'a\\011b')\""},
      {"c1\xc2\x9b" "31m", "\"$(printf 'c1\\302\\23331m')\""},
      {"stray\x9b%\\", "\"$(printf 'stray\\233%%\\\\')\""},
      {"rtl\xe2\x80\xaeoverride", "\"$(printf 'rtl\\342\\200\\256override')\""},
      {"esc\x1b[2J'q'\n\n", "\"$(printf 'esc\\033[2J'\\''q'\\''')\"'\n\n'"},
  };
  for (const auto& c : cases) {
    char out[256] = "x";
    append_shell_word(out, sizeof out, c.word.c_str());
    EXPECT_EQ(std::string(out), "x " + std::string(c.shown)) << c.word;
    EXPECT_EQ(through_sh(c.shown), c.word) << c.shown;
    char text[256], back[256];
    record_escape(text, sizeof text, c.word.data(), c.word.size());
    for (const char* t = text; *t != '\0'; ++t) EXPECT_TRUE(*t >= 0x20 && *t < 0x7F) << c.word;
    ASSERT_TRUE(record_unescape(back, sizeof back, text, std::string(text).size())) << text;
    EXPECT_EQ(std::string(back), c.word);
  }
  char tight[8] = "";
  append_shell_word(tight, sizeof tight, "too long a word");
  EXPECT_STREQ(tight, "");  // a word that does not fit is left out whole
  char back[16];
  EXPECT_FALSE(record_unescape(back, sizeof back, "\\x00", 4));
  EXPECT_FALSE(record_unescape(back, sizeof back, "\\q", 2));
}

}  // namespace
