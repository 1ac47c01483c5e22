// The check queue in the real program: a mixed list (live SOCKS5 and HTTP
// proxies, silent ones, closed ports) imported through `ctl import -` is
// checked within seconds, with the checker service and with none (a local
// check page), and its live proxies carry a `pick:random` chain at once;
// a client's chain is served while the checks fill their share of slots.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/db.h"
#include "tests/support/chain_db.h"
#include "tests/support/net.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"

namespace {

constexpr const char* kOrigin = "127.0.24.9";
constexpr const char* kProgram = "127.0.24.10";
constexpr const char* kSilent = "127.0.24.11";
constexpr const char* kClosed = "127.0.24.12";
constexpr const char* kJudge = "127.0.24.80";

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t) {
  return std::chrono::duration<double>(clock_type::now() - t).count();
}

// Listeners that complete the handshake and never say a word.
struct silent_proxies {
  std::vector<int> fds;
  std::vector<uint16_t> ports;
  bool open(int n) {
    for (int i = 0; i < n; ++i) {
      uint16_t port = 0;
      const int fd = listen_on(kSilent, 0, &port, 16);
      if (fd < 0) return false;
      fds.push_back(fd);
      ports.push_back(port);
    }
    return true;
  }
  ~silent_proxies() {
    for (int fd : fds) close(fd);
  }
};

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class Pool : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { ASSERT_TRUE(origin.start(kOrigin)); }

  // The program with check_timeout 2 s, a random link of any protocol, and
  // either the checker service or the origin's /head page (which holds
  // "Host:") as its only check site.
  void start(bool with_service, const std::string& extra_settings = "") {
    if (with_service) {
      judge.reset(start_judge(kJudge));
      ASSERT_TRUE(judge) << "merovane-judge did not start";
    }
    const std::string site =
        "http://" + std::string(kOrigin) + ":" + std::to_string(origin.port) + "/head Host:";
    ASSERT_TRUE(program.prepare(kProgram, [&] {
      db_exec("INSERT OR REPLACE INTO settings(name,value) VALUES('check_timeout','2')");
      if (with_service)
        db_exec("INSERT OR REPLACE INTO settings(name,value) VALUES('url_checker','http://%s/')",
                kJudge);
      else
        db_exec("INSERT OR REPLACE INTO settings(name,value) VALUES('check_sites',%Q)",
                site.c_str());
      if (!extra_settings.empty()) db_exec("%s", extra_settings.c_str());
      chain_db_add_link(0, 1, PT_SOCKS4 | PT_SOCKS5 | PT_HTTP | PT_HTTPS | PT_TRANSPARENT);
    }));
    ASSERT_TRUE(program.start()) << program.log();
  }

  std::string ctl(const std::string& args, const std::string& input = "") {
    int status = -1;
    return program_ctl(program, args, input, &status);
  }

  // Polls `ctl proxies` until no proxy is left unchecked; the seconds it took.
  double wait_all_checked(int limit_s) {
    const auto t0 = clock_type::now();
    while (seconds_since(t0) < limit_s) {
      const std::string list = ctl("proxies");
      if (list.find("unchecked") == std::string::npos && list.find(':') != std::string::npos)
        return seconds_since(t0);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return -1;
  }

  origin_server origin;
  std::unique_ptr<peer_process> judge;
  program_instance program;
};

TEST_P(Pool, MixedListIsCheckedInSecondsAndItsLiveProxiesCarryChains) {
  const bool with_service = GetParam();
  const uint16_t s1 = free_port("127.0.24.5"), s2 = free_port("127.0.24.6"),
                 tp = free_port("127.0.24.7");
  std::unique_ptr<peer_process> socks_a(start_microsocks("127.0.24.5", s1));
  std::unique_ptr<peer_process> socks_b(start_microsocks("127.0.24.6", s2));
  std::unique_ptr<peer_process> tiny(
      start_tinyproxy("127.0.24.7", tp, "",
                      "Timeout 4\nMaxClients 50\nConnectPort 80\nConnectPort " +
                          std::to_string(origin.port) + "\n"));
  ASSERT_TRUE(socks_a && socks_b && tiny);
  silent_proxies silent;
  ASSERT_TRUE(silent.open(2));
  start(with_service);

  std::string list = "127.0.24.5:" + std::to_string(s1) + "\n127.0.24.6:" + std::to_string(s2) +
                     "\n127.0.24.7:" + std::to_string(tp) + "\n";
  for (uint16_t port : silent.ports)
    list += std::string(kSilent) + ":" + std::to_string(port) + "\n";
  for (int i = 0; i < 5; ++i)
    list += std::string(kClosed) + ":" + std::to_string(free_port(kClosed)) + "\n";
  ctl("import -", list);

  // Two seconds a silent step, every check at once: far below the minutes
  // a silent proxy used to hold a check.
  const double took = wait_all_checked(20);
  ASSERT_GE(took, 0) << ctl("proxies") << program.log();
  EXPECT_LT(took, 10) << ctl("proxies");
  const std::string proxies = ctl("proxies");
  EXPECT_EQ(count_of(proxies, " working "), 3u) << proxies;
  EXPECT_EQ(count_of(proxies, " dead "), 7u) << proxies;

  // The chain picks among the working ones, at once.
  const std::string body = program.home + "/body";
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(run_curl({"--socks5-hostname", program.url(),
                        "http://" + std::string(kOrigin) + ":" + std::to_string(origin.port) +
                            "/bytes/100"},
                       body, 10),
              0)
        << program.log();
    EXPECT_EQ(read_file(body).size(), 100u);
  }
  const std::string status = ctl("status");
  EXPECT_NE(status.find("Last check pass: 10 checked \xC2\xB7 3 working"), std::string::npos)
      << status;
  if (!with_service) {
    EXPECT_NE(status.find("Checks: reachability only"), std::string::npos) << status;
  }
}

