// Chain negotiation exchanges on byte buffers, the close-time report and the
// identification line.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "chain/negotiate.h"
#include "chain/select.h"
#include "chain/usage.h"
#include "db/db.h"
#include "platform/clock.h"

namespace {

std::string sent;
int aborts = 0;

void capture_send(int, const void* data, int len) {
  sent.append(static_cast<const char*>(data), static_cast<size_t>(len));
}
void capture_abort(int) {
  ++aborts;
}

uint32_t ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t v;
  memcpy(&v, bytes, 4);
  return v;
}

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

class ChainStep : public ::testing::Test {
 protected:
  stream in{};
  chain_state st{};
  hop hops[MAX_HOPS] = {};
  uint8_t count = 0;

  void SetUp() override {
    sent.clear();
    aborts = 0;
    chain_io = chain_io_ops{capture_send, capture_abort};
    memset(usage_table, 0, sizeof usage_table);
    usage_next = 0;
  }
  void TearDown() override {
    stream_free(in);
    chain_io = chain_io_ops{slot_send, slot_abort};
  }
  void add(uint16_t type, uint32_t addr, uint16_t port) { hops[count++] = hop{type, port, addr}; }
  void step(char letter = 'R') { chain_step(letter | CHAIN_QUIET, 7, in, hops, count, st); }
  void reply(const std::string& b) { stream_append(in, b.data(), static_cast<uint32_t>(b.size())); }
  std::string take() {
    std::string s = sent;
    sent.clear();
    return s;
  }
};

TEST_F(ChainStep, Socks5ThenSocks4ThenDestination) {
  add(PT_SOCKS5, ip(127, 0, 0, 5), 1080);
  add(PT_SOCKS4, ip(127, 0, 0, 6), 1081);
  add(HOP_END, ip(10, 1, 2, 3), 80);
  step('C');
  EXPECT_EQ(take(), bytes({5, 1, 0}));
  EXPECT_EQ(st.awaiting, 1);
  reply(bytes({5, 0}));
  step();
  EXPECT_EQ(take(), bytes({5, 1, 0, 1, 127, 0, 0, 6, 0x04, 0x39}));
  EXPECT_EQ(st.socks5_stage, 1);
  reply(bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
  step();
  EXPECT_EQ(take(), bytes({4, 1, 0, 80, 10, 1, 2, 3, 0}));
  EXPECT_EQ(st.hop_index, 1);
  EXPECT_EQ(st.hop_proto, PT_SOCKS4);
  reply(bytes({0, 0x5A, 1, 2, 3, 4, 5, 6}) + "data");
  step();
  EXPECT_TRUE(st.established);
  EXPECT_EQ(st.hop_index, 2);
  EXPECT_FALSE(st.failed);
  EXPECT_EQ(take(), "");
  // Bytes behind the reply stay for the relay.
  ASSERT_EQ(in.len, 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(in.data), 4), "data");
}

TEST_F(ChainStep, PartialRepliesWait) {
  add(PT_SOCKS4, ip(127, 0, 0, 6), 1081);
  add(HOP_END, ip(10, 1, 2, 3), 443);
  step('C');
  take();
  reply(bytes({0, 0x5A, 0}));
  step();
  EXPECT_FALSE(st.established);
  EXPECT_EQ(in.len, 3u);
  reply(bytes({0, 0, 0, 0, 0}));
  step();
  EXPECT_TRUE(st.established);
}

