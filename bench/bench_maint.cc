// Maintenance figures: the time one full check of a working proxy takes
// (microsocks and merovane-judge on loopback), and the relay throughput of
// one SOCKS5 transfer through the engine alone and with three checks and a
// chain test running beside it. Run as root (the judge listens on port 80).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/db.h"
#include "engine/loop.h"
#include "engine/slot.h"
#include "maintenance/chaintest.h"
#include "maintenance/checker.h"
#include "maintenance/myip.h"
#include "maintenance/resolver.h"
#include "maintenance/scheduler.h"
#include "tests/support/net.h"
#include "tests/support/peers.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t) {
  return std::chrono::duration<double>(clock_type::now() - t).count();
}

int count_kind(slot_kind k) {
  int n = 0;
  for (int i = 1; i < SLOT_COUNT; ++i)
    if (conn_table[i].sock != -1 && conn_table[i].kind == k) ++n;
  return n;
}

// The stand-in site of the chain test: one page per connection.
void site_loop(int fd, std::atomic<bool>* stop_site) {
  std::string page = "HTTP/1.0 200 OK\r\n\r\n";
  for (int i = 0; i < 12; ++i) page += "alpha beta\n";
  while (!*stop_site) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int c = accept(fd, nullptr, nullptr);
    if (c < 0) continue;
    char buf[4096];
    (void)!read(c, buf, sizeof buf);
    (void)!write(c, page.data(), page.size());
    close(c);
  }
}

// One transfer of `total` bytes through the engine (SOCKS5, one proxy).
// busy 0: nothing beside; 1: three checks and a chain test started with the
// transfer (the most the scheduler starts); 2: three checks kept running
// back to back, and a chain test, for the whole transfer.
double transfer_mbps(uint16_t engine_port, const char* sink_ip, uint64_t total, int busy,
                     uint32_t proxy_addr, uint16_t proxy_port, int* checks_run, int* tests_run) {
  uint16_t sink_port = 0;
  int sink = listen_on(sink_ip, 0, &sink_port, 16);
  std::atomic<uint64_t> received{0};
  std::atomic<bool> done{false};
  std::thread reader([&] {
    int c = accept(sink, nullptr, nullptr);
    std::vector<char> buf(1 << 16);
    for (;;) {
      ssize_t n = read(c, buf.data(), buf.size());
      if (n <= 0) break;
      received += static_cast<uint64_t>(n);
      if (received >= total) break;
    }
    close(c);
    done = true;
  });
  std::thread writer([&] {
    int fd = connect_local(engine_port);
    if (fd < 0) return;
    uint8_t hello[3] = {5, 1, 0};
    (void)!write(fd, hello, 3);
    uint8_t r[2];
    (void)!read(fd, r, 2);
    uint8_t req[10] = {5, 1, 0, 1};
    inet_pton(AF_INET, sink_ip, req + 4);
    req[8] = static_cast<uint8_t>(sink_port >> 8);
    req[9] = static_cast<uint8_t>(sink_port & 0xFF);
    (void)!write(fd, req, 10);
    uint8_t rep[10];
    (void)!read(fd, rep, 10);
    std::vector<char> chunk(1 << 16, 'x');
    uint64_t sent = 0;
    while (sent < total) {
      ssize_t n = write(fd, chunk.data(), std::min<uint64_t>(chunk.size(), total - sent));
      if (n <= 0) break;
      sent += static_cast<uint64_t>(n);
    }
    while (!done) usleep(1000);
    close(fd);
  });
  auto start = clock_type::now();
  auto limit = start + std::chrono::seconds(120);
  bool first = true;
  while (!done && clock_type::now() < limit) {
    engine_cycle(1);
    if (busy == 2 || (busy == 1 && first)) {
      first = false;
      while (count_kind(slot_kind::check) < 3 && start_check(proxy_addr, proxy_port, 1) == 1)
        ++*checks_run;
      if (count_kind(slot_kind::chain_test) == 0) {
        std::memset(recent_chain_hops, 0, sizeof recent_chain_hops);  // one proxy to test with
        start_chain_test();
        if (count_kind(slot_kind::chain_test) > 0) ++*tests_run;
      }
    }
  }
  double secs = seconds_since(start);
  writer.join();
  reader.join();
  close(sink);
  // Let the engine close what is left.
  for (int i = 0; i < 4000 && count_kind(slot_kind::relay) + count_kind(slot_kind::chain) > 0; ++i)
    engine_cycle(1);
  return static_cast<double>(received.load()) / secs / 1e6;
}

}  // namespace

