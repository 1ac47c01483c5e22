// Destination rules in the running program: every MATCH form with every
// action from SOCKS5, SOCKS4a, HTTP and CONNECT clients (a direct site
// reached without the chain's proxy seeing it, a blocked one refused in the
// client's protocol, the rest through the chain), names never looked up
// unless a direct rule needs their address, rule changes from ctl taken by
// the next client, and what the metrics, the traffic file and the proxy
// auto-configuration file say. The resolver stand-in answers the program's
// lookups and writes down every name it is asked; the chain's one proxy is
// a name_hop that knows the names itself.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "db/db.h"
#include "tests/support/chain_db.h"
#include "tests/support/clients.h"
#include "tests/support/name_hop.h"
#include "tests/support/net.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"

namespace {

constexpr const char* kProgram = "127.0.0.61";
constexpr const char* kSite = "127.0.0.62";  // every name stands for it
constexpr const char* kHop = "127.0.0.63";
// One origin per address rule: 127.0.0.65 is chained by address, .73 and
// .77 are in the ranges of the port rules; nothing listens at .69 and .81.
constexpr const char* kOrigins[] = {kSite, "127.0.0.65", "127.0.0.73", "127.0.0.77"};

enum class expect { direct, chain, block };

struct dest_case {
  const char* host;
  int origin;  // index in kOrigins (the port asked for); -1: the first one's port
  expect action;
  int line;  // the rule's line, for a block
};

constexpr dest_case kCases[] = {
    {"d.example", 0, expect::direct, 1},    {"x.dsub.example", 0, expect::direct, 2},
    {"127.0.0.62", 0, expect::direct, 3},   {"127.0.0.73", 2, expect::direct, 4},
    {"c.example", 0, expect::chain, 5},     {"x.csub.example", 0, expect::chain, 6},
    {"127.0.0.65", 1, expect::chain, 7},    {"127.0.0.77", 3, expect::chain, 8},
    {"b.example", -1, expect::block, 9},    {"x.bsub.example", -1, expect::block, 10},
    {"127.0.0.69", -1, expect::block, 11},  {"127.0.0.81", -1, expect::block, 12},
    {"other.example", 0, expect::chain, 0},  // no rule: the chain
};
constexpr const char* kModes[] = {"SOCKS5", "SOCKS4a", "HTTP", "CONNECT"};

class ChainRules : public ::testing::Test {
 protected:
  std::vector<std::unique_ptr<origin_server>> origins;
  name_hop hop;
  program_instance program;
  std::string resolver_log, traffic_dir;

  uint16_t port_of(int origin) const { return origins[origin < 0 ? 0 : origin]->port; }

  std::string rules_text() const {
    const std::string p73 = std::to_string(port_of(2)), p77 = std::to_string(port_of(3));
    return "d.example direct\n.dsub.example direct\n127.0.0.62 direct\n127.0.0.72/30:" + p73 +
           " direct\nc.example chain\n*.csub.example chain\n127.0.0.65 chain\n127.0.0.76/30:" +
           p77 + "-" + p77 + " chain\nb.example block\n.bsub.example block\n127.0.0.69 block\n" +
           "127.0.0.80/30:1-65535 block\n";
  }

  void SetUp() override {
    for (const char* ip : kOrigins) {
      origins.push_back(std::make_unique<origin_server>());
      ASSERT_TRUE(origins.back()->start(ip)) << ip;
    }
    const std::map<std::string, std::string> names = {{"c.example", kSite},
                                                      {"x.csub.example", kSite},
                                                      {"other.example", kSite},
                                                      {"n62.example", kSite},
                                                      {"pac-chained.example", kSite}};
    ASSERT_TRUE(hop.start(kHop, names));
    const std::string rules = rules_text();
    ASSERT_TRUE(program.prepare(kProgram, [&] {
      chain_db_add_link(1, 5, PT_SOCKS5, ip_number(kHop), hop.port);
      setting_str("rules", const_cast<char*>(rules.c_str()), rules.size() + 1, 1);
      setting_int("log_level", 1, 1);
      traffic_dir = program.home + "/traffic";
      mkdir(traffic_dir.c_str(), 0700);
      setting_str("log_dir", const_cast<char*>(traffic_dir.c_str()), traffic_dir.size() + 1, 1);
    }));
    resolver_log = program.home + "/lookups.txt";
    ASSERT_TRUE(program.start(resolver_stand_in_wrapper(
        {"SOAK_NAME_MAP=d.example=127.0.0.62,x.dsub.example=127.0.0.62,n62.example=127.0.0.62",
         "SOAK_SLOW_MS=0", "SOAK_RESOLVER_LOG=" + resolver_log})))
        << program.log();
  }

