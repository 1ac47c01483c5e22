// The reverse-lookup worker: names reach the proxy table through the
// worker, unknown addresses get their dotted form, and shutdown does not
// wait longer than 5 s for a lookup that hangs.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "db/db.h"
#include "maintenance/resolver.h"
#include "tests/support/db_temp.h"

namespace {

uint32_t addr_of(const char* dotted) {
  return inet_addr(dotted);
}

std::string host_of(const char* ip, int port) {
  char* t =
      db_query_text("", "", "SELECT host FROM proxy WHERE ip=%u AND port=%d", addr_of(ip), port);
  std::string s = t != nullptr ? t : "";
  std::free(t);
  return s;
}

bool wait_for(const std::function<bool()>& pred, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return pred();
}

bool fake_names(uint32_t addr, char* name, int capacity) {
  if (addr != inet_addr("10.1.2.3")) return false;
  snprintf(name, static_cast<size_t>(capacity), "%s", "proxy.example");
  return true;
}

std::mutex hang_lock;
std::condition_variable hang_signal;
bool hang_release = false;
std::atomic<int> hanging{0};

bool hanging_lookup(uint32_t, char*, int) {
  ++hanging;
  std::unique_lock<std::mutex> hold(hang_lock);
  hang_signal.wait_for(hold, std::chrono::seconds(20), [] { return hang_release; });
  return false;
}

class Resolver : public ::testing::Test {
 protected:
  db_temp t;
  void SetUp() override { ASSERT_TRUE(db_temp_open(t)); }
  void TearDown() override {
    resolver_stop();
    resolver_set_lookup(nullptr);
    db_temp_close(t);
  }
};

TEST_F(Resolver, NamesAndDottedFallback) {
  resolver_set_lookup(fake_names);
  db_exec("INSERT INTO proxy(ip,port) VALUES(%u,80),(%u,81)", addr_of("10.1.2.3"),
          addr_of("10.1.2.4"));
  request_host_name(addr_of("10.1.2.3"), 80);
  request_host_name(addr_of("10.1.2.4"), 81);
  EXPECT_TRUE(wait_for([] { return host_of("10.1.2.4", 81) != ""; }, 5000));
  EXPECT_EQ(host_of("10.1.2.3", 80), "proxy.example");
  EXPECT_EQ(host_of("10.1.2.4", 81), "10.1.2.4");
}

TEST_F(Resolver, SystemLookupOfLoopback) {
  char name[96];
  resolver_lookup_name(addr_of("127.0.0.1"), name, sizeof name);
  EXPECT_STREQ(name, "localhost");  // from the hosts file, no name server asked
}

TEST_F(Resolver, StopGivesUpOnAHangingLookupAfterFiveSeconds) {
  resolver_set_lookup(hanging_lookup);
  hang_release = false;
  request_host_name(addr_of("10.1.2.5"), 80);
  ASSERT_TRUE(wait_for([] { return hanging.load() > 0; }, 5000));
  auto start = std::chrono::steady_clock::now();
  resolver_stop();
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_GE(took.count(), 4900);
  EXPECT_LT(took.count(), 7000);
  {
    std::lock_guard<std::mutex> hold(hang_lock);
    hang_release = true;
  }
  hang_signal.notify_all();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // A later request starts a fresh worker.
  resolver_set_lookup(fake_names);
  db_exec("INSERT INTO proxy(ip,port) VALUES(%u,80)", addr_of("10.1.2.3"));
  request_host_name(addr_of("10.1.2.3"), 80);
  EXPECT_TRUE(wait_for([] { return host_of("10.1.2.3", 80) == "proxy.example"; }, 5000));
}

}  // namespace