int main() {
  signal(SIGPIPE, SIG_IGN);
  const uint16_t socks_port = free_port("127.0.12.5"), check_port = free_port("127.0.12.6");
  std::unique_ptr<peer_process> judge(start_judge("127.0.12.80"));
  std::unique_ptr<peer_process> socks(start_microsocks("127.0.12.5", socks_port, "127.0.12.2"));
  // The checked proxy is a process of its own, apart from the transfer's.
  std::unique_ptr<peer_process> checked(start_microsocks("127.0.12.6", check_port, "127.0.12.3"));
  if (!judge || !socks || !checked) {
    std::fprintf(stderr, "peers did not start (run as root, with microsocks and python3)\n");
    return 1;
  }
  uint16_t site_port = 80;
  int site_fd = listen_on("127.0.12.81", site_port, &site_port, 16);
  std::atomic<bool> stop_site{false};
  std::thread site(site_loop, site_fd, &stop_site);

  char dir[] = "/tmp/merovane-bench-maint-XXXXXX";
  mkdtemp(dir);
  std::string db_path = std::string(dir) + "/settings.db";
  db_open(db_path.c_str());
  db_init_schema();
  uint32_t proxy = inet_addr("127.0.12.5");
  db_exec(sql_chain_clear());
  db_exec(sql_link_insert(), 1, 5, 0x10, proxy, static_cast<unsigned>(socks_port));
  uint32_t checked_proxy = inet_addr("127.0.12.6");
  db_exec("INSERT INTO proxy(ip,port,type,host) VALUES(%u,%u,16,'bench')", checked_proxy,
          static_cast<unsigned>(check_port));
  char url[64] = "http://127.0.12.80/";
  setting_str("url_checker", url, sizeof url, 1);
  site_list_use("http://127.0.12.81/page##alpha#beta\n");
  public_addr = inet_addr("127.0.0.1");
  delay_proxy = 1000000;  // the scheduler stays out of the way
  delay_myip = 1000000;

  engine_init();
  uint16_t engine_port = engine_listen("127.0.0.1", 0);

  // 1. One full check of a working proxy.
  std::vector<double> check_secs;
  for (int i = 0; i < 9; ++i) {
    auto t = clock_type::now();
    start_check(checked_proxy, check_port, 1);
    while (count_kind(slot_kind::check) > 0 && seconds_since(t) < 120) engine_cycle(1);
    check_secs.push_back(seconds_since(t));
  }
  char* timeout =
      db_query_text("", "", "SELECT timeout||' '||type FROM proxy WHERE ip=%u", checked_proxy);
  std::sort(check_secs.begin(), check_secs.end());
  std::printf(
      "full check (4 steps) of a working SOCKS5 proxy: median %.2f ms wall (min %.2f,"
      " max %.2f), recorded reply time (ms) and type: %s\n",
      check_secs[4] * 1e3, check_secs[0] * 1e3, check_secs[8] * 1e3,
      timeout != nullptr ? timeout : "?");
  std::free(timeout);

  // 2. Relay throughput alone and beside maintenance work.
  const uint64_t total = 256ull << 20;
  std::vector<double> runs[3];
  int checks_run[3] = {0, 0, 0}, tests_run[3] = {0, 0, 0};
  const int rounds = 7;
  for (int round = 0; round < rounds; ++round)
    for (int k = 0; k < 3; ++k) {
      int mode = (round + k) % 3;  // rotate the order: no mode always runs first
      runs[mode].push_back(transfer_mbps(engine_port, "127.0.12.82", total, mode, checked_proxy,
                                         check_port, &checks_run[mode], &tests_run[mode]));
    }
  const char* names[3] = {"alone", "3 checks + chain test started with it",
                          "3 checks back to back + chain test"};
  for (int mode = 0; mode < 3; ++mode) {
    std::sort(runs[mode].begin(), runs[mode].end());
    double median = runs[mode][rounds / 2];
    double base = runs[0][rounds / 2];
    std::printf(
        "relay %llu MiB via one SOCKS5 proxy, %s: median %.1f MB/s (%.1f..%.1f), %+.1f%%"
        " vs alone; checks %d, chain tests %d\n",
        static_cast<unsigned long long>(total >> 20), names[mode], median, runs[mode][0],
        runs[mode][rounds - 1], (median - base) / base * 100.0, checks_run[mode], tests_run[mode]);
  }

  engine_shutdown();
  resolver_stop();
  db_close();
  stop_site = true;
  site.join();
  close(site_fd);
  std::string rm = std::string("rm -rf ") + dir;
  (void)!system(rm.c_str());
  return 0;
}
