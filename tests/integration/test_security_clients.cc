// Who may use the running program: clients outside "allow_clients" get
// nothing, the panel answers this machine only, accounts made with
// `ctl user` make every client protocol sign in (and the password shows up
// nowhere), failed sign-ins lock an address out, an IPv6 listener serves
// every client protocol, and a client that sends nothing is closed after
// 30 s (test clock, engine on the test's thread).
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "db/db.h"
#include "platform/clock.h"
#include "tests/support/chain_db.h"
#include "tests/support/engine_harness.h"
#include "tests/support/origin11.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"

namespace {

constexpr const char* kOrigin = "127.0.0.41";
constexpr const char* kSocks = "127.0.0.42";
constexpr const char* kProgram = "127.0.0.40";
constexpr const char* kPassword = "Zq7-pass-Wd93";
// base64 of "alice:Zq7-pass-Wd93", as HTTP clients send it.
constexpr const char* kPairBase64 = "YWxpY2U6WnE3LXBhc3MtV2Q5Mw==";

std::unique_ptr<origin_server> origin;
std::unique_ptr<peer_process> microsocks;

std::string read_file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every regular file below dir whose bytes hold needle.
void files_holding(const std::string& dir, const std::string& needle,
                   std::vector<std::string>& found) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "/" + name;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) files_holding(path, needle, found);
    if (S_ISREG(st.st_mode) && read_file_bytes(path).find(needle) != std::string::npos)
      found.push_back(path);
  }
  closedir(d);
}

// Sets registry entries ("name=sz:value" lines), replacing earlier ones.
void set_registry(const program_instance& p, const std::string& lines) {
  std::istringstream was(read_file_bytes(p.home + "/registry"));
  std::string kept, line;
  while (std::getline(was, line)) {
    bool replaced = false;
    std::istringstream scan(lines);
    for (std::string l; std::getline(scan, l);)
      replaced = replaced || line.substr(0, line.find('=')) == l.substr(0, l.find('='));
    if (!replaced) kept += line + "\n";
  }
  std::ofstream(p.home + "/registry", std::ios::trunc) << kept << lines;
}

class SecurityClients : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    origin = std::make_unique<origin_server>();
    ASSERT_TRUE(origin->start(kOrigin));
    microsocks.reset(start_microsocks(kSocks, free_port(kSocks)));
  }
  static void TearDownTestSuite() {
    microsocks.reset();
    origin.reset();
  }
  void SetUp() override { ASSERT_TRUE(microsocks) << "microsocks did not start"; }

  program_instance program;

  std::string origin_url(const std::string& path) const {
    return "http://" + std::string(kOrigin) + ":" + std::to_string(origin->port) + path;
  }
  // One request line and head to the program from `source`; the reply.
  std::string ask(const std::string& head, const char* source = nullptr) const {
    const std::string to = program.ip == "0.0.0.0" ? "127.0.0.1" : program.ip;
    const int fd = connect_to(to, program.port, 5000, source);
    if (fd < 0) return "(no connection)";
    send_all(fd, head.substr(0, head.size() - 2) + "Host: " + to + ":" +
                     std::to_string(program.port) + "\r\n\r\n");
    std::string reply = read_http_reply(fd, 5000);
    close(fd);
    return reply;
  }
};

TEST_F(SecurityClients, OnlyListedAddressesConnectAndThePanelStaysLocal) {
  ASSERT_TRUE(program.prepare("0.0.0.0", [] {}));
  set_registry(program, "allow_clients=sz:127.0.0.1, 127.0.0.3\n");
  ASSERT_TRUE(program.start()) << program.log();

  // 127.0.0.2 is not listed: closed at accept, not a byte sent, told once.
  for (int i = 0; i < 3; ++i) {
    const int fd = connect_to("127.0.0.1", program.port, 5000, "127.0.0.2");
    ASSERT_GE(fd, 0);
    send_all(fd, "GET " + origin_url("/bytes/1") + " HTTP/1.1\r\n\r\n");
    bool closed = false;
    EXPECT_EQ(read_to_close(fd, 5000, &closed), "");
    EXPECT_TRUE(closed);
    close(fd);
  }
  const std::string metrics = ask("GET /" + std::string(kPanelToken) + "/metrics HTTP/1.1\r\n\r\n");
  EXPECT_EQ(metrics_series(metrics, "merovane_clients_refused_total{reason=\"address\"}"), 3)
      << metrics;
  const std::string log = program.log();
  EXPECT_NE(log.find("clients allowed from 127.0.0.1, 127.0.0.3"), std::string::npos) << log;
  const size_t told = log.find("client 127.0.0.2 refused");
  ASSERT_NE(told, std::string::npos) << log;
  EXPECT_EQ(log.find("client 127.0.0.2 refused", told + 1), std::string::npos) << "once a minute";

  // 127.0.0.3 may use the proxy but is not this machine: the panel's path
  // is answered as any other path of ours.
  const std::string panel = "GET /" + std::string(kPanelToken) + "/ HTTP/1.1\r\n\r\n";
  const std::string other = "GET /0123456789abcdef/ HTTP/1.1\r\n\r\n";
  const std::string remote_panel = ask(panel, "127.0.0.3");
  EXPECT_EQ(remote_panel, ask(other, "127.0.0.3"));
  EXPECT_EQ(remote_panel.find(kPanelToken), std::string::npos);
  EXPECT_NE(ask(panel, "127.0.0.1").find("<title>Merovane</title>"), std::string::npos);
  EXPECT_EQ(remote_panel.find("<title>Merovane</title>"), std::string::npos);

  // SIGHUP reads the list and "panel_remote" again.
  set_registry(program, "allow_clients=sz:127.0.0.0/8\npanel_remote=dword:1\n");
  ASSERT_EQ(kill(program.pid, SIGHUP), 0);
  for (int i = 0; i < 250 && program.log().find("SIGHUP:") == std::string::npos; ++i) usleep(20000);
  EXPECT_NE(ask(panel, "127.0.0.2").find("<title>Merovane</title>"), std::string::npos);
}

