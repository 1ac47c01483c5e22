// "merovane ctl" against a running instance: the panel address, a list
// import (and one of 200,000 lines), the proxy list (with a hostile user
// name), settings, the chain (then a real connection
// through microsocks to a local origin), the status rows, a re-check, and
// the exit codes for a refused command and for no instance.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "db/db.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"
#include "tests/support/startup_env.h"
#include "tests/support/suite_peers.h"

namespace {

using startup_test::write_file;

constexpr const char* kOrigin = "127.0.0.81";
constexpr const char* kSocks = "127.0.0.82";
constexpr const char* kProgram = "127.0.0.83";

struct ctl_result {
  int status;
  std::string out, err;
};

class Ctl : public origin_socks_suite {
 protected:
  static void SetUpTestSuite() { start_peers(kOrigin, kSocks); }
  void SetUp() override {
    ASSERT_TRUE(microsocks) << "microsocks did not start (see " << scratch_dir() << ")";
    ASSERT_TRUE(program.prepare(kProgram, [] {}));
    ASSERT_TRUE(program.start()) << program.log();
  }

  ctl_result ctl(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"ctl"};
    all.insert(all.end(), args.begin(), args.end());
    std::unique_ptr<program_run> run(
        program_start(all, {"MEROVANE_HOME=" + program.home}, program.home));
    EXPECT_TRUE(run->wait(20000)) << "ctl did not end";
    return {run->status, run->out(), run->err()};
  }
  std::string socks() const { return std::string(kSocks) + ":" + std::to_string(microsocks->port); }

  program_instance program;
};

TEST_F(Ctl, ImportListSetChainAndConnectThrough) {
  auto url = ctl({"url"});
  EXPECT_EQ(url.status, 0);
  EXPECT_EQ(url.out, "http://" + program.url() + "/" + kPanelToken + "/\n");

  const std::string list = program.home + "/list.txt";
  write_file(list, socks() + "\n127.0.0.84 port 1\n");
  auto imported = ctl({"import", list});
  EXPECT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(imported.out, "2 proxies read, 2 new\n");

  auto proxies = ctl({"proxies"});
  EXPECT_EQ(proxies.status, 0) << proxies.err;
  EXPECT_NE(proxies.out.find(socks() + " "), std::string::npos) << proxies.out;
  EXPECT_NE(proxies.out.find("127.0.0.84:1 "), std::string::npos) << proxies.out;
  auto json = ctl({"proxies", "--json"});
  EXPECT_EQ(json.out.rfind("[{\"address\":", 0), 0u) << json.out;

  auto set = ctl({"set", "log_level=1", "force_http_10=0"});
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out, "log_level=1\nforce_http_10=0\n");
  EXPECT_NE(program.log().find("Merovane: settings changed from the panel"), std::string::npos)
      << program.log();
  auto urls = ctl({"set", "download_urls=http://127.0.0.1:9/a.txt http://127.0.0.1:9/b.txt"});
  EXPECT_EQ(urls.status, 0) << urls.err;
  auto unknown = ctl({"set", "no_such_setting=1"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("\"no_such_setting\" was not taken"), std::string::npos)
      << unknown.err;

  auto chain = ctl({"chain", "socks5://" + socks()});
  EXPECT_EQ(chain.status, 0) << chain.err;
  const std::string file = program.home + "/download";
  const std::string target =
      "http://" + std::string(kOrigin) + ":" + std::to_string(origin->port) + "/bytes/1000";
  ASSERT_EQ(run_curl({"-s", "-x", "http://" + program.url(), target}, file, 30), 0)
      << read_file(file + ".err");
  EXPECT_EQ(read_file(file).size(), 1000u);
  EXPECT_GE(origin->requests(), 1);

  auto status = ctl({"status"});
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_NE(status.out.find("\nSerial\tSocket\t"), std::string::npos) << status.out;
  auto status_json = ctl({"status", "--json"});
  EXPECT_EQ(status_json.out.rfind("[", 0), 0u) << status_json.out;

  auto check = ctl({"check", socks()});
  EXPECT_EQ(check.status, 0) << check.err;
  // No check site has an address in this home: checks cannot run.
  auto no_sites = ctl({"check"});
  EXPECT_EQ(no_sites.status, 1);
  EXPECT_NE(no_sites.out.find("no check site has an address"), std::string::npos) << no_sites.out;
  const std::string site =
      "http://" + std::string(kOrigin) + ":" + std::to_string(origin->port) + "/head Host:";
  ASSERT_EQ(ctl({"set", "check_sites=" + site}).status, 0);
  auto check_all = ctl({"check"});
  EXPECT_EQ(check_all.status, 0) << check_all.err;
  EXPECT_NE(check_all.out.find("2 checked: 1 working, 1 not working\n"), std::string::npos)
      << check_all.out;
}

