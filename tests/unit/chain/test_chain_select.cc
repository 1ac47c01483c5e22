// Chain selection against a real database file, the 10 s cache, the usage
// flush's rank update and the "force_http_10" setting cache.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "chain/rewrite.h"
#include "chain/select.h"
#include "chain/usage.h"
#include "db/db.h"
#include "platform/clock.h"
#include "tests/support/chain_db.h"

namespace {

class Select : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(chain_test_db());
    chain_cache_clear();
    chain_ids_forget();
    clock_fake_enable(1000000, 1700000000000ull);
  }
  void TearDown() override {
    chain_cache_clear();
    clock_fake_disable();
    db_close();
  }
  static std::string dotted(uint32_t a) {
    uint8_t b[4];
    memcpy(b, &a, 4);
    return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
           std::to_string(b[3]);
  }
};

TEST_F(Select, TwoFastestLinksPickDifferentProxies) {
  chain_db_add_proxy("127.0.0.5", 1080, PT_SOCKS5, 100);
  chain_db_add_proxy("127.0.0.6", 1080, PT_SOCKS5, 200);
  chain_db_add_proxy("127.0.0.7", 1080, PT_SOCKS4, 50);  // wrong protocol
  chain_db_add_proxy("127.0.0.8", 1080, PT_SOCKS5 | PT_NOT_WORKING, 10);
  chain_db_add_link(1, 2, PT_SOCKS5);
  chain_db_add_link(2, 2, PT_SOCKS5);
  hop* h = chain_build();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(chain_cache.count, 2);
  EXPECT_EQ(dotted(h[0].addr), "127.0.0.5");
  EXPECT_EQ(dotted(h[1].addr), "127.0.0.6");
  EXPECT_EQ(h[1].port, 1080);
  EXPECT_EQ(h[1].type, PT_SOCKS5);
  EXPECT_EQ(h[2].type, 0);
}

TEST_F(Select, OrderingsByRankAndLastSuccess) {
  chain_db_add_proxy("127.0.0.5", 1080, PT_SOCKS5, 100, 5, 30);
  chain_db_add_proxy("127.0.0.6", 1080, PT_SOCKS5, 200, 9, 20);
  chain_db_add_link(1, 3, PT_SOCKS5);
  chain_db_add_link(2, 4, PT_SOCKS5 | PT_SOCKS4);
  hop* h = chain_build();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(dotted(h[0].addr), "127.0.0.5");  // most recent t_ok
  EXPECT_EQ(dotted(h[1].addr), "127.0.0.6");  // the only one left
}

TEST_F(Select, CacheHoldsTenSeconds) {
  chain_db_add_proxy("127.0.0.5", 1080, PT_SOCKS5, 100);
  chain_db_add_proxy("127.0.0.6", 1080, PT_SOCKS5, 200);
  chain_db_add_link(1, 2, PT_SOCKS5);
  route_record r{};
  ASSERT_EQ(chain_hops(r, "127.0.0.9", 80), 1);
  EXPECT_EQ(r.hop_count, 2);
  EXPECT_EQ(dotted(r.hops[0].addr), "127.0.0.5");
  EXPECT_EQ(r.hops[1].type, HOP_END);
  EXPECT_EQ(r.hops[1].port, 80);
  EXPECT_EQ(dotted(r.hops[1].addr), "127.0.0.9");
  db_exec("UPDATE proxy SET timeout=1 WHERE port=1080 AND timeout=200");
  clock_advance(9000);
  route_record again{};
  ASSERT_EQ(chain_hops(again, "localhost", 8080), 1);
  EXPECT_EQ(dotted(again.hops[0].addr), "127.0.0.5");  // same chain within 10 s
  EXPECT_EQ(dotted(again.hops[1].addr), "0.0.0.0");    // the name travels to the last proxy
  clock_advance(2000);
  route_record later{};
  ASSERT_EQ(chain_hops(later, "127.0.0.9", 80), 1);
  EXPECT_EQ(dotted(later.hops[0].addr), "127.0.0.6");  // built afresh
  // A failed chain drops the cache at once.
  db_exec("UPDATE proxy SET timeout=0 WHERE timeout=100");
  chain_cache_clear();
  route_record fresh{};
  ASSERT_EQ(chain_hops(fresh, "127.0.0.9", 80), 1);
  EXPECT_EQ(dotted(fresh.hops[0].addr), "127.0.0.5");
}

