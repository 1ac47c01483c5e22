// Client chains through the engine run on the test thread with the test
// clock, so that the 10 s chain cache, the hop time limit and the usage tally
// are seen without waiting; the proxies and the origin are real.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "chain/negotiate.h"
#include "chain/select.h"
#include "chain/usage.h"
#include "db/db.h"
#include "platform/clock.h"
#include "tests/support/chain_db.h"
#include "tests/support/engine_harness.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"

namespace {

std::unique_ptr<origin_server> origin;
std::unique_ptr<peer_process> fast, slow;

class ChainEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    origin = std::make_unique<origin_server>();
    ASSERT_TRUE(origin->start("127.0.0.9"));
    fast.reset(start_microsocks("127.0.0.5", free_port("127.0.0.5")));
    slow.reset(start_microsocks("127.0.0.12", free_port("127.0.0.12")));
  }
  static void TearDownTestSuite() {
    fast.reset();
    slow.reset();
    origin.reset();
  }

  std::unique_ptr<engine_harness> engine;

  void SetUp() override {
    ASSERT_TRUE(fast && slow);
    ASSERT_TRUE(wait_listening("127.0.0.9", origin->port, 1000));
    ASSERT_TRUE(chain_test_db());
    setting_str("url_checker", const_cast<char*>("http://127.0.0.250/"), 20, 1);
    setting_str("download_urls", const_cast<char*>(""), 1, 1);
    chain_db_add_proxy("127.0.0.5", fast->port, PT_SOCKS5, 10, 10);
    chain_db_add_proxy("127.0.0.12", slow->port, PT_SOCKS5, 20, 10);
    chain_db_add_link(1, 2, PT_SOCKS5);
    chain_cache_clear();
    memset(usage_table, 0, sizeof usage_table);
    usage_next = 0;
    usage_flush_time = 0;
    clock_fake_enable(2000000, 1700000000000ull);
    engine = std::make_unique<engine_harness>();
  }
  void TearDown() override {
    engine.reset();
    chain_cache_clear();
    clock_fake_disable();
    db_close();
  }

  // A SOCKS5 client asking for 127.0.0.9:origin and then `request`; the
  // engine runs until the connection closes. Returns everything received
  // after the SOCKS replies.
  // step_ms: test-clock milliseconds added per engine cycle, so that
  // slots marked for closing are closed (they wait 2 s of quiet).
  std::string fetch(const std::string& request, bool* closed = nullptr, uint32_t step_ms = 0) {
    const int fd = connect_local(engine->port);
    EXPECT_GE(fd, 0);
    uint8_t hello[3 + 10] = {5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 9, 0, 0};
    hello[11] = static_cast<uint8_t>(origin->port >> 8);
    hello[12] = static_cast<uint8_t>(origin->port & 0xFF);
    EXPECT_TRUE(send_all(fd, hello, sizeof hello));
    fcntl(fd, F_SETFL, O_NONBLOCK);
    std::string got;
    bool sent = false, eof = false;
    engine->run_until(
        [&] {
          if (step_ms) clock_advance(step_ms);
          char buf[65536];
          for (;;) {
            const ssize_t r = recv(fd, buf, sizeof buf, 0);
            if (r > 0) {
              got.append(buf, static_cast<size_t>(r));
              continue;
            }
            if (r == 0) eof = true;
            break;
          }
          if (!sent && got.size() >= 12) {
            sent = true;
            send_all(fd, request.data(), request.size());
          }
          return eof;
        },
        10000);
    close(fd);
    fprintf(stderr, "fetch got %zu bytes, eof %d\n", got.size(), eof);
    if (closed) *closed = eof;
    return got.size() >= 12 ? got.substr(12) : "";
  }
  // The Host line names the destination as the SOCKS request does.
  static std::string get(const char* path) {
    return std::string("GET ") + path +
           " HTTP/1.1\r\nHost: 127.0.0.9:" + std::to_string(origin->port) + "\r\n\r\n";
  }
  // Lets closed chains finish: 2.5 s of test clock, a few cycles.
  void settle() {
    clock_advance(2500);
    engine->run_for(50);
  }
  static usage_entry* tally(const char* dotted) {
    for (usage_entry& e : usage_table)
      if (e.ip == ip_number(dotted)) return &e;
    return nullptr;
  }
};

TEST_F(ChainEngine, CacheServesTenSecondsThenRebuilds) {
  EXPECT_NE(fetch(get("/bytes/1000")).find("200 OK"), std::string::npos);
  EXPECT_EQ(origin->last_peer(), "127.0.0.5");
  EXPECT_NE(last_chain_ok, 0u);
  settle();
  db_exec("UPDATE proxy SET timeout=30 WHERE ip=%u", ip_number("127.0.0.5"));
  clock_advance(6500);  // 9 s after the build
  fetch(get("/bytes/10"));
  EXPECT_EQ(origin->last_peer(), "127.0.0.5");
  settle();  // 11.5 s
  fetch(get("/bytes/10"));
  EXPECT_EQ(origin->last_peer(), "127.0.0.12");
  settle();
  // Both proxies carried bytes and are in the tally as working.
  ASSERT_NE(tally("127.0.0.5"), nullptr);
  EXPECT_GT(tally("127.0.0.5")->bytes, 0u);
  EXPECT_EQ(tally("127.0.0.5")->fails, 0);
  ASSERT_NE(tally("127.0.0.12"), nullptr);
}

