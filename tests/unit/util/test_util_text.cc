// Text helpers, MD5 and the literal store.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/literal.h"
#include "util/text.h"

namespace {

TEST(TextFind, CaseInsensitiveAndEdges) {
  const char* hay = "setup /install";
  EXPECT_EQ(text_find(hay, "INSTALL"), hay + 7);
  EXPECT_EQ(text_find("", "a"), nullptr);
  EXPECT_EQ(text_find("", ""), nullptr);
  EXPECT_EQ(text_find(hay, ""), hay);
  EXPECT_EQ(text_find(hay, "setup /install and more"), nullptr);
  EXPECT_EQ(text_find(hay, "xyz"), nullptr);
  EXPECT_EQ(text_find(nullptr, "a"), nullptr);
  EXPECT_EQ(text_find(hay, nullptr), nullptr);
  // The match may end exactly at the end of the haystack.
  EXPECT_STREQ(text_find("abcDEF", "def"), "DEF");
  // Only ASCII letters fold.
  EXPECT_EQ(text_find("a\xe9", "\xc9"), nullptr);
}

TEST(TextReplaceAll, CapacityBoundsAndCase) {
  char big[64] = "a#Xb#X";
  text_replace_all(big, sizeof big, "#x", "12");
  EXPECT_STREQ(big, "a12b12");

  char small[16] = "a#Xb#X";
  text_replace_all(small, 5, "#x", "12");
  EXPECT_STREQ(small, "a12");

  char grow[12] = "@@@@@";
  text_replace_all(grow, sizeof grow, "@", "xyz");
  EXPECT_STREQ(grow, "xyzxyzxyzx");  // capacity - 2 characters
  EXPECT_EQ(strlen(grow), sizeof grow - 2);

  char same[16] = "keep";
  text_replace_all(same, sizeof same, "", "x");  // empty pattern: untouched
  EXPECT_STREQ(same, "keep");
  text_replace_all(same, sizeof same, "EE", "");
  EXPECT_STREQ(same, "kp");
  text_replace_all(nullptr, 10, "a", "b");  // ignored
}

TEST(TextAppend, HeapTexts) {
  char* t = text_append(nullptr, "hello", 3);
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(t, "hel");
  t = text_append(t, "xy", 10);  // source shorter than count
  EXPECT_STREQ(t, "helxy");
  char* same = text_append(t, "zz", 0);
  EXPECT_EQ(same, t);
  same = text_append(t, nullptr, 4);
  EXPECT_EQ(same, t);
  t = text_append_all(t, "!");
  EXPECT_STREQ(t, "helxy!");
  free(t);

  char* f = text_append_format(nullptr, "%u", 5u);
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(f, "5");
  f = text_append_format(f, "-%s-%d", "a", -3);
  EXPECT_STREQ(f, "5-a--3");
  free(f);

  // The formatter output is cut at 1024 characters.
  std::string longarg(3000, 'q');
  char* l = text_append_format(nullptr, "%s", longarg.c_str());
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(strlen(l), 1024u);
  free(l);
  EXPECT_EQ(text_append_all(nullptr, ""), nullptr);
}

TEST(TextSqueeze, TrimsAndJoins) {
  char buf[64] = "  one\t\r\ntwo ";
  text_squeeze(buf, sizeof buf);
  EXPECT_STREQ(buf, "one two");

  char blanks[64] = " \t\r\n ";
  text_squeeze(blanks, sizeof blanks);
  EXPECT_STREQ(blanks, "");

  char tiny[63] = "  a  ";
  text_squeeze(tiny, sizeof tiny);  // under 64 writable bytes: untouched
  EXPECT_STREQ(tiny, "  a  ");
}

TEST(TextToList, SplitsLines) {
  char buf[32] = "one\r\n\r\ntwo\r\n";
  text_to_list(buf);
  EXPECT_STREQ(buf, "one");
  EXPECT_STREQ(buf + 4, "two");
  EXPECT_EQ(buf[8], 0);

  char lead[32] = "\n\r\nx\ry";
  text_to_list(lead);
  EXPECT_STREQ(lead, "x");
  EXPECT_STREQ(lead + 2, "y");
  EXPECT_EQ(lead[4], 0);

  char empty[4] = {0, 'z', 'z', 0};
  text_to_list(empty);
  EXPECT_EQ(empty[0], 0);
  EXPECT_EQ(empty[1], 0);
  text_to_list(nullptr);
}

TEST(ParseDecimal, LeadingDigitsOnly) {
  EXPECT_EQ(parse_decimal("8080abc"), 8080u);
  EXPECT_EQ(parse_decimal("-1"), 0u);
  EXPECT_EQ(parse_decimal(""), 0u);
  EXPECT_EQ(parse_decimal(nullptr), 0u);
  EXPECT_EQ(parse_decimal("4294967295"), 4294967295u);
  EXPECT_EQ(parse_decimal("4294967296"), 0u);  // wraps, no overflow test
}

TEST(Md5Hex, KnownDigests) {
  char out[33];
  ASSERT_EQ(md5_hex("abc", 3, out), 1);
  EXPECT_STREQ(out, "900150983cd24fb0d6963f7d28e17f72");
  const char* fox = "The quick brown fox jumps over the lazy dog";
  ASSERT_EQ(md5_hex(fox, strlen(fox), out), 1);
  EXPECT_STREQ(out, "9e107d9d372bb6826bd81d3542a419d6");
  // Lengths around the padding boundary (55, 56, 64 bytes).
  std::string a55(55, 'a'), a56(56, 'a'), a64(64, 'a');
  ASSERT_EQ(md5_hex(a55.data(), a55.size(), out), 1);
  EXPECT_STREQ(out, "ef1772b6dff9a122358552954ad0df65");
  ASSERT_EQ(md5_hex(a56.data(), a56.size(), out), 1);
  EXPECT_STREQ(out, "3b0c8ac703f828b04c6c197006d17218");
  ASSERT_EQ(md5_hex(a64.data(), a64.size(), out), 1);
  EXPECT_STREQ(out, "014842d480b571495a4a0363793f7367");

  char untouched[33] = "x";
  EXPECT_EQ(md5_hex("abc", 0, untouched), 0);
  EXPECT_EQ(md5_hex(nullptr, 3, untouched), 0);
  EXPECT_EQ(md5_hex("abc", 3, nullptr), 0);
  EXPECT_STREQ(untouched, "x");
}

TEST(FileAppend, CreatesAndAppends) {
  char dir[] = "/tmp/mv_text_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/f.txt";
  EXPECT_EQ(file_append(path.c_str(), 3, "abc"), 1);
  EXPECT_EQ(file_append(path.c_str(), 2, "de"), 1);
  FILE* f = fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char got[16] = {};
  size_t n = fread(got, 1, sizeof got, f);
  fclose(f);
  EXPECT_EQ(std::string(got, n), "abcde");
  std::string bad = std::string(dir) + "/missing/dir/f.txt";
  EXPECT_EQ(file_append(bad.c_str(), 1, "x"), 0);
  unlink(path.c_str());
  rmdir(dir);
}

TEST(Literal, EncodesAndDecodesAbc) {
  static constinit auto words = literal_encode("abc");
  EXPECT_EQ(words.w[0], 0xFF9E);
  EXPECT_EQ(words.w[1], 0xFF9D);
  EXPECT_EQ(words.w[2], 0xFF9C);
  EXPECT_EQ(words.w[3], 0x0000);
  EXPECT_EQ(words.w[4], 0xFED7);
  char* dest = reinterpret_cast<char*>(words.w);
  const char* text = literal_decode(words.w, 5, dest);
  EXPECT_EQ(text, dest);
  EXPECT_STREQ(text, "abc");
}

TEST(Literal, ChangedWordGivesEmptyText) {
  auto words = literal_encode("abc");
  words.w[1] = static_cast<uint16_t>(~static_cast<uint16_t>('x'));
  char* dest = reinterpret_cast<char*>(words.w);
  const char* text = literal_decode(words.w, 5, dest);
  EXPECT_STREQ(text, "");
  EXPECT_NE(text, dest);
  EXPECT_EQ(std::string(dest, 3), "axc");  // the storage still holds the decoded bytes
}

TEST(Literal, CharacterFFAndFirstUse) {
  // 0xFF encodes with a zero low byte; it stays a character below the capacity.
  static constinit auto words = literal_encode(
      "a\xff"
      "b");
  char* dest = reinterpret_cast<char*>(words.w);
  const char* text = literal_decode(words.w, 5, dest);
  EXPECT_STREQ(text,
               "a\xff"
               "b");

  // MV_LIT decodes once and then reads the plain text.
  const char* first = nullptr;
  for (int i = 0; i < 3; ++i) {
    const char* t = MV_LIT("GET / HTTP/1.0");
    EXPECT_STREQ(t, "GET / HTTP/1.0");
    if (first == nullptr) first = t;
    EXPECT_EQ(t, first);
  }
  EXPECT_STREQ(MV_LIT(""), "");
}

}  // namespace
