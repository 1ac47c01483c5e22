// What a failed attempt is called and where it is placed: the failure read
// from the outbound record in each state of the negotiation, its text, and
// the status page's attempt note.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "chain/failover.h"
#include "db/db.h"

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
}

}  // namespace
