// Failed chains through the running program: a random link over two
// checked proxies of which one is dead (every request still succeeds),
// CONNECT through a proxy that never answers (no success head) and through
// one that cannot be reached (a 502 page naming it), and the console lines
// that say what happened.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "db/db.h"
#include "tests/support/chain_db.h"
#include "tests/support/maint_support.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"

namespace {

constexpr const char* kOrigin = "127.0.16.9";
constexpr const char* kProgram = "127.0.16.10";

class ChainFailover : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(origin.start(kOrigin)); }

  void start_with(const std::function<void()>& fill) {
    ASSERT_TRUE(program.prepare(kProgram, fill));
    ASSERT_TRUE(program.start()) << program.log();
  }
  std::string url(const std::string& path) const {
    return "http://" + std::string(kOrigin) + ":" + std::to_string(origin.port) + path;
  }
  std::string curl(const std::string& args, int* status) {
    return shell_output("curl -sv -m 3 " + args + " 2>&1", status);
  }

  origin_server origin;
  program_instance program;
};

class DeadProxy : public ChainFailover, public ::testing::WithParamInterface<int> {};

// Selection 1 picks at random; selection 3 (latest success first) always
// meets the dead proxy first, whose t_ok is the newer.
TEST_P(DeadProxy, EveryClientIsServedThroughTheLiveOne) {
  const int link_selection = GetParam();
  const uint16_t live_port = free_port("127.0.16.5"), dead_port = free_port("127.0.16.6");
  std::unique_ptr<peer_process> live(start_microsocks("127.0.16.5", live_port));
  std::unique_ptr<peer_process> dead(start_microsocks("127.0.16.6", dead_port));
  ASSERT_TRUE(live && dead);
  dead->stop();  // checked once, died since
  start_with([&] {
    chain_db_add_proxy("127.0.16.6", dead_port, PT_SOCKS5, 100, 50, 2);
    chain_db_add_proxy("127.0.16.5", live_port, PT_SOCKS5, 100, 50, 1);
    chain_db_add_link(1, link_selection, PT_SOCKS5);
  });
  const std::string file = program.home + "/body";
  const std::vector<std::vector<std::string>> clients = {{"--socks5-hostname", program.url()},
                                                         {"--socks4a", program.url()},
                                                         {"-x", "http://" + program.url()},
                                                         {"-p", "-x", "http://" + program.url()}};
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    std::vector<std::string> args = clients[i % clients.size()];
    args.push_back(url("/bytes/1000"));
    ASSERT_EQ(run_curl(args, file, 10), 0) << read_file(file + ".err") << program.log();
    EXPECT_EQ(read_file(file).size(), 1000u);
  }
  // Every meeting with the dead proxy was retried, never given up.
  const std::string log = program.log();
  if (link_selection == 3) {
    EXPECT_NE(log.find("failed"), std::string::npos) << log;
  }
  EXPECT_EQ(log.find("not retried"), std::string::npos) << log;
  EXPECT_EQ(log.find("no other proxy"), std::string::npos) << log;
  if (log.find("failed") != std::string::npos) {
    EXPECT_NE(log.find("proxy 127.0.16.6:" + std::to_string(dead_port) + " could not be reached"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("trying again (attempt 2)"), std::string::npos) << log;
  }
  // The metrics count each retry and no client chain as failed.
  const std::string text = program_get(program, "/" + std::string(kPanelToken) + "/metrics");
  EXPECT_EQ(metrics_series(text, "merovane_chains_total{result=\"failed\"}"), 0) << text;
  EXPECT_GE(metrics_series(text, "merovane_chains_total{result=\"ok\"}"), 1) << text;
  if (log.find("trying again") != std::string::npos) {
    EXPECT_GE(metrics_series(text, "merovane_chain_retries_total"), 1) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(Links, DeadProxy, ::testing::Values(1, 3));

// "chain_retries" 0: the first failure is the answer, even where another
// proxy would have served.
TEST_F(ChainFailover, NoRetriesWhenTheSettingSaysSo) {
  const uint16_t live_port = free_port("127.0.16.5"), dead_port = free_port("127.0.16.6");
  std::unique_ptr<peer_process> live(start_microsocks("127.0.16.5", live_port));
  ASSERT_TRUE(live);
  start_with([&] {
    chain_db_add_proxy("127.0.16.6", dead_port, PT_SOCKS5, 100, 50, 2);
    chain_db_add_proxy("127.0.16.5", live_port, PT_SOCKS5, 100, 50, 1);
    chain_db_add_link(1, 3, PT_SOCKS5);
    setting_int("chain_retries", 0, 1);
  });
  const std::string file = program.home + "/page";
  EXPECT_EQ(run_curl({"-x", "http://" + program.url(), url("/bytes/10")}, file, 5), 0);
  const std::string page = read_file(file);
  EXPECT_NE(page.find("proxy 127.0.16.6:" + std::to_string(dead_port) + " could not be reached"),
            std::string::npos)
      << page;
  EXPECT_NE(program.log().find("); not retried"), std::string::npos) << program.log();
  EXPECT_EQ(origin.requests(), 0);  // nothing went through the live proxy
}

// A picked first proxy that grants the connect to a fixed last proxy and
// then dies: the chain closes while the fixed one is asked, which is not
// the fixed one's fault. Another attempt without the picked one serves.
TEST_F(ChainFailover, PickedProxyDyingInFrontOfAFixedOneIsAvoided) {
  maint_scripted_peer dying;
  ASSERT_TRUE(dying.start("127.0.16.11", 0, [](int fd) {
    char b[10];
    if (!read_exact(fd, b, 3, 3000)) return;
    send_all(fd, "\x05\x00", 2);
    if (!read_exact(fd, b, 10, 3000)) return;
    send_all(fd, "\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10);
  }));  // and closes
  const uint16_t live_port = free_port("127.0.16.12"), last_port = free_port("127.0.16.13");
  std::unique_ptr<peer_process> live(start_microsocks("127.0.16.12", live_port));
  std::unique_ptr<peer_process> last(start_microsocks("127.0.16.13", last_port));
  ASSERT_TRUE(live && last);
  start_with([&] {
    chain_db_add_proxy("127.0.16.11", dying.port, PT_SOCKS5, 100, 50, 2);
    chain_db_add_proxy("127.0.16.12", live_port, PT_SOCKS5, 100, 50, 1);
    chain_db_add_link(1, 3, PT_SOCKS5);  // the newest success first: the dying one
    chain_db_add_link(2, 5, PT_SOCKS5, ip_number("127.0.16.13"), last_port);
  });
  const std::string file = program.home + "/body";
  ASSERT_EQ(run_curl({"-x", "http://" + program.url(), url("/bytes/1000")}, file, 10), 0)
      << read_file(file + ".err") << program.log();
  EXPECT_EQ(read_file(file).size(), 1000u);
  EXPECT_GE(dying.connections.load(), 1);
  const std::string log = program.log();
  EXPECT_NE(log.find("trying again (attempt 2)"), std::string::npos) << log;
  EXPECT_EQ(log.find("not retried"), std::string::npos) << log;
}

TEST_F(ChainFailover, ConnectToASilentProxyGetsNoSuccessHead) {
  maint_scripted_peer silent;
  ASSERT_TRUE(silent.start("127.0.16.7", 0, [](int fd) {
    // Accepts and never answers, until the client goes or 5 s pass.
    pollfd p{fd, POLLIN, 0};
    for (int i = 0; i < 50; ++i) {
      char b[256];
      if (poll(&p, 1, 100) > 0 && read(fd, b, sizeof b) <= 0) return;
    }
  }));
  start_with([&] { chain_db_add_link(1, 5, PT_SOCKS5, ip_number("127.0.16.7"), silent.port); });
  int status = 0;
  std::string out = curl("-p -x http://" + program.url() + " " + url("/bytes/10"), &status);
  EXPECT_EQ(status, 28) << out;  // curl's time limit, not an answer
  EXPECT_EQ(out.find("200 Connection established"), std::string::npos) << out;
}

TEST_F(ChainFailover, UnreachableProxyIsNamedInA502) {
  const uint16_t closed = free_port("127.0.16.8");
  start_with([&] { chain_db_add_link(1, 5, PT_SOCKS5, ip_number("127.0.16.8"), closed); });
  const std::string named = "proxy 127.0.16.8:" + std::to_string(closed) + " could not be reached";
  for (const char* client : {"-p -x", "-x"}) {
    SCOPED_TRACE(client);
    int status = 0;
    std::string out =
        curl(std::string(client) + " http://" + program.url() + " " + url("/bytes/10"), &status);
    EXPECT_EQ(out.find("200 Connection established"), std::string::npos) << out;
    EXPECT_NE(out.find("< HTTP/1.0 502 Bad Gateway"), std::string::npos) << out;
  }
  // The page itself, as a plain HTTP client sees it.
  const std::string file = program.home + "/page";
  EXPECT_EQ(run_curl({"-x", "http://" + program.url(), url("/bytes/10")}, file, 5), 0);
  const std::string page = read_file(file);
  EXPECT_NE(page.find("<h2>Bad Gateway</h2>"), std::string::npos) << page;
  EXPECT_NE(page.find(named), std::string::npos) << page;
  EXPECT_NE(page.find("<code>127.0.16.9</code> port <code>" + std::to_string(origin.port)),
            std::string::npos)
      << page;
  // A chain of fixed links only cannot change: one attempt, one line.
  const std::string log = program.log();
  EXPECT_NE(log.find("Merovane: chain to 127.0.16.9:" + std::to_string(origin.port) + " failed (" +
                     named + "); not retried"),
            std::string::npos)
      << log;
  // A SOCKS client hears "connection refused" instead of a grant.
  int status = 0;
  std::string out = curl("--socks5 " + program.url() + " " + url("/bytes/10"), &status);
  EXPECT_EQ(status, 97) << out;
  EXPECT_NE(out.find("Can't complete SOCKS5 connection to 127.0.16.9. (5)"), std::string::npos)
      << out;
}

}  // namespace