TEST_F(ChainStep, Socks4RefusalFailsAndReportsProxyAndSuccessor) {
  add(PT_SOCKS5, ip(127, 0, 0, 5), 1080);
  add(PT_SOCKS4, ip(127, 0, 0, 6), 1081);
  add(PT_SOCKS5, ip(127, 0, 0, 7), 1082);
  add(HOP_END, ip(10, 1, 2, 3), 80);
  step('C');
  reply(bytes({5, 0, 5, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
  step();  // both SOCKS5 replies in one packet, then the SOCKS4 request
  EXPECT_EQ(st.hop_index, 1);
  EXPECT_EQ(in.len, 0u);
  EXPECT_EQ(take(), bytes({5, 1, 0}) + bytes({5, 1, 0, 1, 127, 0, 0, 6, 0x04, 0x39}) +
                        bytes({4, 1, 0x04, 0x3A, 127, 0, 0, 7, 0}));
  reply(bytes({0, 0x5B, 0, 0, 0, 0, 0, 0}));
  step();
  EXPECT_TRUE(st.failed);
  EXPECT_FALSE(st.established);
  EXPECT_EQ(in.len, 0u);

  // At close: the refusing proxy and the one it failed to reach.
  route_record r{};
  r.hop_count = count;
  memcpy(r.hops, hops, sizeof hops);
  r.hop_index = st.hop_index;
  r.failed = st.failed;
  r.awaiting = st.awaiting;
  chain_report(r, 0, r.failed);
  EXPECT_EQ(usage_table[0].ip, ip(127, 0, 0, 6));
  EXPECT_EQ(usage_table[0].fails, 1);
  EXPECT_EQ(usage_table[1].ip, ip(127, 0, 0, 7));
  EXPECT_EQ(usage_table[1].fails, 1);
  EXPECT_EQ(usage_table[2].ip, 0u);
}

TEST_F(ChainStep, Socks5BadMethodReplyFails) {
  add(PT_SOCKS5, ip(127, 0, 0, 5), 1080);
  add(HOP_END, ip(10, 1, 2, 3), 80);
  step('C');
  reply(bytes({5, 0xFF}));
  step();
  EXPECT_TRUE(st.failed);
  EXPECT_EQ(take(), bytes({5, 1, 0}));
}

TEST_F(ChainStep, ConnectReplies) {
  add(PT_HTTPS | PT_ANONYMOUS, ip(127, 0, 0, 7), 8888);
  add(HOP_END, ip(10, 1, 2, 3), 443);
  step('C');
  const std::string request = take();
  EXPECT_EQ(request.rfind("CONNECT 10.1.2.3:443 HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("\r\nHost: 10.1.2.3:443\r\n"), std::string::npos);
  EXPECT_EQ(request.substr(request.size() - 4), "\r\n\r\n");
  EXPECT_EQ(request.find("\r\n\r\n"), request.size() - 4);  // exactly one empty line
  EXPECT_EQ(st.hop_proto, PT_HTTPS);

  reply("HTTP/");  // fewer than 7 bytes
  step();
  EXPECT_FALSE(st.established);
  reply("1.0 200 Connection established\r\n");  // no empty line yet
  step();
  EXPECT_FALSE(st.established);
  reply("Proxy-agent: x\r\n\r\nhello");
  step();
  EXPECT_TRUE(st.established);
  EXPECT_FALSE(st.failed);
  EXPECT_EQ(in.len, 5u);
}

TEST_F(ChainStep, ConnectRefusalFails) {
  add(PT_HTTPS, ip(127, 0, 0, 7), 8888);
  add(HOP_END, ip(10, 1, 2, 3), 443);
  step('C');
  reply("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n");
  step();
  EXPECT_TRUE(st.failed);
  EXPECT_EQ(in.len, 0u);
}

TEST_F(ChainStep, SeveralProtocolsSpeakTheFirst) {
  add(PT_SOCKS4 | PT_SOCKS5 | PT_HTTPS, ip(127, 0, 0, 6), 1080);
  add(HOP_END, ip(10, 1, 2, 3), 80);
  step('C');
  EXPECT_EQ(take(), bytes({4, 1, 0, 80, 10, 1, 2, 3, 0}));
  EXPECT_EQ(st.hop_proto, PT_SOCKS4);
}

TEST_F(ChainStep, PlainHttpProxyLastSendsNothing) {
  add(PT_HTTP, ip(127, 0, 0, 7), 8888);
  add(HOP_END, ip(10, 1, 2, 3), 80);
  step('C');
  EXPECT_TRUE(st.established);
  EXPECT_EQ(st.hop_index, 1);
  EXPECT_EQ(st.hop_proto, PT_HTTP);
  EXPECT_EQ(take(), "");
  EXPECT_EQ(aborts, 0);
}

TEST_F(ChainStep, PlainHttpProxyInTheMiddleCloses) {
  add(PT_HTTP, ip(127, 0, 0, 7), 8888);
  add(PT_SOCKS5, ip(127, 0, 0, 5), 1080);
  add(HOP_END, ip(10, 1, 2, 3), 80);
  step('C');
  EXPECT_EQ(aborts, 1);
  EXPECT_FALSE(st.established);
  EXPECT_FALSE(st.failed);
  EXPECT_EQ(take(), "");
  // At close it counts as a proxy that did not reply.
  route_record r{};
  r.hop_count = count;
  memcpy(r.hops, hops, sizeof hops);
  r.awaiting = st.awaiting;
  chain_report(r, 0, 0);
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(usage_table[0].ip, ip(127, 0, 0, 7));
  EXPECT_EQ(usage_table[1].ip, ip(127, 0, 0, 5));
}

TEST_F(ChainStep, UnknownTypeFailsAndIndexPastEndAborts) {
  add(PT_ANONYMOUS, ip(127, 0, 0, 7), 8888);
  add(HOP_END, ip(10, 1, 2, 3), 80);
  step('C');
  EXPECT_TRUE(st.failed);
  st = chain_state{};
  st.hop_index = 5;
  step('R');
  EXPECT_TRUE(st.failed);
  EXPECT_EQ(aborts, 1);
}

TEST(ChainReport, SuccessReportsEveryProxyWithBytes) {
  memset(usage_table, 0, sizeof usage_table);
  usage_next = 0;
  route_record r{};
  r.hop_count = 3;
  r.hops[0] = hop{PT_SOCKS5, 1080, 0x0500007F};
  r.hops[1] = hop{PT_SOCKS4, 1081, 0x0600007F};
  r.hops[2] = hop{HOP_END, 80, 0x0100000A};
  r.hop_index = 2;
  r.established = 1;
  chain_report(r, 12345, 0);
  EXPECT_EQ(usage_table[0].bytes, 12345u);
  EXPECT_EQ(usage_table[1].bytes, 12345u);
  EXPECT_EQ(usage_table[2].ip, 0u);
}

TEST(ChainReport, DestinationFailureBlamesNoProxy) {
  memset(usage_table, 0, sizeof usage_table);
  route_record r{};
  r.hop_count = 2;
  r.hops[0] = hop{PT_SOCKS5, 1080, 0x0500007F};
  r.hops[1] = hop{HOP_END, 80, 0x0100000A};
  r.hop_index = 1;
  r.established = 1;
  r.failed = 1;
  chain_report(r, 100, 1);
  EXPECT_EQ(usage_table[0].ip, 0u);
  // A failed connect to the first proxy (nothing sent yet) is not counted either.
  route_record fresh{};
  fresh.hop_count = 2;
  fresh.hops[0] = r.hops[0];
  fresh.hops[1] = r.hops[1];
  chain_report(fresh, 0, 0);
  EXPECT_EQ(usage_table[0].ip, 0u);
  EXPECT_FALSE(fresh.failed);
}

TEST(ChainClose, FailedChainIsReportedAndDropsTheCache) {
  static hop cached[2];
  memset(usage_table, 0, sizeof usage_table);
  usage_next = 0;
  conn_slot& s = conn_table[1950];
  memset(&s, 0, sizeof s);
  route_record& r = route_of(s);
  r.hop_count = 3;
  r.hops[0] = hop{PT_SOCKS5, 1080, 0x0500007F};
  r.hops[1] = hop{PT_SOCKS4, 1081, 0x0600007F};
  r.hops[2] = hop{HOP_END, 80, 0x0100000A};
  r.hop_index = 1;
  r.awaiting = 1;
  r.failed = 1;
  chain_cache.hops = cached;
  chain_cache.count = 2;
  chain_close(1950);
  EXPECT_EQ(chain_cache.hops, nullptr);
  EXPECT_EQ(usage_table[0].ip, 0x0600007Fu);  // the refusing proxy; the next hop is the destination
  EXPECT_EQ(usage_table[1].ip, 0u);
  // The client side of a chain reports nothing.
  memset(usage_table, 0, sizeof usage_table);
  r.side = 1;
  chain_cache.hops = cached;
  chain_close(1950);
  EXPECT_EQ(usage_table[0].ip, 0u);
  EXPECT_EQ(chain_cache.hops, cached);
  chain_cache_clear();
  memset(&s, 0, sizeof s);
  s.sock = -1;
}

TEST(ClientIdLine, CachedTenHoursAndSuffix) {
  clock_fake_enable(5000, 1700000000000ull);
  const std::string a = client_id_line(0);
  const std::string b = client_id_line(0);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.substr(a.size() - 4), "\r\n\r\n");  // closes a head on its own
  const std::string c = client_id_line(1);
  EXPECT_EQ(c.rfind(a.substr(0, a.size() - 2), 0), 0u);
  EXPECT_GT(c.size(), a.size());
  EXPECT_EQ(c.substr(c.size() - 4), "\r\n\r\n");
  clock_advance(36000001);
  const std::string d = client_id_line(0);
  EXPECT_NE(d, a);
  EXPECT_LT(d.size(), 256u);
  clock_fake_disable();
}

// The line must look like any browser's: a User-Agent and an
// Accept-Language line and nothing else, and different draws must differ.
TEST(ClientIdLine, OrdinaryBrowserLinesWithoutMarker) {
  clock_fake_enable(5000, 1700000000000ull);
  std::set<std::string> seen;
  for (int draw = 0; draw < 12; ++draw) {
    const std::string line = client_id_line(0);
    ASSERT_EQ(line.rfind("User-Agent: Mozilla/5.0 (", 0), 0u) << line;
    const size_t second = line.find("\r\n") + 2;
    ASSERT_EQ(line.compare(second, 17, "Accept-Language: "), 0) << line;
    const size_t end = line.find("\r\n", second) + 2;
    EXPECT_EQ(line.substr(end), "\r\n") << "no further header: " << line;
    EXPECT_EQ(line.find("X-"), std::string::npos);
    const bool firefox = line.find(" Gecko/20100101 Firefox/") != std::string::npos;
    const bool chrome = line.find(" Safari/537.36") != std::string::npos;
    EXPECT_TRUE(firefox || chrome) << line;
    seen.insert(line);
    clock_advance(36000001);
  }
  EXPECT_GE(seen.size(), 4u);
  clock_fake_disable();
}

}  // namespace