// The reply to a GET of path on the program's address.
TEST_F(Ctl, MetricsAfterARealChainAndOnlyUnderTheToken) {
  const std::string list = program.home + "/list.txt";
  write_file(list, socks() + "\n127.0.0.84:1\n");
  ASSERT_EQ(ctl({"import", list}).status, 0);
  ASSERT_EQ(ctl({"chain", "socks5://" + socks()}).status, 0);
  const std::string file = program.home + "/download";
  const std::string target =
      "http://" + std::string(kOrigin) + ":" + std::to_string(origin->port) + "/bytes/5000";
  ASSERT_EQ(run_curl({"-s", "-x", "http://" + program.url(), target}, file, 30), 0)
      << read_file(file + ".err");
  const std::string path = "/" + std::string(kPanelToken) + "/metrics";
  std::string text;
  ASSERT_TRUE(startup_test::poll_until(
      [&] {
        text = program_get(program, path);
        return metrics_series(text, "merovane_chains_total{result=\"ok\"}") >= 1;
      },
      5000))
      << text;
  EXPECT_NE(text.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << text;
  EXPECT_NE(text.find("# HELP merovane_chains_total "), std::string::npos);
  EXPECT_NE(text.find("# TYPE merovane_chains_total counter\n"), std::string::npos);
  EXPECT_EQ(metrics_series(text, "merovane_chains_total{result=\"failed\"}"), 0);
  EXPECT_EQ(metrics_series(text, "merovane_chain_retries_total"), 0);
  EXPECT_GT(metrics_series(text, "merovane_relay_bytes_total{direction=\"up\"}"), 0);
  EXPECT_GE(metrics_series(text, "merovane_relay_bytes_total{direction=\"down\"}"), 5000);
  EXPECT_EQ(metrics_series(text, "merovane_slots{kind=\"listen\"}"), 1);
  EXPECT_EQ(metrics_series(text, "merovane_slots{kind=\"panel\"}"), 1);  // this request
  EXPECT_EQ(metrics_series(text, "merovane_proxies{state=\"unchecked\"}") +
                metrics_series(text, "merovane_proxies{state=\"working\"}") +
                metrics_series(text, "merovane_proxies{state=\"dead\"}"),
            2);
  EXPECT_EQ(metrics_series(text, "merovane_proxies{state=\"blocked\"}"), 0);
  EXPECT_EQ(metrics_series(text, "merovane_checks_total{result=\"ok\"}"), 0);
  EXPECT_EQ(metrics_series(text, "merovane_public_address_known"), 0);
  // Without the token, or with another, nothing of it.
  for (const std::string& other :
       {std::string("/metrics"), std::string("/00000000000000000000000000000000/metrics")}) {
    std::string reply = program_get(program, other);
    EXPECT_EQ(reply.find("merovane_"), std::string::npos) << reply;
  }
}

// A fixed link may carry user:pass@, as --help shows: the sign-in is stored
// with that proxy, as an import stores it, and the chain uses it.
TEST_F(Ctl, ChainLinkWithSignInIsStoredWithItsProxy) {
  const char* ip = "127.0.0.85";
  std::unique_ptr<peer_process> locked(start_microsocks_login(ip, free_port(ip), "mv", "s3cret"));
  ASSERT_TRUE(locked) << "microsocks did not start (see " << scratch_dir() << ")";
  const std::string proxy = std::string(ip) + ":" + std::to_string(locked->port);
  auto chain = ctl({"chain", "socks5://mv:s3cret@" + proxy});
  EXPECT_EQ(chain.status, 0) << chain.err;
  auto proxies = ctl({"proxies"});
  EXPECT_NE(proxies.out.find(proxy + " "), std::string::npos) << proxies.out;
  const std::string file = program.home + "/download";
  const std::string target =
      "http://" + std::string(kOrigin) + ":" + std::to_string(origin->port) + "/bytes/700";
  ASSERT_EQ(run_curl({"-s", "--socks5-hostname", program.url(), target}, file, 30), 0)
      << read_file(file + ".err") << program.log();
  EXPECT_EQ(read_file(file).size(), 700u);
}

TEST_F(Ctl, RefusedCommandsAndNoInstance) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"chain", "ftp://127.0.0.1:21"},
                                             {"chain", "socks5://userpass@127.0.0.1:1080"},
                                             {"chain", "pick:slowest"},
                                             {"set", "novalue"},
                                             {"frobnicate"},
                                             {"check", "not-an-address"}}) {
    auto r = ctl(args);
    EXPECT_EQ(r.status, 1) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    EXPECT_NE(r.err.find("merovane ctl: "), std::string::npos) << r.err;
  }
  auto pool = ctl({"chain", "pick:fastest:socks5,http", "pick:random"});
  EXPECT_EQ(pool.status, 0) << pool.err;
  program.stop();
  auto gone = ctl({"proxies"});
  EXPECT_EQ(gone.status, 3);
  EXPECT_NE(gone.err.find("no instance answers"), std::string::npos) << gone.err;
  // A home where no instance was ever set up.
  std::unique_ptr<program_run> empty(
      program_start({"ctl", "url"}, {"MEROVANE_HOME=" + program.home + "/nothing"}, program.home));
  ASSERT_TRUE(empty->wait(20000));
  EXPECT_EQ(empty->status, 3);
  EXPECT_NE(empty->err().find("no panel token"), std::string::npos) << empty->err();
  EXPECT_FALSE(startup_test::file_exists(program.home + "/nothing"));
}

}  // namespace

