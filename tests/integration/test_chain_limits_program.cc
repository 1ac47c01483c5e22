// Hops that fail late, through the running program: a proxy that never
// answers and one whose SYNs are dropped cost their time limit, then the
// chain goes on through another proxy; SOCKS clients hear why a chain
// failed; a plain HTTP last proxy's 407 becomes the program's own 502; a
// proxy that is the program itself, or a name that leads back to it,
// never makes a loop.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "db/db.h"
#include "tests/support/chain_db.h"
#include "tests/support/maint_support.h"
#include "tests/support/name_hop.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"

namespace {

constexpr const char* kOrigin = "127.0.23.9";
constexpr const char* kProgram = "127.0.23.10";
constexpr const char* kLive = "127.0.23.5";
constexpr const char* kBad = "127.0.23.6";

// Accepts and never answers, until the client goes or 10 s pass.
void stay_silent(int fd) {
  pollfd p{fd, POLLIN, 0};
  for (int i = 0; i < 100; ++i) {
    char b[256];
    if (poll(&p, 1, 100) > 0 && read(fd, b, sizeof b) <= 0) return;
  }
}

class ChainLimits : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(origin.start(kOrigin)); }

  void start_with(const std::function<void()>& fill) {
    ASSERT_TRUE(program.prepare(kProgram, [&] {
      setting_int("hop_timeout", 1, 1);
      fill();
    }));
    ASSERT_TRUE(program.start()) << program.log();
  }
  std::string url(const std::string& path) const {
    return "http://" + std::string(kOrigin) + ":" + std::to_string(origin.port) + path;
  }
  // A bad proxy to stand in the chain: silent or dropping SYNs.
  uint16_t start_bad(bool drops_syn) {
    if (drops_syn) return dropper.start(kBad) ? dropper.port : 0;
    return silent.start(kBad, 0, stay_silent) ? silent.port : 0;
  }

  origin_server origin;
  program_instance program;
  maint_scripted_peer silent;
  syn_dropper dropper;
};

struct bad_case {
  const char* name;
  bool drops_syn;
  const char* failure;  // the console line's reason
};
const bad_case kBadCases[] = {
    {"silent", false, " did not answer in time"},
    {"drops_syn", true, " could not be reached in time"},
};

class BadProxyAmongTwo : public ChainLimits, public ::testing::WithParamInterface<bad_case> {};

// Selection 3 (latest success first) always meets the bad proxy first: its
// time limit ends the attempt, which is retried through the live one.
TEST_P(BadProxyAmongTwo, CostsItsTimeLimitThenTheOtherServes) {
  const bad_case& c = GetParam();
  const uint16_t bad_port = start_bad(c.drops_syn);
  ASSERT_NE(bad_port, 0);
  const uint16_t live_port = free_port(kLive);
  std::unique_ptr<peer_process> live(start_microsocks(kLive, live_port));
  ASSERT_TRUE(live);
  start_with([&] {
    chain_db_add_proxy(kBad, bad_port, PT_SOCKS5, 100, 50, 2);
    chain_db_add_proxy(kLive, live_port, PT_SOCKS5, 100, 50, 1);
    chain_db_add_link(1, 3, PT_SOCKS5);
  });
  const std::string file = program.home + "/body";
  const std::vector<std::vector<std::string>> clients = {{"-x", "http://" + program.url()},
                                                         {"--socks5-hostname", program.url()}};
  for (const auto& client : clients) {
    std::vector<std::string> args = client;
    args.push_back(url("/bytes/1000"));
    // Far below the minutes the kernel's own limits would take.
    ASSERT_EQ(run_curl(args, file, 8), 0) << read_file(file + ".err") << program.log();
    EXPECT_EQ(read_file(file).size(), 1000u);
  }
  const std::string log = program.log();
  const std::string named = "proxy " + std::string(kBad) + ":" + std::to_string(bad_port);
  EXPECT_NE(log.find(named + c.failure + "); trying again (attempt 2)"), std::string::npos) << log;
}

