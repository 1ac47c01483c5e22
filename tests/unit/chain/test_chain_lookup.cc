// The asynchronous lookup: answers come back on the engine thread through
// lookup_poll, the blocking resolver runs on a worker, a cancelled or
// timed-out request never hears its late answer, and the table is bounded.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "chain/lookup.h"
#include "platform/clock.h"

namespace {

uint32_t addr_of(const char* dotted) {
  return inet_addr(dotted);
}

// The stand-in resolver: "hold.*" names wait until released (at most 10 s
// of real time), "none.*" has no address, every other name is 127.0.0.77.
std::atomic<bool> released{false};
std::atomic<int> inside{0};    // resolver calls running now
std::atomic<int> finished{0};  // resolver calls returned
std::atomic<std::thread::id> resolver_thread{};

uint32_t fake_resolver(const char* name) {
  ++inside;
  resolver_thread.store(std::this_thread::get_id());
  if (std::strncmp(name, "hold.", 5) == 0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!released.load() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  const uint32_t addr = std::strncmp(name, "none.", 5) == 0 ? 0 : addr_of("127.0.0.77");
  --inside;
  ++finished;
  return addr;
}

struct answer {
  uint32_t cookie;
  uint32_t addr;
  std::thread::id thread;
};
std::vector<answer> answers;

void record(uint32_t cookie, uint32_t addr) {
  answers.push_back(answer{cookie, addr, std::this_thread::get_id()});
}

bool wait_for(const std::function<bool()>& pred, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Polls as the engine does until n answers have been delivered.
bool poll_until_answers(size_t n, int ms = 5000) {
  return wait_for(
      [n] {
        lookup_poll();
        return answers.size() >= n;
      },
      ms);
}

class Lookup : public ::testing::Test {
 protected:
  void SetUp() override {
    lookup_reset();
    lookup_set_resolver(fake_resolver);
    released = false;
    answers.clear();
  }
  void TearDown() override {
    released = true;
    EXPECT_TRUE(wait_for([] { return inside.load() == 0; }));
    lookup_reset();
    lookup_set_resolver(nullptr);
    clock_fake_disable();
  }
};

TEST_F(Lookup, LiteralAnswersNeedNoLookup) {
  uint32_t addr = 1;
  EXPECT_TRUE(lookup_literal("127.0.0.9", &addr));
  EXPECT_EQ(addr, addr_of("127.0.0.9"));
  EXPECT_TRUE(lookup_literal("", &addr));
  EXPECT_EQ(addr, 0u);
  EXPECT_TRUE(lookup_literal("merovane-judge.INVALID", &addr));
  EXPECT_EQ(addr, 0u);
  EXPECT_TRUE(lookup_literal("0.0.0.0", &addr));
  EXPECT_EQ(addr, 0u);
  EXPECT_TRUE(lookup_literal("255.255.255.255", &addr));
  EXPECT_EQ(addr, 0u);
  EXPECT_FALSE(lookup_literal("judge.example", &addr));
  EXPECT_FALSE(lookup_literal("127.0.0.1.example", &addr));
  EXPECT_FALSE(lookup_literal("invalid", &addr));
  EXPECT_EQ(lookup_begin("", record, 1), 0u);
  EXPECT_EQ(lookup_begin(std::string(LOOKUP_NAME_SIZE, 'a'), record, 1), 0u);
}

TEST_F(Lookup, AnswerIsDeliveredOnThePollingThreadOnly) {
  const uint32_t ticket = lookup_begin("judge.example", record, 41);
  ASSERT_NE(ticket, 0u);
  ASSERT_TRUE(wait_for([] { return finished.load() > 0 && lookup_pending() == 1; }));
  // The resolver has answered, yet nothing is delivered without a poll.
  EXPECT_TRUE(answers.empty());
  EXPECT_NE(resolver_thread.load(), std::this_thread::get_id());
  ASSERT_TRUE(poll_until_answers(1));
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].cookie, 41u);
  EXPECT_EQ(answers[0].addr, addr_of("127.0.0.77"));
  EXPECT_EQ(answers[0].thread, std::this_thread::get_id());
  EXPECT_EQ(lookup_pending(), 0);
  // No address is an answer too.
  ASSERT_NE(lookup_begin("none.example", record, 42), 0u);
  ASSERT_TRUE(poll_until_answers(2));
  EXPECT_EQ(answers[1].cookie, 42u);
  EXPECT_EQ(answers[1].addr, 0u);
}

TEST_F(Lookup, SlowLookupDoesNotHoldTheCaller) {
  const auto before = std::chrono::steady_clock::now();
  ASSERT_NE(lookup_begin("hold.example", record, 1), 0u);
  ASSERT_TRUE(wait_for([] { return inside.load() == 1; }));
  // The other worker serves the next name meanwhile.
  ASSERT_NE(lookup_begin("quick.example", record, 2), 0u);
  ASSERT_TRUE(poll_until_answers(1));
  EXPECT_EQ(answers[0].cookie, 2u);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  released = true;
  ASSERT_TRUE(poll_until_answers(2));
  EXPECT_EQ(answers[1].cookie, 1u);
}

TEST_F(Lookup, LateAnswerOfACancelledRequestIsDropped) {
  const uint32_t held = lookup_begin("hold.example", record, 1);
  ASSERT_NE(held, 0u);
  ASSERT_TRUE(wait_for([] { return inside.load() == 1; }));
  lookup_cancel(held);
  EXPECT_EQ(lookup_pending(), 0);
  // The freed entry is taken by the next request; the late answer of the
  // first must not land there.
  ASSERT_NE(lookup_begin("hold.again", record, 2), 0u);
  ASSERT_TRUE(wait_for([] { return inside.load() == 2; }));
  const int before = finished.load();
  released = true;
  ASSERT_TRUE(wait_for([before] { return finished.load() == before + 2; }));
  ASSERT_TRUE(poll_until_answers(1));
  lookup_poll();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].cookie, 2u);
  // A stale ticket cancels nothing.
  lookup_cancel(held);
  EXPECT_EQ(lookup_pending(), 0);
}