namespace {

// A list far past what the panel takes in one request goes in parts.
TEST_F(Ctl, ImportOfABigListFromStandardInput) {
  constexpr int kLines = 200000;
  std::string list;
  list.reserve(static_cast<size_t>(kLines) * 20);
  for (int i = 0; i < kLines; ++i)
    list += "127." + std::to_string(1 + (i >> 16)) + "." + std::to_string((i >> 8) & 255) + "." +
            std::to_string(i & 255) + ":" + std::to_string(1000 + i % 50000) + "\n";
  int status = -1;
  const std::string out = program_ctl(program, "import -", list, &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out, "200000 proxies read, 200000 new\n");
}

// A user name is data: whatever it holds, it makes no row of its own.
TEST_F(Ctl, ProxiesWithAHostileUserName) {
  const std::string list = program.home + "/list.txt";
  write_file(list, socks() + "\n");
  ASSERT_EQ(ctl({"import", list}).status, 0);
  program.stop();
  ASSERT_TRUE(program.change(
      [] { db_exec("UPDATE proxy SET auth_user='],[16777343,9,16,0,99],[\"x\\\\'"); }));
  ASSERT_TRUE(program.start()) << program.log();
  auto proxies = ctl({"proxies"});
  EXPECT_EQ(proxies.status, 0) << proxies.err;
  EXPECT_EQ(proxies.out.find("127.0.0.1:9 "), std::string::npos) << proxies.out;
  EXPECT_EQ(std::count(proxies.out.begin(), proxies.out.end(), '\n'), 1) << proxies.out;
  EXPECT_NE(proxies.out.find(socks() + " "), std::string::npos) << proxies.out;
}

}  // namespace
