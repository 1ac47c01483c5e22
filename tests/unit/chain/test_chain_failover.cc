// What a failed attempt is called and where it is placed: the failure read
// from the outbound record in each state of the negotiation, its text, and
// the status page's attempt note.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "chain/failover.h"
#include "chain/negotiate.h"
#include "db/db.h"
#include "util/rules.h"

namespace {

hop proxy(const char* ip, uint16_t port, uint16_t type) {
  return hop{type, port, inet_addr(ip)};
}

// Two proxies, then the destination.
route_record two_hops(uint16_t first_type = PT_SOCKS5) {
  route_record r{};
  r.hops[0] = proxy("203.0.113.5", 1080, first_type);
  r.hops[1] = proxy("203.0.113.6", 3128, PT_HTTPS);
  r.hops[2] = hop{HOP_END, 80, inet_addr("192.0.2.1")};
  r.hop_count = 3;
  return r;
}

std::string text(const chain_failure& f) {
  char out[FAILURE_TEXT_SIZE];
  chain_failure_text(f, out, sizeof out);
  return out;
}

TEST(ChainFailure, EachStateOfTheNegotiationIsNamed) {
  route_record r = two_hops();
  EXPECT_EQ(text(chain_failure_of(r)), "proxy 203.0.113.5:1080 could not be reached");
  r.awaiting = 1;
  chain_failure f = chain_failure_of(r);
  EXPECT_EQ(f.fault, chain_fault::no_answer);
  EXPECT_EQ(f.hop, 0);
  EXPECT_EQ(f.next.ip, inet_addr("203.0.113.6"));
  EXPECT_EQ(text(f), "proxy 203.0.113.5:1080 did not answer");
  r.failed = 1;
  EXPECT_EQ(text(chain_failure_of(r)),
            "proxy 203.0.113.5:1080 refused to connect to the next proxy 203.0.113.6:3128");
  r.hop_index = 1;
  f = chain_failure_of(r);
  EXPECT_EQ(f.hop, 1);
  EXPECT_EQ(f.next.ip, 0u);  // the destination is nobody's fault
  EXPECT_EQ(text(f), "proxy 203.0.113.6:3128 refused the destination");
  r = two_hops(PT_HTTP);
  r.awaiting = 1;
  EXPECT_EQ(chain_failure_of(r).fault, chain_fault::http_middle);
  // A record past its end describes nothing.
  r.hop_index = 2;
  EXPECT_EQ(chain_failure_of(r).fault, chain_fault::none);
}

// A step out of time and a loop: which fault, who is blamed, what the text
// says and which SOCKS5 code a client hears.
TEST(ChainFailure, TimeLimitsAndLoopsAreNamed) {
  struct stopped_case {
    uint8_t stage;
    uint8_t awaiting;
    uint8_t hop_index;
    chain_fault fault;
    bool next_blamed;
    const char* said;
    uint8_t socks5_code;
  };
  const stopped_case cases[] = {
      {STEP_TIMED_OUT, 0, 0, chain_fault::no_connect_in_time, false,
       "proxy 203.0.113.5:1080 could not be reached in time", 6},
      {STEP_TIMED_OUT, 1, 0, chain_fault::no_answer_in_time, true,
       "proxy 203.0.113.5:1080 did not answer in time", 6},
      {STEP_TIMED_OUT, 1, 1, chain_fault::no_answer_in_time, false,
       "proxy 203.0.113.6:3128 did not answer in time", 6},
      {LOOP_FOUND, 1, 1, chain_fault::loop, false,
       "loop through this program: proxy 203.0.113.6:3128 is this program", 1},
  };
  for (const stopped_case& c : cases) {
    SCOPED_TRACE(c.said);
    route_record r = two_hops();
    r.failed = 1;
    r.socks5_stage = c.stage;
    r.awaiting = c.awaiting;
    r.hop_index = c.hop_index;
    const chain_failure f = chain_failure_of(r);
    EXPECT_EQ(f.fault, c.fault);
    EXPECT_EQ(f.next.ip != 0, c.next_blamed);
    EXPECT_EQ(text(f), c.said);
    EXPECT_EQ(chain_socks5_code(f.fault), c.socks5_code);
  }
  const struct {
    chain_fault fault;
    uint8_t code;
  } codes[] = {{chain_fault::refused_dest, 4},      {chain_fault::refused, 5},
               {chain_fault::no_connect, 5},        {chain_fault::out_of_time, 6},
               {chain_fault::no_chain, 1},          {chain_fault::auth_refused, 1},
               {chain_fault::direct_no_connect, 5}, {chain_fault::direct_no_time, 6},
               {chain_fault::direct_refused, 2}};
  for (const auto& c : codes) EXPECT_EQ(chain_socks5_code(c.fault), c.code);
}

TEST(ChainFailure, AttemptNoteOnlyOnceSomethingFailed) {
  route_record c{};
  c.side = 1;
  char note[FAILURE_TEXT_SIZE + 48];
  EXPECT_EQ(chain_attempt_note(c, note, sizeof note), 0u);
  c.client.attempt = 1;
  c.client.last.fault = chain_fault::no_answer;
  c.client.last.proxy = proxy_ref{inet_addr("203.0.113.5"), 1080};
  ASSERT_GT(chain_attempt_note(c, note, sizeof note), 0u);
  EXPECT_STREQ(note, "attempt 2; last failure: proxy 203.0.113.5:1080 did not answer");
  // The target text shares the bytes and is left alone.
  std::strcpy(c.target, "example.test/page");
  EXPECT_STREQ(c.client.target, "example.test/page");
  EXPECT_EQ(c.client.attempt, 1);
  // A client a rule sent direct says so, and by which rule.
  c.client.rule_action = static_cast<uint8_t>(rule_action::direct);
  c.client.rule_line = 3;
  ASSERT_GT(chain_attempt_note(c, note, sizeof note), 0u);
  EXPECT_EQ(std::string(note).rfind("direct by rule 3", 0), 0u) << note;
}

TEST(ChainFailure, ADirectAttemptFailsAtItsDestination) {
  route_record r{};
  r.hop_count = 1;
  r.hops[0] = hop{HOP_END, 80, inet_addr("192.0.2.1")};
  EXPECT_EQ(chain_failure_of(r).fault, chain_fault::direct_no_connect);
  r.failed = 1;
  r.socks5_stage = STEP_TIMED_OUT;
  EXPECT_EQ(chain_failure_of(r).fault, chain_fault::direct_no_time);
  char text[FAILURE_TEXT_SIZE];
  chain_failure_text(chain_failure_of(r), text, sizeof text);
  EXPECT_STREQ(text, "the destination did not answer in time");
}

}  // namespace
