// The checker location set through the panel's "save_settings", checker
// services in the three reply formats (our block, "NAME = value" lines,
// JSON) on loopback port 80, a real SOCKS5 proxy (microsocks sending from
// its own address) checked through each, and hostile proxies that forge
// every control item in each format. The engine runs on this thread with
// the test clock.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "chain/negotiate.h"
#include "db/db.h"
#include "maintenance/checker.h"
#include "maintenance/myip.h"
#include "maintenance/scheduler.h"
#include "panel/commands.h"
#include "platform/clock.h"
#include "tests/support/db_temp.h"
#include "tests/support/engine_harness.h"
#include "tests/support/maint_support.h"
#include "tests/support/peers.h"

namespace {

uint32_t addr_of(const char* dotted) {
  return inet_addr(dotted);
}

std::string peer_address(int fd) {
  sockaddr_in a{};
  socklen_t n = sizeof a;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&a), &n) != 0) return "";
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  return text;
}

// Runs a panel command in the engine thread's place, as the panel does.
std::string panel_run(const std::string& type, const std::string& body) {
  char kind[64];
  snprintf(kind, sizeof kind, "%s", type.c_str());
  param_spans spans{{{"", 0}, {body.data(), body.size()}}};
  char* reply = panel_command(kind, spans);
  std::string out = reply != nullptr ? reply : "";
  std::free(reply);
  return out;
}

std::string url_encode(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (isalnum(c) || c == '.' || c == '/' || c == ':' || c == '-' || c == '_') {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

enum class format { block, lines, json };

// The reply of a checker in the given format, for a request from `from`.
std::string judge_reply(format f, const std::string& from) {
  const char* type = f == format::json ? "application/json" : "text/html";
  std::string body;
  if (f == format::block) body = "<Reply>\n<REMOTE_ADDR>" + from + "</REMOTE_ADDR>\n</Reply>\n";
  if (f == format::lines)
    body = "<html><body><pre>\nREMOTE_ADDR = " + from +
           "\nHTTP_HOST = judge\nHTTP_USER_AGENT = Merovane\nREQUEST_METHOD = POST\n</pre></body>"
           "</html>\n";
  if (f == format::json)
    body =
        "{\n  \"form\": {\"myip\": \"1\"},\n  \"headers\": {\"Host\": \"judge\", \"User-Agent\": "
        "\"Merovane\"},\n  \"origin\": \"" +
        from + "\"\n}\n";
  return std::string("HTTP/1.0 200 OK\r\nContent-Type: ") + type + "\r\n\r\n" + body;
}

// A reply forging every control item (and an address that is not the
// proxy's) in the given format.
std::string forged_reply(format f) {
  std::string body;
  if (f == format::block)
    body =
        "<Reply>\n<REMOTE_ADDR>127.0.15.200</REMOTE_ADDR>\n<delay_proxy>1</delay_proxy>\n"
        "<delay_myip>1</delay_myip>\n<url_checker>http://127.0.15.99/</url_checker>\n"
        "<proxy_list>127.0.15.77:8080</proxy_list>\n<deny_checks>1</deny_checks>\n</Reply>\n";
  if (f == format::lines)
    body =
        "REMOTE_ADDR = 127.0.15.200\ndelay_proxy = 1\ndelay_myip = 1\n"
        "url_checker = http://127.0.15.99/\nproxy_list = 127.0.15.77:8080\ndeny_checks = 1\n"
        "HTTP_DELAY_PROXY = 1\n";
  if (f == format::json)
    body =
        "{\"origin\": \"127.0.15.200\", \"delay_proxy\": 1, \"delay_myip\": \"1\", "
        "\"url_checker\": \"http://127.0.15.99/\", \"proxy_list\": \"127.0.15.77:8080\", "
        "\"deny_checks\": 1, \"headers\": {\"deny_checks\": \"1\", \"url_checker\": \"x\"}}";
  return "HTTP/1.0 200 OK\r\n\r\n" + body;
}

class CheckerFormats : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_fake_enable(1000000, static_cast<uint64_t>(time(nullptr)) * 1000u);
    ASSERT_TRUE(db_temp_open(t));
    harness.reset(new engine_harness);
    scheduler_reset();
    checker_reset();
    checker_location_reset();
    last_chain_ok = 0;
  }
  void TearDown() override {
    harness.reset();
    checker_location_reset();
    db_temp_close(t);
    clock_fake_disable();
  }
  // Points the checker at url through the panel; the public address is
  // asked for again at once.
  void set_checker(const std::string& url) {
    std::string reply = panel_run("save_settings", "num=0&url_checker=" + url_encode(url));
    ASSERT_NE(reply.find("url_checker:"), std::string::npos) << reply;
    ASSERT_EQ(public_addr, 0u);
    ASSERT_TRUE(maint_drive([] { return public_addr != 0; }, 100, 2000, 20000)) << url;
  }
  // Checks ip:port to the end; its type, n_err.
  std::string check(const char* ip, uint16_t port) {
    db_exec("DELETE FROM proxy WHERE ip=%u AND port=%u", addr_of(ip), port);
    db_exec("INSERT INTO proxy(ip,port,host,rank) VALUES(%u,%u,'p',20)", addr_of(ip), port);
    EXPECT_EQ(start_check(addr_of(ip), port, 1), 1);
    const std::string sql = "SELECT t_chk FROM proxy WHERE ip=" + std::to_string(addr_of(ip)) +
                            " AND port=" + std::to_string(port);
    EXPECT_TRUE(maint_drive([&] { return db_rows(sql) != "0"; }, 100, 3000, 30000));
    return db_rows("SELECT type,n_err FROM proxy WHERE ip=" + std::to_string(addr_of(ip)) +
                   " AND port=" + std::to_string(port));
  }

  db_temp t;
  std::unique_ptr<engine_harness> harness;
};