// With racing, the same bad proxy costs the client one "race_after": a
// second attempt through the live proxy carries it long before the bad
// one's time limit, and the attempt that lost is not its proxy's failure.
TEST_P(BadProxyAmongTwo, ARacingAttemptCarriesTheClient) {
  const uint16_t bad_port = start_bad(GetParam().drops_syn);
  ASSERT_NE(bad_port, 0);
  const uint16_t live_port = free_port(kLive);
  std::unique_ptr<peer_process> live(start_microsocks(kLive, live_port));
  ASSERT_TRUE(live);
  start_with([&] {
    setting_int("hop_timeout", 20, 1);
    setting_int("race_after", 1, 1);
    chain_db_add_proxy(kBad, bad_port, PT_SOCKS5, 100, 50, 2);
    chain_db_add_proxy(kLive, live_port, PT_SOCKS5, 100, 50, 1);
    chain_db_add_link(1, 3, PT_SOCKS5);
  });
  const std::string file = program.home + "/body";
  for (const char* form : {"--socks5-hostname", "-x"}) {
    const std::string via = form[1] == 'x' ? "http://" + program.url() : program.url();
    // Without racing: the connect alone 5 s and a retry (told in the log),
    // the silent proxy's reply 20 s.
    ASSERT_EQ(run_curl({form, via, url("/bytes/1000")}, file, 8), 0)
        << read_file(file + ".err") << program.log();
    EXPECT_EQ(read_file(file).size(), 1000u);
  }
  const std::string text = program_get(program, "/" + std::string(kPanelToken) + "/metrics");
  EXPECT_GE(metrics_series(text, "merovane_chain_races_total{winner=\"second\"}"), 1) << text;
  EXPECT_EQ(metrics_series(text, "merovane_chains_total{result=\"failed\"}"), 0) << text;
  const std::string log = program.log();
  EXPECT_EQ(log.find("in time"), std::string::npos) << log;
  EXPECT_EQ(log.find("trying again"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Kinds, BadProxyAmongTwo, ::testing::ValuesIn(kBadCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Every attempt fails: each SOCKS form hears the code that says why, after
// the chain was tried, never a grant followed by a close.
TEST_F(ChainLimits, SocksClientsHearWhyEveryAttemptFailed) {
  ASSERT_TRUE(silent.start(kBad, 0, stay_silent));
  const uint16_t closed = free_port("127.0.23.7");
  struct proxy_case {
    uint32_t ip;
    uint16_t port;
    int socks5_code;
  };
  const proxy_case proxies[] = {{ip_number(kBad), silent.port, 6},
                                {ip_number("127.0.23.7"), closed, 5}};
  start_with([] {});
  for (const proxy_case& p : proxies) {
    program.stop();
    ASSERT_TRUE(program.change([&] {
      db_exec("%s", sql_chain_clear());
      chain_db_add_link(1, 5, PT_SOCKS5, p.ip, p.port);
    }));
    ASSERT_TRUE(program.start()) << program.log();
    struct client_case {
      const char* option;
      std::string said;
    };
    const std::string code5 = "(" + std::to_string(p.socks5_code) + ")";
    const client_case clients[] = {{"--socks4", "(91), request rejected or failed"},
                                   {"--socks4a", "(91), request rejected or failed"},
                                   {"--socks5", code5},
                                   {"--socks5-hostname", code5}};
    for (const client_case& c : clients) {
      SCOPED_TRACE(std::string(c.option) + " " + code5);
      int status = 0;
      const std::string out = shell_output("curl -sS -m 6 " + std::string(c.option) + " " +
                                               program.url() + " " + url("/bytes/10") + " 2>&1",
                                           &status);
      EXPECT_EQ(status, 97) << out;  // the proxy's refusal, not an empty reply (52)
      EXPECT_NE(out.find(c.said), std::string::npos) << out;
    }
  }
}

// A plain HTTP last proxy answering 407: nothing of its reply reaches the
// client, which gets the program's own 502 naming the proxy.
TEST_F(ChainLimits, PlainHttpHopAnswering407IsItsFailure) {
  maint_scripted_peer hop;
  ASSERT_TRUE(hop.start(kBad, 0, [](int fd) {
    read_http(fd, 3000);
    send_all(
        fd,
        "HTTP/1.1 407 <b>Sign in</b>\r\nProxy-Authenticate: Basic realm=\"x\"\r\n"
        "Set-Cookie: id=1\r\nLocation: http://192.0.2.1/\r\nCache-Control: max-age=31536000\r\n"
        "Content-Length: 0\r\n\r\n");
  }));
  start_with([&] { chain_db_add_link(1, 5, PT_HTTP, ip_number(kBad), hop.port); });
  int status = 0;
  const std::string out =
      shell_output("curl -sS -i -m 6 -x http://" + program.url() + " " + url("/bytes/10"), &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("HTTP/1.0 502 Bad Gateway"), std::string::npos) << out;
  EXPECT_NE(out.find("proxy " + std::string(kBad) + ":" + std::to_string(hop.port) +
                     " refused its sign-in (authentication refused)"),
            std::string::npos)
      << out;
  for (const char* hops_own :
       {"407", "<b>", "Proxy-Authenticate", "Set-Cookie", "Location", "max-age"})
    EXPECT_EQ(out.find(hops_own), std::string::npos) << hops_own << "\n" << out;
}

// A list entry naming the program's own listener is never picked, and a
// fixed link to it leaves no chain; a name the last proxy resolves to the
// program ends that chain at once. None of it holds descriptors.
TEST_F(ChainLimits, LoopsThroughThisProgramEndAtOnce) {
  const uint16_t live_port = free_port(kLive);
  std::unique_ptr<peer_process> live(start_microsocks(kLive, live_port));
  ASSERT_TRUE(live);
  name_hop hop;
  ASSERT_TRUE(hop.start("127.0.23.8", {{"loop.example", kProgram}}));
  start_with([&] {
    // The program's own port is chosen before the database is filled.
    chain_db_add_proxy(kProgram, program.port, PT_SOCKS5, 100, 50, 2);  // the newest success
    chain_db_add_proxy(kLive, live_port, PT_SOCKS5, 100, 50, 1);
    chain_db_add_link(1, 3, PT_SOCKS5);
  });
  const int idle = process_fd_count(program.pid);
  // Neither an import nor a fixed link takes the program's own listener.
  int status = -1;
  const std::string own = std::string(kProgram) + ":" + std::to_string(program.port);
  EXPECT_EQ(program_ctl(program, "import -", own + "\n", &status), "1 proxies read, 0 new\n");
  const std::string said = program_ctl(program, "chain socks5://" + own, "", &status);
  EXPECT_EQ(status, 1) << said;
  EXPECT_NE(said.find("link 1 refused: " + own + " is this program's own listener"),
            std::string::npos)
      << said;
  const std::string file = program.home + "/body";
  ASSERT_EQ(run_curl({"--socks5-hostname", program.url(), url("/bytes/1000")}, file, 8), 0)
      << read_file(file + ".err") << program.log();
  EXPECT_EQ(read_file(file).size(), 1000u);
  EXPECT_LE(process_fd_count(program.pid), idle + 10);
  // A fixed link to the program itself leaves no chain at all.
  program.stop();
  ASSERT_TRUE(program.change([&] {
    db_exec("%s", sql_chain_clear());
    chain_db_add_link(1, 5, PT_SOCKS5, ip_number(kProgram), program.port);
  }));
  ASSERT_TRUE(program.start()) << program.log();
  ASSERT_EQ(run_curl({"-x", "http://" + program.url(), url("/bytes/10")}, file, 8), 0);
  EXPECT_NE(read_file(file).find("no usable proxy matches the chain"), std::string::npos);

  program.stop();
  ASSERT_TRUE(program.change([&] {
    db_exec("DELETE FROM proxy");
    db_exec("%s", sql_chain_clear());
    chain_db_add_link(1, 5, PT_SOCKS5, ip_number("127.0.23.8"), hop.port);
  }));
  ASSERT_TRUE(program.start()) << program.log();
  const int idle_again = process_fd_count(program.pid);
  const std::string target = "http://loop.example:" + std::to_string(program.port) + "/";
  for (const char* client : {"--socks5-hostname", "-x"}) {
    SCOPED_TRACE(client);
    const std::string proxy =
        std::string(client) == "-x" ? "http://" + program.url() : program.url();
    EXPECT_NE(run_curl({client, proxy, target}, file, 8), 0);
  }
  EXPECT_LE(hop.accepted(), 6u);  // each client made one chain, not a growing pile
  EXPECT_NE(program.log().find("loop through this program"), std::string::npos) << program.log();
  EXPECT_LE(process_fd_count(program.pid), idle_again + 10);
}

}  // namespace
