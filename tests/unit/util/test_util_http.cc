// Where an HTTP head ends and how a status line is read, under the rule sets
// the chain, the checker, the chain test and the response check use.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

#include "util/http.h"

namespace {

http_head_bounds find(std::string_view text) {
  return http_head_find(text);
}

TEST(HttpHead, EachEmptyLineFormAndTheFirstWins) {
  // end is where the last line's own line end starts.
  EXPECT_EQ(find("GET / HTTP/1.0\r\nHost: a\r\n\r\nbody").end, 23u);
  EXPECT_EQ(find("GET / HTTP/1.0\r\nHost: a\r\n\r\nbody").body, 27u);
  EXPECT_EQ(find("GET / HTTP/1.0\nHost: a\n\nbody").end, 22u);
  EXPECT_EQ(find("GET / HTTP/1.0\nHost: a\n\nbody").body, 24u);
  // LF CR LF CR counts as an empty line too.
  EXPECT_EQ(find("A\n\r\n\rB").end, 1u);
  EXPECT_EQ(find("A\n\r\n\rB").body, 5u);
  // "\r\n\n": the LF LF starts first, the CR stays with the last line.
  EXPECT_EQ(find("A\r\n\nB").end, 2u);
  EXPECT_EQ(find("A\r\n\nB").body, 4u);
  // A head may start with its empty line.
  EXPECT_EQ(find("\n\n").body, 2u);
  EXPECT_EQ(find("\r\n\r\n").end, 0u);
  EXPECT_EQ(find("\r\n\r\n").body, 4u);
  // The first empty line ends the head, whatever follows.
  EXPECT_EQ(find("A\n\nB\r\n\r\n").body, 3u);
}

TEST(HttpHead, IncompleteHeads) {
  EXPECT_EQ(find("").body, 0u);
  EXPECT_EQ(find("\n").body, 0u);
  EXPECT_EQ(find("GET / HTTP/1.0\r\n").body, 0u);
  EXPECT_EQ(find("GET / HTTP/1.0\r\n\r").body, 0u);
  EXPECT_EQ(find("A\r\r\n\n\r").body, 5u);  // CR CR is no empty line, LF LF is
  EXPECT_EQ(find("A\r\r").body, 0u);
  EXPECT_EQ(http_head_find(nullptr, 0).body, 0u);
}

TEST(HttpHead, SplitAtEveryByteFindsNothingUntilTheWholeEmptyLine) {
  for (const std::string& head : {std::string("GET / HTTP/1.1\r\nHost: x\r\n\r\n"),
                                  std::string("GET / HTTP/1.1\nHost: x\n\n")}) {
    const std::string text = head + "body bytes";
    for (size_t cut = 0; cut <= text.size(); ++cut) {
      const http_head_bounds got = find(std::string_view(text).substr(0, cut));
      if (cut < head.size()) {
        EXPECT_EQ(got.body, 0u) << "cut at " << cut;
      } else {
        EXPECT_EQ(got.body, head.size()) << "cut at " << cut;
      }
    }
  }
}

TEST(HttpHead, BodyOfATerminatedAnswer) {
  const char* answer = "HTTP/1.0 200 OK\r\n\r\nhello";
  EXPECT_STREQ(http_body_of(answer), "hello");
  EXPECT_STREQ(http_body_of("HTTP/1.0 200 OK\n\n"), "");
  EXPECT_EQ(http_body_of("HTTP/1.0 200 OK\r\n"), nullptr);
  // The terminator ends the search: nothing behind it is read.
  const char split[] = "A\n\0\nB";
  EXPECT_EQ(http_body_of(split), nullptr);
}

TEST(HttpUrl, HostStart) {
  EXPECT_STREQ(url_host_start("http://a.example/x"), "a.example/x");
  EXPECT_STREQ(url_host_start("HTTP:/a.example"), "a.example");
  EXPECT_STREQ(url_host_start("http:////a"), "a");
  EXPECT_STREQ(url_host_start("http://"), "");
  EXPECT_EQ(url_host_start("a.example/x"), nullptr);
  EXPECT_EQ(url_host_start("http:a"), nullptr);
}

// The rule sets of the readers that share the parser: the chain's CONNECT
// reply, the checker's tunnel reply, the response check (the defaults with
// spaces around the slash) and the chain test's page.
constexpr http_status_rules chain_rules = {
    .leading_blanks = true, .version_digits = false, .gap_blanks = true};
constexpr http_status_rules checker_rules = {.leading_blanks = true,
                                             .version_digits = false,
                                             .gap_required = false,
                                             .gap_blanks = true,
                                             .status_digits = 6};
constexpr http_status_rules strict_rules = {.space_before_slash = true, .space_after_slash = true};
constexpr http_status_rules chain_test_rules = {.leading_blanks = true, .space_before_slash = true};

int status(std::string_view line, const http_status_rules& rules) {
  return http_status_parse(reinterpret_cast<const uint8_t*>(line.data()), line.size(), rules).code;
}

TEST(HttpStatus, CommonLinesUnderEveryRuleSet) {
  for (const http_status_rules* rules :
       {&chain_rules, &checker_rules, &strict_rules, &chain_test_rules}) {
    EXPECT_EQ(status("HTTP/1.1 200 Connection established\r\n", *rules), 200);
    EXPECT_EQ(status("http/1.0 407 Proxy Authentication Required", *rules), 407);
    // No reason phrase, and the line ends at the status.
    EXPECT_EQ(status("HTTP/1.1 204\r\n", *rules), 204);
    EXPECT_EQ(status("HTTP/1.1 204", *rules), 204);
    EXPECT_EQ(status("HTTP/1.1 ", *rules), -1);
    EXPECT_EQ(status("HTTP/1.1 OK", *rules), -1);
    EXPECT_EQ(status("HTTX/1.1 200", *rules), -1);
    EXPECT_EQ(status("HTTP", *rules), -1);
    EXPECT_EQ(status("", *rules), -1);
    EXPECT_EQ(status("ICY 200 OK", *rules), -1);
  }
  EXPECT_EQ(http_status_parse(nullptr, 5, chain_rules).code, -1);
}

TEST(HttpStatus, WhereTheRuleSetsDiffer) {
  // Blanks before the line.
  EXPECT_EQ(status("\r\n HTTP/1.1 200", chain_rules), 200);
  EXPECT_EQ(status("\r\n HTTP/1.1 200", chain_test_rules), 200);
  EXPECT_EQ(status(" HTTP/1.1 200", strict_rules), -1);
  // Spaces around the slash.
  EXPECT_EQ(status("HTTP / 1.1 200", strict_rules), 200);
  EXPECT_EQ(status("HTTP /1.1 200", chain_test_rules), 200);
  EXPECT_EQ(status("HTTP/ 1.1 200", chain_test_rules), -1);
  EXPECT_EQ(status("HTTP /1.1 200", chain_rules), -1);
  // Version digits.
  EXPECT_EQ(status("HTTP/. 200", chain_rules), 200);
  EXPECT_EQ(status("HTTP/. 200", checker_rules), 200);
  EXPECT_EQ(status("HTTP/1. 200", strict_rules), -1);
  EXPECT_EQ(status("HTTP/1 200", chain_rules), -1);
  // The gap: line ends allowed or not, a TAB, spaces only. Digits run into
  // the version belong to it.
  EXPECT_EQ(status("HTTP/1.1\r\n200", checker_rules), 200);
  EXPECT_EQ(status("HTTP/1.1\r\n200", strict_rules), -1);
  EXPECT_EQ(status("HTTP/1.1200", checker_rules), -1);
  EXPECT_EQ(status("HTTP/1.1\t200", chain_rules), 200);
  EXPECT_EQ(status("HTTP/1.1\t200", strict_rules), -1);
  EXPECT_EQ(status("HTTP/1.1   200", chain_test_rules), 200);
}

TEST(HttpStatus, OverlongNumbersStopAtTheCeilingOrTheDigitCount) {
  EXPECT_EQ(status("HTTP/1.1 2000000000000000000000", chain_rules), 200000);
  EXPECT_EQ(status("HTTP/1.1 99999999", strict_rules), 999999);
  // Leading zeros keep the value low: read on under the ceiling...
  EXPECT_EQ(status("HTTP/1.1 0000000200", chain_test_rules), 200);
  // ...but not beyond a digit count.
  EXPECT_EQ(status("HTTP/1.1 0000000200", checker_rules), 0);
  EXPECT_EQ(status("HTTP/1.1 000200", checker_rules), 200);
  EXPECT_EQ(status("HTTP/1.1 99999999", checker_rules), 999999);
  // Long version numbers are passed over.
  EXPECT_EQ(status("HTTP/11111111111111111111.0 200", chain_rules), 200);
}

TEST(HttpStatus, EndIsJustPastTheStatusDigits) {
  const std::string_view line = "  HTTP/1.0 302 Found\r\nLocation: x";
  const http_status st = http_status_parse(reinterpret_cast<const uint8_t*>(line.data()),
                                           line.size(), chain_test_rules);
  EXPECT_EQ(st.code, 302);
  EXPECT_EQ(line.substr(st.end, 6), " Found");
}

}  // namespace