TEST_F(Select, DestinationWithoutAddressOrPortGetsNoChain) {
  chain_db_add_proxy("127.0.0.5", 1080, PT_SOCKS5, 100);
  chain_db_add_link(1, 2, PT_SOCKS5);
  route_record r{};
  ASSERT_EQ(chain_hops(r, "127.0.0.9", 80), 1);
  EXPECT_NE(chain_cache.hops, nullptr);
  EXPECT_EQ(chain_hops(r, "", 80), 0);
  EXPECT_EQ(chain_hops(r, "0.0.0.0", 80), 0);
  EXPECT_EQ(chain_hops(r, "255.255.255.255", 80), 0);
  EXPECT_EQ(chain_hops(r, "checker.invalid", 80), 0);
  // A name or an IPv6 address is left to the last proxy: address 0.
  ASSERT_EQ(chain_hops(r, "2001:db8::7", 443), 1);
  EXPECT_EQ(r.hops[r.hop_count - 1].addr, 0u);
  ASSERT_EQ(chain_hops(r, "site.example", 80), 1);
  EXPECT_EQ(r.hops[r.hop_count - 1].addr, 0u);
  ASSERT_EQ(chain_hops(r, "2130706433", 80), 1);  // a number is an address, not a name
  EXPECT_EQ(dotted(r.hops[r.hop_count - 1].addr), "127.0.0.1");
  EXPECT_NE(chain_cache.hops, nullptr);
  EXPECT_EQ(chain_hops(r, "127.0.0.9", 0), 0);
  EXPECT_EQ(chain_cache.hops, nullptr);  // port 0 clears the cache
}

TEST_F(Select, FixedProxyNeedsNoQuery) {
  chain_db_add_link(1, 5, PT_SOCKS5, ip_number("1.2.3.4"), 1080);
  hop* h = chain_build();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(chain_cache.count, 1);
  EXPECT_EQ(dotted(h[0].addr), "1.2.3.4");
  EXPECT_EQ(h[0].port, 1080);
  EXPECT_EQ(h[0].type, 0x10);
}

TEST_F(Select, AnonymityMasks) {
  chain_db_add_proxy("127.0.0.5", 1080, PT_SOCKS5 | PT_TRANSPARENT, 1);
  chain_db_add_link(1, 2, PT_SOCKS5);
  EXPECT_EQ(chain_build(), nullptr);  // barred 0x06: elite only
  db_exec("%s", sql_chain_clear());
  chain_db_add_link(1, 2, PT_SOCKS5 | PT_ANONYMOUS);
  EXPECT_EQ(chain_build(), nullptr);  // barred 0x02: no transparent
  db_exec("%s", sql_chain_clear());
  chain_db_add_link(1, 2, PT_SOCKS5 | PT_ANONYMOUS | PT_TRANSPARENT);
  ASSERT_NE(chain_build(), nullptr);  // barred 0: anything
  db_exec("DELETE FROM proxy");
  chain_db_add_proxy("127.0.0.6", 1080, PT_SOCKS5 | PT_ANONYMOUS, 1);
  db_exec("%s", sql_chain_clear());
  chain_db_add_link(1, 2, PT_SOCKS5);
  EXPECT_EQ(chain_build(), nullptr);
  db_exec("%s", sql_chain_clear());
  chain_db_add_link(1, 2, PT_SOCKS5 | PT_ANONYMOUS);
  ASSERT_NE(chain_build(), nullptr);
  db_exec("UPDATE proxy SET blocked=1");
  EXPECT_EQ(chain_build(), nullptr);  // blocked proxies are never picked
}

TEST_F(Select, ThirtyFiveLinksUseTheFirstTwentyNine) {
  for (int i = 0; i < 35; ++i) {
    const std::string a = "10.0.0." + std::to_string(i + 1);
    chain_db_add_link(i + 1, 5, PT_SOCKS4, ip_number(a.c_str()), static_cast<uint16_t>(1000 + i));
  }
  route_record r{};
  ASSERT_EQ(chain_hops(r, "127.0.0.9", 80), 1);
  EXPECT_EQ(r.hop_count, 30);
  EXPECT_EQ(dotted(r.hops[28].addr), "10.0.0.29");
  EXPECT_EQ(r.hops[29].type, HOP_END);
}