TEST_F(CheckerFormats, EachFormatChecksARealSocks5ProxyAndForgeriesMoveNothing) {
  std::unique_ptr<peer_process> judge(start_judge("127.0.15.81"));
  ASSERT_TRUE(judge) << "merovane-judge did not start";
  maint_scripted_peer lines_judge, json_judge;
  ASSERT_TRUE(lines_judge.start("127.0.15.82", 80, [](int fd) {
    read_http(fd, 3000);
    send_all(fd, judge_reply(format::lines, peer_address(fd)));
  }));
  ASSERT_TRUE(json_judge.start("127.0.15.83", 80, [](int fd) {
    read_http(fd, 3000);
    send_all(fd, judge_reply(format::json, peer_address(fd)));
  }));
  const uint16_t ms_port = free_port("127.0.15.5");
  std::unique_ptr<peer_process> socks5(start_microsocks("127.0.15.5", ms_port, "127.0.15.2"));
  ASSERT_TRUE(socks5);
  maint_scripted_peer hostile[3];
  const format formats[3] = {format::block, format::lines, format::json};
  for (int i = 0; i < 3; ++i) {
    const format f = formats[i];
    ASSERT_TRUE(hostile[i].start("127.0.15.6", 0, [f](int fd) {
      read_http(fd, 1000);
      send_all(fd, forged_reply(f));
    }));
  }

  const char* urls[3] = {"http://127.0.15.81/", "http://127.0.15.82/azenv.php",
                         "http://127.0.15.83/post"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(urls[i]);
    set_checker(urls[i]);
    EXPECT_EQ(public_addr, addr_of("127.0.0.1"));
    // SOCKS5 only, neither transparent nor anonymous.
    EXPECT_EQ(check("127.0.15.5", ms_port), "16,0");

    // Every hostile proxy in every format: its forged items are ignored.
    for (int j = 0; j < 3; ++j) {
      SCOPED_TRACE(j);
      check("127.0.15.6", hostile[j].port);
      EXPECT_EQ(delay_proxy, 10);
      EXPECT_EQ(delay_myip, 600);
      EXPECT_FALSE(checks_denied);
      EXPECT_STREQ(checker_url(), urls[i]);
      EXPECT_EQ(db_rows("SELECT count(*) FROM proxy WHERE port=8080"), "0");
      char stored[256] = "";
      setting_str("url_checker", stored, sizeof stored, 0);
      EXPECT_STREQ(stored, urls[i]);
    }
  }

  // Several URLs: a dead one first, the next answers and is kept.
  set_checker(std::string("http://127.0.15.84/\n") + urls[2]);
  EXPECT_STREQ(checker_url(), urls[2]);
  EXPECT_EQ(check("127.0.15.5", ms_port), "16,0");
}

}  // namespace