TEST_F(Lookup, TimeLimitAnswersNoAddressAndDropsTheLateResult) {
  clock_fake_enable(5000000, 1700000000000ull);
  ASSERT_NE(lookup_begin("hold.example", record, 7), 0u);
  ASSERT_TRUE(wait_for([] { return inside.load() == 1; }));
  clock_advance(LOOKUP_LIMIT_MS - 1);
  lookup_poll();
  EXPECT_TRUE(answers.empty());
  clock_advance(1);
  lookup_poll();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].cookie, 7u);
  EXPECT_EQ(answers[0].addr, 0u);
  EXPECT_EQ(lookup_pending(), 0);
  const int before = finished.load();
  released = true;
  ASSERT_TRUE(wait_for([before] { return finished.load() == before + 1; }));
  lookup_poll();
  EXPECT_EQ(answers.size(), 1u);
}

TEST_F(Lookup, TableIsBounded) {
  std::vector<uint32_t> tickets;
  for (int i = 0; i < LOOKUP_CAPACITY; ++i) {
    const uint32_t t = lookup_begin("hold.example", record, static_cast<uint32_t>(i));
    ASSERT_NE(t, 0u);
    tickets.push_back(t);
  }
  EXPECT_EQ(lookup_begin("hold.more", record, 99), 0u);
  EXPECT_EQ(lookup_pending(), LOOKUP_CAPACITY);
  lookup_cancel(tickets[3]);
  EXPECT_NE(lookup_begin("hold.more", record, 99), 0u);
  released = true;
  ASSERT_TRUE(poll_until_answers(LOOKUP_CAPACITY));
  for (const answer& a : answers) EXPECT_NE(a.cookie, 3u);
}

}  // namespace
