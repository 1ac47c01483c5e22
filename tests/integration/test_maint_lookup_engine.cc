// A name server that takes 5 s per answer stalls nobody: while the names of
// the checker and of a list host are being looked up, a 1 MiB transfer
// through a chain of two real proxies runs through the same engine at its
// usual pace, and the answers still arrive afterwards.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "chain/lookup.h"
#include "chain/negotiate.h"
#include "chain/select.h"
#include "db/db.h"
#include "maintenance/myip.h"
#include "maintenance/scheduler.h"
#include "tests/support/chain_db.h"
#include "tests/support/engine_harness.h"
#include "tests/support/peers.h"

namespace {

constexpr int SLOW_LOOKUP_MS = 5000;
constexpr size_t BODY = 1u << 20;

std::atomic<int> resolving{0};
std::atomic<int> resolved{0};

uint32_t slow_resolver(const char*) {
  ++resolving;
  std::this_thread::sleep_for(std::chrono::milliseconds(SLOW_LOOKUP_MS));
  --resolving;
  ++resolved;
  return inet_addr("127.0.0.9");
}

TEST(SlowNameServer, TransferIsNotDelayedByPendingLookups) {
  origin_server origin;
  ASSERT_TRUE(origin.start("127.0.0.9"));
  std::unique_ptr<peer_process> first(start_microsocks("127.0.0.5", free_port("127.0.0.5")));
  std::unique_ptr<peer_process> second(start_microsocks("127.0.0.12", free_port("127.0.0.12")));
  ASSERT_TRUE(first && second);
  ASSERT_TRUE(chain_test_db());
  char checker[64] = "http://slow-checker.test/";
  setting_str("url_checker", checker, sizeof checker, 1);
  char urls[64] = "http://slow-list.test/list.txt\n";
  setting_str("download_urls", urls, sizeof urls, 1);
  chain_db_add_proxy("127.0.0.5", first->port, PT_SOCKS5, 10, 10);
  chain_db_add_proxy("127.0.0.12", second->port, PT_SOCKS5, 10, 10);
  chain_db_add_link(1, 5, PT_SOCKS5, ip_number("127.0.0.5"), first->port);
  chain_db_add_link(2, 5, PT_SOCKS5, ip_number("127.0.0.12"), second->port);
  chain_cache_clear();
  lookup_reset();
  lookup_set_resolver(slow_resolver);
  scheduler_reset();
  checker_location_reset();
  myip_due_now = true;
  engine_harness engine;

  // The download pass asks for the list host, the housekeeping pass for
  // the checker host; both workers are then busy.
  download_pass();
  ASSERT_TRUE(engine.run_until([] { return resolving.load() == 2; }, 4000));

  const auto started = std::chrono::steady_clock::now();
  const int fd = connect_local(engine.port);
  ASSERT_GE(fd, 0);
  uint8_t hello[3 + 10] = {5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 9, 0, 0};
  hello[11] = static_cast<uint8_t>(origin.port >> 8);
  hello[12] = static_cast<uint8_t>(origin.port & 0xFF);
  ASSERT_TRUE(send_all(fd, hello, sizeof hello));
  fcntl(fd, F_SETFL, O_NONBLOCK);
  const std::string request = "GET /bytes/" + std::to_string(BODY) +
                              " HTTP/1.1\r\nHost: 127.0.0.9:" + std::to_string(origin.port) +
                              "\r\n\r\n";
  std::string got;
  bool sent = false, eof = false;
  engine.run_until(
      [&] {
        char buf[65536];
        for (;;) {
          const ssize_t r = recv(fd, buf, sizeof buf, 0);
          if (r <= 0) {
            eof = r == 0;
            break;
          }
          got.append(buf, static_cast<size_t>(r));
        }
        if (!sent && got.size() >= 12) {
          sent = true;
          send_all(fd, request.data(), request.size());
        }
        return eof;
      },
      10000);
  close(fd);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - started)
                           .count();
  std::fprintf(stderr, "1 MiB through the chain in %lld ms while %d lookups of %d ms ran\n",
               static_cast<long long>(elapsed), resolving.load(), SLOW_LOOKUP_MS);
  EXPECT_TRUE(eof);
  const size_t head_end = got.find("\r\n\r\n");
  ASSERT_NE(head_end, std::string::npos);
  EXPECT_EQ(got.size() - head_end - 4, BODY);
  EXPECT_EQ(got.compare(12, 12, "HTTP/1.0 200"), 0) << got.substr(0, 80);
  // Generous, yet well under one slow answer: a blocked engine would have
  // waited for it.
  EXPECT_LT(elapsed, SLOW_LOOKUP_MS * 6 / 10);
  EXPECT_EQ(resolved.load(), 0);

  // The answers still reach the engine thread and the waiting steps.
  EXPECT_TRUE(engine.run_until([] { return checker_addr() != 0 && lookup_pending() == 0; },
                               SLOW_LOOKUP_MS + 4000));
  EXPECT_EQ(checker_addr(), inet_addr("127.0.0.9"));
  EXPECT_EQ(download_index, 1);

  lookup_set_resolver(nullptr);
  chain_cache_clear();
  db_close();
}

}  // namespace
