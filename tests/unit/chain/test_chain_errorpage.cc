// Refusal pages and the response head.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "chain/errorpage.h"

namespace {

stream stream_of(const std::string& bytes) {
  stream s{};
  s.data = reinterpret_cast<uint8_t*>(const_cast<char*>(bytes.data()));
  s.len = static_cast<uint32_t>(bytes.size());
  s.total = s.len;
  s.cap = s.len;
  return s;
}

std::string page_of(const stream* in, int id, const conn_slot* fields) {
  static char page[ERROR_PAGE_SIZE];
  size_t n = error_page_build(page, sizeof page, in, id, fields);
  EXPECT_EQ(n, strlen(page));
  return std::string(page, n);
}

size_t count_of(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

std::string between(const std::string& page, const std::string& before, const std::string& after) {
  size_t a = page.find(before);
  if (a == std::string::npos) return "<missing>";
  a += before.size();
  size_t b = page.find(after, a);
  if (b == std::string::npos) return "<missing>";
  return page.substr(a, b - a);
}

TEST(ResponseHead, Variants) {
  char head[RESPONSE_HEAD_SIZE];
  http_response_head("application/x-icon", 1000, head);
  EXPECT_STREQ(head,
               "HTTP/1.0 200 Ok\r\nContent-Type: application/x-icon\r\n"
               "Content-Length: 1000\r\nConnection: close\r\n\r\n");
  http_response_head(nullptr, 0, head);
  EXPECT_STREQ(head,
               "HTTP/1.1 200 Ok\r\nContent-Type: text/html; charset=utf-8\r\n"
               "Connection: keep-alive\r\n\r\n");
  http_response_head("Text/CSS", 5, head);
  EXPECT_STREQ(head,
               "HTTP/1.0 200 Ok\r\nContent-Type: Text/CSS; charset=utf-8\r\n"
               "Content-Length: 5\r\nConnection: close\r\n\r\n");
  // An oversized type is cut; the head stays terminated within its buffer.
  std::string huge(2000, 'x');
  http_response_head(huge.c_str(), 7, head);
  EXPECT_LT(strlen(head), RESPONSE_HEAD_SIZE);
}

TEST(ErrorPage, LocalhostPageShape) {
  conn_slot slot{};
  std::string page = page_of(nullptr, PAGE_LOCALHOST, &slot);
  EXPECT_NE(page.find("<title>Error :: Merovane</title>"), std::string::npos);
  EXPECT_NE(page.find("<h2>Loopback is not alowed</h2>"), std::string::npos);
  EXPECT_EQ(count_of(page, ">Merovane</a>"), 2u);  // body and foot
  EXPECT_EQ(page.find('@'), std::string::npos);
  EXPECT_EQ(page.rfind("</html>"), page.size() - 7);
  EXPECT_EQ(page.find("<!DOCTYPE"), 0u);
}

TEST(ErrorPage, HeaderDumpEscapes) {
  std::string req = "GET /a<b> HTTP/1.1\r\nX: a&b\r\n";
  stream in = stream_of(req);
  std::string page = page_of(&in, PAGE_NOT_HTTP, nullptr);
  std::string hdr = between(page, "HTTP headers received:<br><code>", "</code>");
  EXPECT_EQ(hdr, "GET /a&lt;b&gt; HTTP/1.1<br>X: a&amp;b<br>");
  EXPECT_EQ(hdr.find('\r'), std::string::npos);
}

TEST(ErrorPage, ByteDumpAndEmptyStream) {
  std::string bytes("\x04\x01\x00\x50", 4);
  stream in = stream_of(bytes);
  conn_slot slot{};
  std::string page = page_of(&in, PAGE_WRONG_SOCKS, &slot);
  EXPECT_EQ(between(page, "Dump: <code>", "</code>"), "04 01 00 50 ");

  stream empty{};
  page = page_of(&empty, PAGE_WRONG_SOCKS, &slot);
  EXPECT_EQ(between(page, "Dump: <code>", "</code>"), "");
  page = page_of(&empty, PAGE_NOT_HTTP, &slot);
  EXPECT_EQ(between(page, "<br><code>", "</code>"), "");
}

TEST(ErrorPage, UnknownAndGivenDestination) {
  conn_slot slot{};
  std::string page = page_of(nullptr, PAGE_WRONG_SOCKS, &slot);
  EXPECT_EQ(between(page, "Destination address: <code>", "</code>"), "<i>unknown</i>");
  EXPECT_EQ(between(page, "Destination port: <code>", "</code>"), "<i>unknown</i>");

  snprintf(slot.dest_host, sizeof slot.dest_host, "%s", "example.test");
  slot.dest_port = 8080;
  page = page_of(nullptr, PAGE_WRONG_SOCKS, &slot);
  EXPECT_EQ(between(page, "Destination address: <code>", "</code>"), "example.test");
  EXPECT_EQ(between(page, "Destination port: <code>", "</code>"), "8080");
  // Without a stream the dump placeholder is left alone.
  EXPECT_NE(page.find("@DUMP"), std::string::npos);
}

TEST(ErrorPage, ClientHostIsEscaped) {
  conn_slot slot{};
  snprintf(slot.dest_host, sizeof slot.dest_host, "%s", "<script>x</script>@HDR\"&'");
  slot.dest_port = 1;
  std::string bytes = "zz";
  stream in = stream_of(bytes);
  std::string page = page_of(&in, PAGE_WRONG_SOCKS, &slot);
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  EXPECT_EQ(between(page, "Destination address: <code>", "</code>"),
            "&lt;script&gt;x&lt;/script&gt;&#64;HDR&quot;&amp;&#39;");
}

TEST(ErrorPage, LongInputsStayBounded) {
  // Every byte of a large stream is an entity: the texts stop near 496.
  std::string many(20000, '&');
  stream in = stream_of(many);
  std::string page = page_of(&in, PAGE_NOT_HTTP, nullptr);
  std::string hdr = between(page, "<br><code>", "</code>");
  EXPECT_GE(hdr.size(), 496u);
  EXPECT_LT(hdr.size(), 512u);
  page = page_of(&in, PAGE_WRONG_SOCKS, nullptr);
  std::string dump = between(page, "Dump: <code>", "</code>");
  EXPECT_GE(dump.size(), 496u);
  EXPECT_LT(dump.size(), 512u);
  // A NUL byte in the stream does not cut the page short.
  std::string with_nul("a\0b", 3);
  stream nul = stream_of(with_nul);
  page = page_of(&nul, PAGE_NOT_HTTP, nullptr);
  EXPECT_NE(page.find("</html>"), std::string::npos);
}

TEST(ErrorPage, UnknownTemplateHasHeadAndFootOnly) {
  std::string page = page_of(nullptr, 99, nullptr);
  EXPECT_NE(page.find("<title>Error :: Merovane</title>"), std::string::npos);
  EXPECT_NE(page.find("Powered by"), std::string::npos);
  EXPECT_EQ(page.find("<h2>"), std::string::npos);
  EXPECT_EQ(error_template(99), nullptr);
  EXPECT_NE(error_template(PAGE_NOT_FOUND), nullptr);
}

}  // namespace