TEST_F(ChainEngine, ClientSeesTheRewrittenRequestAnswered) {
  const std::string answer = fetch(get("/head"));
  EXPECT_NE(answer.find("GET /head HTTP/1.0\r\nHost: 127.0.0.9:" + std::to_string(origin->port) +
                        "\r\nConnection: close\r\n\r\n"),
            std::string::npos)
      << answer;
}

TEST_F(ChainEngine, DeadProxyIsTalliedAndScoredDown) {
  const uint16_t dead = free_port("127.0.0.11");
  db_exec("%s", sql_chain_clear());
  chain_db_add_link(1, 5, PT_SOCKS5, ip_number("127.0.0.5"), fast->port);
  chain_db_add_link(2, 5, PT_SOCKS5, ip_number("127.0.0.11"), dead);
  usage_flush();  // starts the 30 s period
  const int served = origin->requests();
  for (int i = 0; i < 5; ++i) {
    bool closed = false;
    EXPECT_EQ(fetch(get("/bytes/10"), &closed, 20), "");
    EXPECT_TRUE(closed);
    if (i == 2) {
      EXPECT_EQ(tally("127.0.0.5")->streak, 3);  // third failure in a row: checked at once
    }
  }
  EXPECT_EQ(origin->requests(), served);
  ASSERT_NE(tally("127.0.0.5"), nullptr);
  ASSERT_NE(tally("127.0.0.11"), nullptr);
  EXPECT_EQ(tally("127.0.0.5")->fails, 5);
  EXPECT_EQ(tally("127.0.0.11")->fails, 5);
  db_exec("UPDATE proxy SET rank=100");  // the check started on the third failure may lower it
  clock_advance(30000);
  usage_flush();
  EXPECT_EQ(tally("127.0.0.5"), nullptr);
  EXPECT_EQ(chain_db_rank("127.0.0.5", fast->port), 95);  // 0 bytes, 5 failures: -5
  EXPECT_EQ(chain_cache.hops, nullptr);
}

TEST_F(ChainEngine, RefusedFirstProxyIsNotTallied) {
  db_exec("%s", sql_chain_clear());
  chain_db_add_link(1, 5, PT_SOCKS5, ip_number("127.0.0.11"), free_port("127.0.0.11"));
  bool closed = false;
  EXPECT_EQ(fetch(get("/bytes/10"), &closed, 20), "");
  EXPECT_TRUE(closed);
  EXPECT_EQ(tally("127.0.0.11"), nullptr);
  EXPECT_EQ(usage_next, 0u);
}

// A proxy that never answers fails when its reply's time ("hop_timeout",
// 8 s) has passed since it was asked, on time rather than on a tick.
TEST_F(ChainEngine, SilentProxyFailsAtItsHopLimit) {
  uint16_t port = 0;
  const int silent = listen_on("127.0.0.1", 0, &port);  // accepts, never answers
  ASSERT_GE(silent, 0);
  db_exec("%s", sql_chain_clear());
  chain_db_add_link(1, 5, PT_SOCKS4, ip_number("127.0.0.1"), port);
  const int fd = connect_local(engine->port);
  const std::string request =
      "GET http://127.0.0.9:" + std::to_string(origin->port) +
      "/bytes/5 HTTP/1.1\r\nHost: 127.0.0.9:" + std::to_string(origin->port) + "\r\n\r\n";
  ASSERT_TRUE(send_all(fd, request.data(), request.size()));
  engine->run_for(300);
  EXPECT_EQ(tally("127.0.0.1"), nullptr);
  // The client side shows what was asked for.
  bool found = false;
  for (int i = 0; i < SLOT_COUNT; ++i) {
    if (conn_table[i].sock == -1 || conn_table[i].kind != slot_kind::chain) continue;
    if (route_of(i).side != 1) continue;
    found = true;
    EXPECT_EQ(std::string(route_of(i).target),
              "127.0.0.9:" + std::to_string(origin->port) + "/bytes/5");
  }
  EXPECT_TRUE(found);
  clock_advance(7900);
  engine->run_for(100);
  char c;
  EXPECT_EQ(recv(fd, &c, 1, MSG_DONTWAIT), -1);  // still negotiating
  clock_advance(200);
  fcntl(fd, F_SETFL, O_NONBLOCK);
  // The fixed link cannot change: the client is told which proxy failed.
  std::string answer;
  EXPECT_TRUE(engine->run_until(
      [&] {
        char b[4096];
        const ssize_t n = recv(fd, b, sizeof b, 0);
        if (n > 0) answer.append(b, static_cast<size_t>(n));
        return n == 0;
      },
      5000));
  EXPECT_EQ(answer.rfind("HTTP/1.0 502 Bad Gateway\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("proxy 127.0.0.1:" + std::to_string(port) + " did not answer in time"),
            std::string::npos)
      << answer;
  ASSERT_NE(tally("127.0.0.1"), nullptr);  // out of time: reported failed
  EXPECT_EQ(tally("127.0.0.1")->fails, 1);
  close(fd);
  close(silent);
}

}  // namespace
