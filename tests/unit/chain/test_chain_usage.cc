// The usage tally: streaks, the immediate check, rotation and the 30 s flush.
#include <gtest/gtest.h>

#include <cstring>

#include "chain/select.h"
#include "chain/usage.h"
#include "platform/clock.h"

namespace {

class Usage : public ::testing::Test {
 protected:
  void SetUp() override {
    memset(usage_table, 0, sizeof usage_table);
    usage_next = 0;
    usage_flush_time = 0;
    clock_fake_enable(100000, 1700000000000ull);
  }
  void TearDown() override { clock_fake_disable(); }
  static void report(uint32_t ip, uint16_t port, uint32_t bytes, int success) {
    const usage_proxy list[2] = {{ip, port}, {0, 0}};
    usage_record(list, bytes, success);
  }
  static usage_entry* find(uint32_t ip) {
    for (usage_entry& e : usage_table)
      if (e.ip == ip) return &e;
    return nullptr;
  }
};

TEST_F(Usage, ThirdFailureInARowDropsTheChainCache) {
  static hop fake[2];
  report(0x0500007F, 1080, 0, 0);
  report(0x0500007F, 1080, 0, 0);
  chain_cache.hops = fake;
  chain_cache.count = 1;
  report(0x0500007F, 1080, 0, 0);
  EXPECT_EQ(chain_cache.hops, nullptr);  // the proxy is checked at once and the cache dropped
  usage_entry* e = find(0x0500007F);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->streak, 3);
  EXPECT_EQ(e->fails, 3);
  report(0x0500007F, 1080, 500, 1);  // a success after the third failure keeps the streak
  EXPECT_EQ(e->streak, 3);
  EXPECT_EQ(e->bytes, 500u);
}

TEST_F(Usage, SuccessBeforeThreeResetsStreak) {
  report(0x0500007F, 1080, 0, 0);
  report(0x0500007F, 1080, 0, 0);
  report(0x0500007F, 1080, 10, 1);
  EXPECT_EQ(find(0x0500007F)->streak, 0);
  EXPECT_EQ(find(0x0500007F)->fails, 2);
}

TEST_F(Usage, ListStopsAtEmptyEntryAndTakesAtMostTen) {
  usage_proxy list[12];
  for (int i = 0; i < 12; ++i) list[i] = usage_proxy{static_cast<uint32_t>(i + 1), 80};
  usage_record(list, 1, 1);
  EXPECT_EQ(usage_next, 10u);
  const usage_proxy short_list[3] = {{100, 80}, {101, 0}, {102, 80}};
  usage_record(short_list, 1, 1);
  EXPECT_EQ(usage_next, 11u);
}

TEST_F(Usage, The257thProxyOverwritesTheOldest) {
  for (uint32_t i = 1; i <= 256; ++i) report(i, 80, 1000, 1);
  report(1, 80, 0, 0);  // existing entries keep their place
  report(1, 80, 0, 0);
  report(999, 80, 7, 1);
  EXPECT_EQ(usage_table[0].ip, 999u);
  EXPECT_EQ(usage_table[0].bytes, 7u);
  EXPECT_EQ(usage_table[0].fails, 0);
  EXPECT_EQ(usage_next, 1u);
  EXPECT_EQ(find(1), nullptr);
}

TEST_F(Usage, FirstFlushOnlySetsItsTime) {
  report(0x0500007F, 1080, 1200000, 1);
  usage_flush();
  EXPECT_NE(usage_flush_time, 0u);
  EXPECT_NE(find(0x0500007F), nullptr);
  clock_advance(29999);
  usage_flush();
  EXPECT_NE(find(0x0500007F), nullptr);
  clock_advance(1);
  usage_flush();  // +12: flushed and cleared
  EXPECT_EQ(find(0x0500007F), nullptr);
}

TEST_F(Usage, FlushScoresAndThresholds) {
  static hop fake[2];
  usage_flush();
  for (int i = 0; i < 5; ++i) report(0x0600007F, 1081, 50000, 0);
  report(0x0600007F, 1081, 250000, 1);  // d = 2 - 5 = -3
  report(0x0700007F, 1082, 499999, 1);  // below both thresholds
  report(0x0800007F, 1083, 0, 0);
  chain_cache.hops = fake;
  chain_cache.count = 1;
  clock_advance(30000);
  usage_flush();
  EXPECT_EQ(find(0x0600007F), nullptr);
  EXPECT_EQ(chain_cache.hops, nullptr);  // a proxy scored down
  ASSERT_NE(find(0x0700007F), nullptr);
  EXPECT_EQ(find(0x0700007F)->bytes, 499999u);
  ASSERT_NE(find(0x0800007F), nullptr);
}

TEST_F(Usage, PositiveFlushKeepsTheCache) {
  static hop fake[2];
  usage_flush();
  report(0x0500007F, 1080, 1200000, 1);
  chain_cache.hops = fake;
  chain_cache.count = 1;
  clock_advance(30000);
  usage_flush();
  EXPECT_EQ(find(0x0500007F), nullptr);
  EXPECT_EQ(chain_cache.hops, fake);
  chain_cache_clear();
}

}  // namespace