TEST_F(SecurityClients, AccountsMakeEveryProtocolSignIn) {
  ASSERT_TRUE(program.prepare(kProgram, [] {
    chain_db_add_link(1, 5, PT_SOCKS5, ip_number(kSocks), microsocks->port);
    setting_int("log_level", 2, 1);
    setting_int("force_http_10", 0, 1);
  }));
  ASSERT_TRUE(program.start()) << program.log();
  std::string seen;  // every output a person could read
  int status = -1;
  seen += program_ctl(program, "user add alice", std::string(kPassword) + "\n", &status);
  ASSERT_EQ(status, 0) << seen;
  seen += program_ctl(program, "user add bob", "other-pass\n", &status);
  const std::string list = program_ctl(program, "user list", "", &status);
  EXPECT_EQ(list, "alice\nbob\n");
  seen += list + program_ctl(program, "user del bob", "", &status);
  EXPECT_EQ(status, 0);

  // curl signs in over every protocol; HTTP's line does not travel on.
  const std::string user = std::string("alice:") + kPassword;
  const struct {
    const char* mode;
    std::vector<std::string> args;
  } modes[] = {
      {"http", {"-x", "http://" + program.url()}},
      {"connect", {"-p", "-x", "http://" + program.url()}},
      {"socks5", {"--socks5", program.url()}},
      {"socks5-hostname", {"--socks5-hostname", program.url()}},
  };
  for (const auto& m : modes) {
    std::vector<std::string> args = m.args;
    args.insert(args.end(), {"--proxy-user", user, "-sS", origin_url("/head")});
    const std::string body = scratch_name("signin-body");
    ASSERT_EQ(run_curl(args, body, 30), 0) << m.mode << ": " << read_file_bytes(body + ".err");
    const std::string head = read_file_bytes(body);
    EXPECT_EQ(head.rfind("GET /head", 0), 0u) << m.mode << ": " << head;
    EXPECT_EQ(head.find("roxy-Authorization"), std::string::npos) << m.mode << ": " << head;
    seen += head + read_file_bytes(body + ".err");
    unlink(body.c_str());
  }

  // A kept-alive plain proxy client's second request would carry its
  // sign-in line past recognition: its first is made the connection's last.
  origin11_server keep;
  ASSERT_TRUE(keep.start("127.0.0.42"));
  const std::string where = "127.0.0.42:" + std::to_string(keep.port);
  const std::string signed_get = "GET http://" + where + "/bytes/5 HTTP/1.1\r\nHost: " + where +
                                 "\r\nProxy-Authorization: Basic " + kPairBase64 + "\r\n\r\n";
  const int kept = connect_to(program.ip, program.port, 5000);
  ASSERT_GE(kept, 0);
  send_all(kept, signed_get);
  EXPECT_EQ(read_http_reply(kept, 5000).rfind("HTTP/1.1 200", 0), 0u);
  send_all(kept, signed_get);
  read_to_close(kept, 3000);
  close(kept);
  EXPECT_EQ(keep.requests(), 1);
  EXPECT_EQ(keep.last_head().find("roxy-Authorization"), std::string::npos) << keep.last_head();

  // Wrong and missing sign-ins, by protocol.
  const std::string get =
      "GET " + origin_url("/bytes/1") + " HTTP/1.1\r\nHost: " + kOrigin + "\r\n";
  for (const std::string& auth :
       {std::string(), std::string("Proxy-Authorization: Basic YWxpY2U6d3Jvbmc=\r\n")}) {
    const std::string reply = ask(get + auth + "\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 407 Proxy Authentication Required\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("Proxy-Authenticate: Basic realm=\"merovane\"\r\n"), std::string::npos);
    seen += reply;
  }
  const struct {
    std::string sent, answer;
  } socks[] = {
      {std::string("\x05\x01\x00", 3), std::string("\x05\xFF", 2)},
      {std::string("\x05\x01\x02\x01\x05"
                   "alice\x05"
                   "wrong",
                   16),
       std::string("\x05\x02\x01\x01", 4)},
      {std::string("\x04\x01\x00\x50\x7F\x00\x00\x29"
                   "alice\0",
                   14),
       std::string("\x00\x5B\0\0\0\0\0\0", 8)},
  };
  for (const auto& s : socks) {
    const int fd = connect_to(program.ip, program.port, 5000);
    ASSERT_GE(fd, 0);
    send_all(fd, s.sent);
    bool closed = false;
    EXPECT_EQ(read_to_close(fd, 5000, &closed), s.answer);
    EXPECT_TRUE(closed);
    close(fd);
  }

  // Two failed sign-ins so far (a missing one is no failure): three more
  // and the address is refused at accept.
  for (int i = 0; i < 3; ++i) ask(get + "Proxy-Authorization: Basic YWxpY2U6d3Jvbmc=\r\n\r\n");
  const int locked = connect_to(program.ip, program.port, 5000);
  ASSERT_GE(locked, 0);
  bool closed = false;
  EXPECT_EQ(read_to_close(locked, 5000, &closed), "");
  EXPECT_TRUE(closed);
  close(locked);

  // The password is in no file, log line, reply or ctl output.
  seen += program.log();
  EXPECT_EQ(seen.find(kPassword), std::string::npos);
  EXPECT_EQ(seen.find(kPairBase64), std::string::npos);
  program.stop();
  for (const std::string& needle : {std::string(kPassword), std::string(kPairBase64)}) {
    std::vector<std::string> found;
    files_holding(program.home, needle, found);
    files_holding(scratch_dir(), needle, found);
    EXPECT_TRUE(found.empty()) << needle << " in " << found.front();
  }
}