TEST_F(Select, UnknownSelectionGivesNoChainAndEmptyLinkFails) {
  chain_db_add_link(1, 5, PT_SOCKS5, ip_number("1.2.3.4"), 1080);
  chain_db_add_link(2, 7, PT_SOCKS5);
  EXPECT_EQ(chain_build(), nullptr);
  db_exec("%s", sql_chain_clear());
  chain_db_add_link(1, 1, PT_HTTPS);  // no proxy qualifies
  EXPECT_EQ(chain_build(), nullptr);
  db_exec("%s", sql_chain_clear());
  EXPECT_EQ(chain_build(), nullptr);  // no links at all
  route_record r{};
  EXPECT_EQ(chain_hops(r, "127.0.0.9", 80), 0);
}

// A client that needs a tunnel never ends its chain in a plain HTTP proxy:
// the last link's pick skips such proxies when the link allows another
// protocol; otherwise there is no chain for that client (plain HTTP clients
// still get one).
TEST_F(Select, TunnelsNeverEndInAPlainHttpProxy) {
  const struct {
    const char* what;
    int selection;
    uint16_t flags;
    const char* tunnel_last;  // the tunnel's last proxy, or null: CHAIN_HOPS_HTTP_LAST
  } cases[] = {
      {"a pick of both protocols takes the SOCKS5 proxy", 2, PT_HTTP | PT_SOCKS5, "127.0.0.6"},
      {"a pick of plain HTTP only has none to give", 2, PT_HTTP, nullptr},
      {"a fixed plain HTTP proxy cannot change", 5, PT_HTTP, nullptr},
  };
  chain_db_add_proxy("127.0.0.5", 8080, PT_HTTP, 10);  // the fastest
  chain_db_add_proxy("127.0.0.6", 1080, PT_SOCKS5, 50);
  for (const auto& c : cases) {
    db_exec("%s", sql_chain_clear());
    chain_cache_clear();
    chain_db_add_link(1, 5, PT_SOCKS4, ip_number("127.0.0.7"), 1080);
    chain_db_add_link(2, c.selection, c.flags, ip_number("127.0.0.5"), 8080);
    route_record plain{};
    ASSERT_EQ(chain_hops(plain, "127.0.0.9", 80), 1) << c.what;
    EXPECT_EQ(dotted(plain.hops[1].addr), "127.0.0.5") << c.what;
    route_record tunnel{};
    const int got = chain_hops(tunnel, "127.0.0.9", 443, nullptr, 0, true);
    if (c.tunnel_last == nullptr) {
      EXPECT_EQ(got, CHAIN_HOPS_HTTP_LAST) << c.what;
      continue;
    }
    ASSERT_EQ(got, 1) << c.what;
    EXPECT_EQ(tunnel.hop_count, 3) << c.what;
    EXPECT_EQ(dotted(tunnel.hops[0].addr), "127.0.0.7") << c.what;
    EXPECT_EQ(dotted(tunnel.hops[1].addr), c.tunnel_last) << c.what;
    EXPECT_EQ(tunnel.hops[2].type, HOP_END) << c.what;
  }
}

TEST(LinkRow, OnlyRowsOfExactlyFourIntegers) {
  int64_t v[8];
  auto parse = [&](const char* t) { return parse_link_row(t, t + strlen(t), v); };
  EXPECT_EQ(parse("5,16,67305985,1080"), 4);
  EXPECT_EQ(v[2], 67305985);
  EXPECT_EQ(parse("+-3,+4,-5,6"), 4);
  EXPECT_EQ(v[0], -3);
  EXPECT_EQ(parse("1,2,3"), 3);
  EXPECT_EQ(parse("1,2,3,4,5"), 5);
  EXPECT_EQ(parse("1,2,3,4,5,6,7,8,9"), -1);
  EXPECT_EQ(parse("1,2,,4"), -1);
  EXPECT_EQ(parse("1,2,3,4x"), -1);
  EXPECT_EQ(parse("1,2,3,4,"), -1);
}