// A first run with an empty list: the 502 page, the console line of a
// refused SOCKS client and `ctl status` say what is missing and how to add it.
TEST_F(Pool, FirstRunSaysWhatIsMissing) {
  ASSERT_TRUE(program.prepare(kProgram, [] { chain_db_add_link(0, 1, PT_SOCKS5); }));
  ASSERT_TRUE(program.start()) << program.log();
  const std::string url =
      "http://" + std::string(kOrigin) + ":" + std::to_string(origin.port) + "/";
  int status = -1;
  const std::string page =
      shell_output("curl -s -m 5 -x http://" + program.url() + " " + url, &status);
  EXPECT_NE(
      page.find("the proxy list is empty (add one with &quot;merovane ctl import FILE&quot;)"),
      std::string::npos)
      << page;
  run_curl({"--socks5-hostname", program.url(), url}, program.home + "/body", 5);
  EXPECT_NE(program.log().find("not built: no usable proxy matches the chain: the proxy list is "
                               "empty (add one with \"merovane ctl import FILE\")"),
            std::string::npos)
      << program.log();
  EXPECT_NE(ctl("status").find("No proxies yet: add a list with \"merovane ctl import FILE\"."),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(BothModes, Pool, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Service" : "Reach"; });

// 300 silent proxies with room for 256 checks at once: the checks take
// their share of slots and no more, and a client's chain through a fixed
// proxy is served meanwhile; afterwards the slots are given back.
TEST_F(Pool, ClientIsServedWhileChecksFillTheirShare) {
  const uint16_t sp = free_port("127.0.24.5");
  std::unique_ptr<peer_process> socks(start_microsocks("127.0.24.5", sp));
  ASSERT_TRUE(socks);
  silent_proxies silent;
  ASSERT_TRUE(silent.open(300));
  ASSERT_TRUE(program.prepare(kProgram, [&] {
    db_exec("INSERT OR REPLACE INTO settings(name,value) VALUES('check_timeout','4')");
    db_exec("INSERT OR REPLACE INTO settings(name,value) VALUES('check_parallel','256')");
    db_exec("INSERT OR REPLACE INTO settings(name,value) VALUES('check_sites',%Q)",
            ("http://" + std::string(kOrigin) + ":" + std::to_string(origin.port) + "/head Host:")
                .c_str());
    chain_db_add_link(0, 5, PT_SOCKS5, ip_number("127.0.24.5"), sp);
  }));
  ASSERT_TRUE(program.start()) << program.log();
  const int idle_fds = process_fd_count(program.pid);
  std::string list;
  for (uint16_t port : silent.ports)
    list += std::string(kSilent) + ":" + std::to_string(port) + "\n";
  ctl("import -", list);

  const std::string metrics_path = "/" + std::string(kPanelToken) + "/metrics";
  long long running = 0;
  for (int i = 0; i < 40 && running < 256; ++i) {
    running = metrics_series(program_get(program, metrics_path), "merovane_checks_running");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(running, 256);
  const std::string body = program.home + "/body";
  const auto t0 = clock_type::now();
  ASSERT_EQ(run_curl({"--socks5-hostname", program.url(),
                      "http://" + std::string(kOrigin) + ":" + std::to_string(origin.port) +
                          "/bytes/1000"},
                     body, 10),
            0)
      << program.log();
  EXPECT_EQ(read_file(body).size(), 1000u);
  EXPECT_LT(seconds_since(t0), 2.0);
  EXPECT_GT(metrics_series(program_get(program, metrics_path), "merovane_checks_running"), 0);

  // Every silent proxy costs one step: two rounds of 4 s.
  ASSERT_GE(wait_all_checked(20), 0) << program.log();
  const std::string proxies = ctl("proxies");
  EXPECT_EQ(count_of(proxies, " dead "), 300u);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LE(process_fd_count(program.pid), idle_fds + 3);
  EXPECT_EQ(metrics_series(program_get(program, metrics_path), "merovane_checks_running"), 0);
}

}  // namespace