TEST_F(SecurityClients, AnIpv6ListenerServesEveryClientProtocol) {
  ASSERT_TRUE(program.prepare(
      "::1", [] { chain_db_add_link(1, 5, PT_SOCKS5, ip_number(kSocks), microsocks->port); }));
  ASSERT_TRUE(program.start()) << program.log();
  const std::string at = "[::1]:" + std::to_string(program.port);
  EXPECT_NE(program.log().find("Listening [::1] port " + std::to_string(program.port)),
            std::string::npos)
      << program.log();
  const struct {
    const char* mode;
    std::vector<std::string> args;
  } modes[] = {
      {"http", {"-x", "http://" + at}},
      {"connect", {"-p", "-x", "http://" + at}},
      {"socks4", {"--socks4", at}},
      {"socks5", {"--socks5-hostname", at}},
  };
  for (const auto& m : modes) {
    std::vector<std::string> args = m.args;
    args.insert(args.end(), {"-sS", origin_url("/bytes/64")});
    const std::string body = scratch_name("ipv6-body");
    ASSERT_EQ(run_curl(args, body, 30), 0) << m.mode << ": " << read_file_bytes(body + ".err");
    EXPECT_EQ(read_file_bytes(body).size(), 64u) << m.mode;
  }
  int status = -1;
  EXPECT_EQ(program_ctl(program, "url", "", &status),
            "http://" + at + "/" + std::string(kPanelToken) + "/\n");
  EXPECT_EQ(status, 0);
}

TEST(SecurityIdleClients, SilentClientsGoAfterThirtySecondsActiveOnesStay) {
  clock_fake_enable(5000, 1700000000000ull);
  {
    engine_harness h;
    const int silent = connect_local(h.port, 2000);
    const int slow = connect_local(h.port, 2000);
    ASSERT_TRUE(silent >= 0 && slow >= 0);
    ASSERT_TRUE(h.run_until([] { return occupied_slots() == 3; }));
    send_all(slow, "GET http://a.test/ HT");
    h.run_for(30);
    clock_advance(20000);
    send_all(slow, "TP/1.1\r\n");
    h.run_for(30);
    clock_advance(11000);
    h.run_for(50);
    bool closed = false;
    EXPECT_EQ(read_to_close(silent, 500, &closed), "");
    EXPECT_TRUE(closed) << "silent for 31 s";
    char byte;
    EXPECT_LT(recv(slow, &byte, 1, MSG_DONTWAIT), 0) << "active 11 s ago: still open";
    clock_advance(20000);
    h.run_for(50);
    closed = false;
    read_to_close(slow, 500, &closed);
    EXPECT_TRUE(closed) << "silent for 31 s now";
    close(silent);
    close(slow);
  }
  clock_fake_disable();
}

}  // namespace