TEST_F(Select, UsageFlushMovesRanks) {
  chain_db_add_proxy("127.0.0.5", 1080, PT_SOCKS5, 1, 10);
  chain_db_add_proxy("127.0.0.6", 1081, PT_SOCKS5, 1, 1);
  memset(usage_table, 0, sizeof usage_table);
  usage_next = 0;
  usage_flush_time = 0;
  usage_flush();
  const usage_proxy a[2] = {{ip_number("127.0.0.5"), 1080}, {0, 0}};
  const usage_proxy b[2] = {{ip_number("127.0.0.6"), 1081}, {0, 0}};
  usage_record(a, 1200000, 1);
  for (int i = 0; i < 5; ++i) usage_record(b, 0, 0);
  usage_record(b, 250000, 1);
  clock_advance(30000);
  usage_flush();
  EXPECT_EQ(chain_db_rank("127.0.0.5", 1080), 22);  // +12
  EXPECT_EQ(chain_db_rank("127.0.0.6", 1081), 0);   // 1 - 3, never below 0
}

TEST_F(Select, ForceHttp10ReadAtFirstUseThenEvery30s) {
  force_http_10_reset();
  setting_int("force_http_10", 0, 1);
  EXPECT_FALSE(force_http_10_on());
  setting_int("force_http_10", 1, 1);
  clock_advance(29999);
  EXPECT_FALSE(force_http_10_on());
  clock_advance(1);
  EXPECT_TRUE(force_http_10_on());
  force_http_10_reset();
}

}  // namespace

// A proxy behind a long run of dead ids gets no more picks than one behind
// a short run, and a proxy excluded for this client or blocked since the
// ids were read is never picked.
TEST_F(Select, RandomLinkPicksUniformly) {
  chain_db_add_proxy("127.0.2.1", 1080, PT_SOCKS5, 100);
  for (int i = 0; i < 60; ++i) {
    std::string ip = "127.0.3." + std::to_string(i + 1);
    chain_db_add_proxy(ip.c_str(), 1080, PT_SOCKS5 | PT_NOT_WORKING, 100);
  }
  chain_db_add_proxy("127.0.2.2", 1080, PT_SOCKS5, 100);
  chain_db_add_proxy("127.0.2.3", 1080, PT_SOCKS5, 100);
  chain_db_add_link(1, 1, PT_SOCKS5);
  int picks[4] = {};
  const int rounds = 600;
  for (int round = 0; round < rounds; ++round) {
    hop* h = chain_build();
    ASSERT_NE(h, nullptr);
    const uint8_t last = static_cast<uint8_t>(h[0].addr >> 24);
    ASSERT_TRUE(last >= 1 && last <= 3) << dotted(h[0].addr);
    ++picks[last];
  }
  for (int k = 1; k <= 3; ++k) {
    EXPECT_GT(picks[k], rounds / 3 - rounds / 8) << k;
    EXPECT_LT(picks[k], rounds / 3 + rounds / 8) << k;
  }
  const proxy_ref avoid[1] = {{ip_number("127.0.2.2"), 1080}};
  db_exec("UPDATE proxy SET blocked=1 WHERE ip=%u", ip_number("127.0.2.3"));
  for (int round = 0; round < 50; ++round) {
    hop* h = chain_build(avoid, 1);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(dotted(h[0].addr), "127.0.2.1");
  }
}

TEST_F(Select, RandomLinkSpreadsOverUsableProxiesOnly) {
  // Usable proxies between unusable ones, so that both the pick at or after
  // the random row and the wrap-around to the first usable one are taken.
  for (int i = 0; i < 40; ++i) {
    std::string ip = "127.0.1." + std::to_string(i + 1);
    uint16_t type = i % 4 == 1 ? PT_SOCKS5 : PT_SOCKS4;  // 10 usable SOCKS5 proxies
    chain_db_add_proxy(ip.c_str(), 1080, type, 100);
  }
  chain_db_add_link(1, 1, PT_SOCKS5);
  chain_db_add_link(2, 1, PT_SOCKS5);
  int seen[64] = {};
  int distinct = 0;
  for (int round = 0; round < 200; ++round) {
    hop* h = chain_build();
    ASSERT_NE(h, nullptr);
    EXPECT_NE(h[0].addr, h[1].addr);
    for (int k = 0; k < 2; ++k) {
      EXPECT_EQ(h[k].type, PT_SOCKS5);
      uint8_t last = static_cast<uint8_t>(h[k].addr >> 24);
      ASSERT_LT(last, 64);
      if (seen[last]++ == 0) ++distinct;
    }
  }
  EXPECT_EQ(distinct, 10);
}
