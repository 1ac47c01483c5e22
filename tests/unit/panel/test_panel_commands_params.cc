// Parameter reading, URL decoding and the list filters of the panel commands.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "panel/commands.h"

namespace {

param_spans spans_of(const std::string& query, const std::string& body) {
  param_spans s{};
  s.span[0] = {query.data(), query.size()};
  s.span[1] = {body.data(), body.size()};
  return s;
}

std::string decoded(const char* text, size_t n = 256) {
  char out[256];
  url_decode(text, out, n);
  return out;
}

std::string where_of(int filter, int live, int dead, int blocked, int anon) {
  char out[256];
  proxy_list_where(filter, live, dead, blocked, anon, out, sizeof out);
  return out;
}

std::string order_of(const char* order) {
  char out[64];
  proxy_list_order(order, out, sizeof out);
  return out;
}

TEST(PanelParams, FindsInQueryAndBodyAndTheBodyWins) {
  std::string q = "type=settings&port=1", b = "port=2&x=9";
  param_spans s = spans_of(q, b);
  EXPECT_EQ(param_number("port", s), 2u);
  char text[32];
  ASSERT_TRUE(param_text("type", sizeof text, s, text));
  EXPECT_STREQ(text, "settings");
  EXPECT_EQ(param_number("x", s), 9u);
  EXPECT_FALSE(param_text("missing", sizeof text, s, text));
  EXPECT_EQ(param_number("missing", s), 0u);
}

TEST(PanelParams, NamesMatchExactlyAndHtmlEscapedSeparatorsCount) {
  std::string q = "a=1&amp;b=2&AMP;c=3&bb=4&B=5", b;
  param_spans s = spans_of(q, b);
  const char* v;
  size_t n;
  ASSERT_TRUE(param_find(s, "b", &v, &n));
  EXPECT_EQ(std::string(v, n), "2");
  EXPECT_EQ(param_number("c", s), 3u);
  EXPECT_EQ(param_number("bb", s), 4u);
  EXPECT_EQ(param_number("B", s), 5u);
  EXPECT_EQ(param_number("a", s), 1u);
  // A name inside another item's value is not a parameter.
  std::string q2 = "x=y=1&z", b2;
  EXPECT_FALSE(param_find(spans_of(q2, b2), "y", &v, &n));
  EXPECT_FALSE(param_find(spans_of(q2, b2), "z", &v, &n));
}

TEST(PanelParams, NumbersTakeLeadingDigitsOnly) {
  std::string q = "a=12abc&b=-5&c=+7&d=%33%34", b;
  param_spans s = spans_of(q, b);
  EXPECT_EQ(param_number("a", s), 12u);
  EXPECT_EQ(param_number("b", s), 0u);
  EXPECT_EQ(param_number("c", s), 0u);
  EXPECT_EQ(param_number("d", s), 34u);
}

TEST(PanelParams, TextIsCutToItsBuffer) {
  std::string q = "t=abcdefghij", b;
  char text[6];
  memset(text, 'Z', sizeof text);
  ASSERT_TRUE(param_text("t", sizeof text, spans_of(q, b), text));
  EXPECT_STREQ(text, "abcd");  // size - 2 characters and the NUL
}

TEST(PanelDecode, DecodesTheFormsThePageSends) {
  EXPECT_EQ(decoded("a+b%41%zz%u4F60%u0041;"), std::string("a bA%zz??"));
  EXPECT_EQ(decoded("x%u"), "x%u");
  EXPECT_EQ(decoded("%u4"), "%u4");
  EXPECT_EQ(decoded("%u41"), "?");  // never reads past the end
  EXPECT_EQ(decoded("%4"), "%4");
  EXPECT_EQ(decoded("%"), "%");
  EXPECT_EQ(decoded("%2b%2B"), "++");
  EXPECT_EQ(decoded("abcdef", 4), "abc");
  EXPECT_EQ(decoded("abcdef", 1), "");
}

TEST(PanelDecode, DecodesInPlace) {
  char text[] = "a%20b%u00e9;c+d";
  url_decode(text, text, sizeof text);
  EXPECT_STREQ(text, "a b?c d");
}

TEST(PanelDecode, BlankNormalisation) {
  char text[] = " \t http://a/x \r\n\r\n  http://b/y\t";
  blank_normalize(text);
  EXPECT_STREQ(text, "http://a/x http://b/y");
  char empty[] = " \r\n ";
  blank_normalize(empty);
  EXPECT_STREQ(empty, "");
}

TEST(PanelListFilter, SelectionTexts) {
  EXPECT_EQ(where_of(24, 1, 0, 0, 2),
            "WHERE blocked=0 AND (type&24) AND NOT (type&1) AND (type&6)=4");
  EXPECT_EQ(where_of(0, 1, 0, 0, 0), "WHERE blocked=0 AND type AND NOT (type&1)");
  EXPECT_EQ(where_of(8, 0, 1, 1, 1), "WHERE blocked=1 AND (type&8) AND (type&1) AND (type&6)=2");
  EXPECT_EQ(where_of(0, 0, 1, 0, 0), "WHERE blocked=0 AND (type&1)");
  EXPECT_EQ(where_of(16, 1, 1, 0, 3), "WHERE blocked=0 AND (type&16) AND type>1 AND (type&6)=0");
  EXPECT_EQ(where_of(0, 0, 0, 0, 7), "WHERE blocked=0");
}

TEST(PanelListFilter, OrderIsOnlyAKnownColumnWithADirection) {
  EXPECT_EQ(order_of("rank"), "ORDER BY rank");
  EXPECT_EQ(order_of("t_ok DESC"), "ORDER BY t_ok DESC");
  EXPECT_EQ(order_of(" Timeout  asc "), "ORDER BY timeout ASC");
  EXPECT_EQ(order_of("ip; DROP TABLE x"), "");
  EXPECT_EQ(order_of("ip DESC, port"), "");
  EXPECT_EQ(order_of("random()"), "");
  EXPECT_EQ(order_of("ip DESCENDING"), "");
  EXPECT_EQ(order_of(""), "");
}

}  // namespace
