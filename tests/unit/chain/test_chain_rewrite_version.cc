// The version edit of request rewriting touches only a whole HTTP/d.d token,
// so a short or odd version never costs the request line its line end.
#include <gtest/gtest.h>

#include <string>

#include "chain/rewrite.h"

namespace {

std::string rewrite(const std::string& request, bool keep_target = false) {
  stream s{};
  stream_append(s, request.data(), static_cast<uint32_t>(request.size()));
  rewrite_request(s, keep_target);
  std::string out(reinterpret_cast<const char*>(s.data), s.len);
  stream_free(s);
  return out;
}

TEST(RewriteVersion, ShortVersionKeepsItsLineEnd) {
  EXPECT_EQ(rewrite("GET / HTTP/1.\nHost: h\n\n"), "GET / HTTP/1.\nHost: h\nConnection: close\n\n");
  EXPECT_EQ(rewrite("GET / HTTP/1.\r\nHost: h\r\n\r\n"),
            "GET / HTTP/1.\r\nHost: h\r\nConnection: close\r\n\r\n");
}

TEST(RewriteVersion, RewritingTwiceChangesNothingMore) {
  // Found by fuzzing: the line inserted by the first pass let the second
  // pass read the version across the line end and overwrite it.
  const std::string once = rewrite("GET http://pr.test/ HTTP/1.\n\n", true);
  EXPECT_EQ(once, "GET http://pr.test/ HTTP/1.\nConnection: close\n\n");
  EXPECT_EQ(rewrite(once, true), once);
}

TEST(RewriteVersion, OnlyDigitsAreReplaced) {
  EXPECT_EQ(rewrite("GET / HTTP/x.y\nHost: h\n\n"),
            "GET / HTTP/x.y\nHost: h\nConnection: close\n\n");
  EXPECT_EQ(rewrite("GET / HTTP/2.0\nHost: h\n\n"),
            "GET / HTTP/1.0\nHost: h\nConnection: close\n\n");
}

}  // namespace

namespace {

TEST(RewriteVersion, MixedHeadEndKeepsTheBody) {
  // Found by fuzzing: a removed last line ending in "\r\n\n" left its CR
  // behind, which made a new head end and pushed a byte into the body.
  EXPECT_EQ(rewrite("GET / HTTP/1.1\r\nHost: h\r\nProxy-Connection: keep-alive\r\n\nbody"),
            "GET / HTTP/1.0\r\nHost: h\r\nConnection: close\r\n\nbody");
}

}  // namespace

namespace {

TEST(RewriteVersion, RemovedLineLeavesNoEmptyLine) {
  // Found by fuzzing: a removed line ending in LF before a CR LF joined the
  // line ends around it into an empty line, ending the head too early.
  EXPECT_EQ(rewrite("GET / HTTP/1.1\r\nA: b\r\nProxy-Connection: x\n\r\nHost: h\r\n\r\nbody"),
            "GET / HTTP/1.0\r\nA: b\r\nHost: h\r\nConnection: close\r\n\r\nbody");
}

}  // namespace