  // One client of the given mode asks for host:port and, once let through,
  // for 16 bytes: "200", "socks N" (the SOCKS refusal code), or the reply's
  // status line and body for a refusal.
  std::string ask(const char* mode, const std::string& host, uint16_t port) {
    const std::string authority = host + ":" + std::to_string(port);
    const std::string get = "GET /bytes/16 HTTP/1.0\r\nHost: " + authority + "\r\n\r\n";
    int fd = -1;
    std::string reply;
    if (mode[0] == 'S') {
      const int code =
          socks_request(mode[5] == '5' ? 5 : 4, program.ip, program.port, host, port, &fd);
      if (fd < 0) return "socks " + std::to_string(code);
    } else {
      fd = connect_to(program.ip, program.port, 10000);
      if (fd < 0) return "no connection";
    }
    if (std::string(mode) == "HTTP") {
      send_all(fd,
               "GET http://" + authority + "/bytes/16 HTTP/1.0\r\nHost: " + authority + "\r\n\r\n");
    } else if (std::string(mode) == "CONNECT") {
      send_all(fd, "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n");
      const std::string head = read_http(fd, 10000);  // a 200 head has no body, a refusal a length
      if (head.size() < 12 || head.compare(9, 3, "200") != 0) {
        close(fd);
        return head;
      }
      send_all(fd, get);
    } else {
      send_all(fd, get);
    }
    reply = read_http_reply(fd, 10000);
    close(fd);
    if (reply.size() > 12 && reply.compare(9, 3, "200") == 0) return "200";
    return reply;
  }
};

TEST_F(ChainRules, EveryFormAndActionInEveryClientProtocol) {
  for (const dest_case& c : kCases) {
    for (const char* mode : kModes) {
      const std::string what = std::string(mode) + " to " + c.host;
      const uint64_t hop_before = hop.accepted();
      const std::string got = ask(mode, c.host, port_of(c.origin));
      const uint64_t through_hop = hop.accepted() - hop_before;
      switch (c.action) {
        case expect::direct:
          EXPECT_EQ(got, "200") << what;
          EXPECT_EQ(through_hop, 0u) << what << ": the chain's proxy saw a direct destination";
          break;
        case expect::chain:
          EXPECT_EQ(got, "200") << what;
          EXPECT_EQ(through_hop, 1u) << what;
          break;
        case expect::block:
          EXPECT_EQ(through_hop, 0u) << what;
          if (mode[0] == 'S') {
            EXPECT_EQ(got, mode[5] == '5' ? "socks 2" : "socks 91") << what;
          } else {
            EXPECT_EQ(got.compare(0, 12, "HTTP/1.0 403"), 0) << what << ": " << got;
            EXPECT_NE(got.find("rule " + std::to_string(c.line) + " ("), std::string::npos)
                << what << ": " << got;
          }
          break;
      }
    }
  }
  // Only the names of direct rules were looked up, once per client.
  const std::string lookups = read_file(resolver_log);
  for (const char* never :
       {"c.example", "x.csub.example", "b.example", "x.bsub.example", "other.example"})
    EXPECT_EQ(lookups.find(std::string(" ") + never + " "), std::string::npos)
        << never << " looked up:\n"
        << lookups;
  EXPECT_NE(lookups.find("mapped d.example"), std::string::npos) << lookups;

  const std::string metrics = program_get(program, "/" + std::string(kPanelToken) + "/metrics");
  EXPECT_EQ(metrics_series(metrics, "merovane_rule_matches_total{action=\"direct\"}"), 16);
  EXPECT_EQ(metrics_series(metrics, "merovane_rule_matches_total{action=\"chain\"}"), 16);
  EXPECT_EQ(metrics_series(metrics, "merovane_rule_matches_total{action=\"block\"}"), 16);
  int cat_status = -1;
  const std::string traffic = shell_output("cat '" + traffic_dir + "'/*.txt", &cat_status);
  EXPECT_NE(traffic.find(" direct 127.0.0.62:"), std::string::npos) << traffic;
  EXPECT_NE(traffic.find(" block b.example:"), std::string::npos) << traffic;
}

TEST_F(ChainRules, ChangesFromCtlReachTheNextClient) {
  int status = -1;
  std::string out = program_ctl(program, "rules show", "", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("   9  b.example block"), std::string::npos) << out;

  out = program_ctl(program, "rules add 'bad..example direct'", "", &status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("line 13: not a host name"), std::string::npos) << out;

  out = program_ctl(program, "rules set -", "# everything refused\n* block\n", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(ask("SOCKS5", "other.example", port_of(0)), "socks 2");

  out = program_ctl(program, "rules del 2", "", &status);
  EXPECT_EQ(status, 0) << out;
  const uint64_t before = hop.accepted();
  EXPECT_EQ(ask("SOCKS5", "other.example", port_of(0)), "200");
  EXPECT_EQ(hop.accepted(), before + 1);
}

// A direct destination where nothing listens: the client is told, and so is
// the console, naming the rule.
TEST_F(ChainRules, FailedDirectConnectionNamesItsRule) {
  int status = -1;
  const std::string out = program_ctl(program, "rules set -", "127.0.0.85 direct\n", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(ask("SOCKS5", "127.0.0.85", port_of(0)), "socks 5");
  const std::string page = ask("HTTP", "127.0.0.85", port_of(0));
  EXPECT_EQ(page.compare(0, 12, "HTTP/1.0 502"), 0) << page;
  EXPECT_NE(page.find("could not reach the destination directly"), std::string::npos) << page;
  EXPECT_NE(program.log().find("direct connection to 127.0.0.85:" + std::to_string(port_of(0)) +
                               " failed (the destination could not be reached); rule 1 "
                               "(127.0.0.85 direct)"),
            std::string::npos)
      << program.log();
}

// A name no rule names meets the address rules only when this machine looks
// names up: with "remote_dns" on it goes to the chain unlooked-up, with it
// off its address is matched (127.0.0.62 direct).
TEST_F(ChainRules, AddressRulesMeetNamesOnlyWhenLookedUpHere) {
  for (const bool remote : {true, false}) {
    int status = -1;
    const std::string out =
        program_ctl(program, std::string("set remote_dns=") + (remote ? "1" : "0"), "", &status);
    ASSERT_EQ(status, 0) << out;
    const uint64_t before = hop.accepted();
    EXPECT_EQ(ask("SOCKS5", "n62.example", port_of(0)), "200") << remote;
    EXPECT_EQ(hop.accepted() - before, remote ? 1u : 0u) << remote;
    EXPECT_EQ(read_file(resolver_log).find(" n62.example "),
              remote ? std::string::npos : std::string("mapped").size())
        << remote;
  }
}

TEST_F(ChainRules, ProxyAutoConfigurationFile) {
  const std::string pac = program_get(program, "/proxy.pac");
  EXPECT_EQ(pac.compare(0, 12, "HTTP/1.0 200"), 0) << pac;
  EXPECT_NE(pac.find("Content-Type: application/x-ns-proxy-autoconfig\r\n"), std::string::npos);
  EXPECT_NE(pac.find("if (ports(1, 65535) && name(\"d.example\")) return \"DIRECT\";"),
            std::string::npos)
      << pac;
  EXPECT_NE(pac.find("var proxy = \"SOCKS5 " + program.url() + "; PROXY " + program.url()),
            std::string::npos)
      << pac;
}

// A direct destination that does not answer is never raced through the
// chain: it runs out of the chain's time alone.
TEST_F(ChainRules, ADirectDestinationIsNeverRacedThroughTheChain) {
  syn_dropper silent;
  ASSERT_TRUE(silent.start("127.0.0.86"));
  int status = -1;
  std::string out = program_ctl(program, "set race_after=1 chain_timeout=2", "", &status);
  ASSERT_EQ(status, 0) << out;
  out = program_ctl(program, "rules set -", "127.0.0.86 direct\n", &status);
  ASSERT_EQ(status, 0) << out;
  const uint64_t before = hop.accepted();
  EXPECT_EQ(ask("SOCKS5", "127.0.0.86", silent.port), "socks 6");
  EXPECT_EQ(hop.accepted(), before);
}

// Headless Chromium told to take the program's PAC file (tests/browser,
// node + playwright-core): the direct host's page comes without the chain's
// proxy, the other's through it.
TEST_F(ChainRules, ChromiumFollowsTheProxyAutoConfigurationFile) {
  const char* source = getenv("MEROVANE_SOURCE");
  ASSERT_NE(source, nullptr) << "run through ctest (it sets MEROVANE_SOURCE)";
  const std::string tests = std::string(source) + "/tests/browser";
  if (access((tests + "/node_modules/playwright-core").c_str(), F_OK) != 0)
    GTEST_SKIP() << "run `npm ci` in tests/browser (tools/setup.sh does)";
  const std::string port = std::to_string(port_of(0));
  const uint64_t hop_before = hop.accepted();
  const int site_before = origins[0]->requests();
  int status = -1;
  const std::string out = shell_output(
      "cd '" + tests + "' && PAC_URL=http://" + program.url() + "/proxy.pac DIRECT_URL=http://" +
          "d.example:" + port + "/bytes/16 CHAINED_URL=http://pac-chained.example:" + port +
          "/bytes/16 SITE_IP=" + kSite + " timeout -k 10 120 node --test pac.test.js 2>&1",
      &status);
  EXPECT_EQ(status, 0) << out;
  // Both were served (the browser may ask for more, its icon say); the
  // other host's through the chain's proxy; the direct host's never reached
  // the program, which would have looked d.example up for its direct rule.
  EXPECT_GE(origins[0]->requests() - site_before, 2) << out;
  EXPECT_GE(hop.accepted() - hop_before, 1u);
  EXPECT_EQ(read_file(resolver_log).find(" d.example "), std::string::npos);
}

}  // namespace
