// The check queue inside a real engine driven with the test clock: which
// proxies are due, how many checks run at once and in what order, a silent
// proxy costing one step, and the check sites' list and page test.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "db/db.h"
#include "engine/slot.h"
#include "maintenance/checker.h"
#include "maintenance/checkqueue.h"
#include "maintenance/checksite.h"
#include "maintenance/checksteps.h"
#include "maintenance/myip.h"
#include "maintenance/resolver.h"
#include "maintenance/scheduler.h"
#include "platform/clock.h"
#include "tests/support/db_temp.h"
#include "tests/support/engine_harness.h"
#include "tests/support/maint_support.h"
#include "tests/support/net.h"

namespace {

int check_slots() {
  int n = 0;
  for (int i = 1; i < SLOT_COUNT; ++i)
    if (conn_table[i].sock != -1 && conn_table[i].kind == slot_kind::check) ++n;
  return n;
}

class Queue : public ::testing::Test {
 protected:
  db_temp t;
  engine_harness* h = nullptr;
  void SetUp() override {
    ASSERT_TRUE(maint_begin(t, h));
    char url[64] = "http://127.0.0.80/";
    setting_str("url_checker", url, sizeof url, 1);
    checker_service_assume(checker_service::answers);
  }
  void TearDown() override { maint_end(t, h); }
};

// Never checked, then a working proxy after 30 min, a failed one after
// 1 h, 4 h and 24 h as its failures grow; blocked ones never.
TEST_F(Queue, DueRule) {
  struct row {
    int type, n_err, minutes_ago, blocked;
    bool due;
  };
  const row rows[] = {
      {0, 0, -1, 0, true},   {16, 0, 29, 0, false}, {16, 0, 31, 0, true}, {1, 1, 59, 0, false},
      {1, 1, 61, 0, true},   {1, 2, 239, 0, false}, {1, 2, 241, 0, true}, {1, 5, 1439, 0, false},
      {1, 5, 1441, 0, true}, {0, 0, -1, 1, false},
  };
  int due = 0;
  for (const row& r : rows) {
    db_exec(
        "INSERT INTO proxy(ip,port,type,n_err,blocked,t_chk) VALUES(1,%d,%d,%d,%d,"
        "CASE WHEN %d<0 THEN 0 ELSE Now()-(%d) END)",
        static_cast<int>(&r - rows) + 1, r.type, r.n_err, r.blocked, r.minutes_ago, r.minutes_ago);
    due += r.due ? 1 : 0;
  }
  check_queue_reset();
  EXPECT_EQ(check_queue_front(false), static_cast<uint32_t>(due))
      << db_rows("SELECT port,type,n_err,blocked,Now()-t_chk FROM proxy");
  // `ctl check` puts every unblocked proxy in front.
  EXPECT_EQ(check_queue_front(true), 9u);
}

// Eight at once with "check_parallel" 8; proxies never checked go first;
// each check holds one connection; a silent proxy ends its check at the
// step limit, without its other protocols being tried.
TEST_F(Queue, ParallelLimitOrderAndSilentProxies) {
  std::vector<int> listeners;
  std::vector<uint16_t> ports;
  for (int i = 0; i < 12; ++i) {
    uint16_t port = 0;
    listeners.push_back(listen_on("127.0.12.5", 0, &port, 8));
    ports.push_back(port);
  }
  const uint32_t a = inet_addr("127.0.12.5");
  for (int i = 0; i < 4; ++i)  // checked long ago
    db_exec("INSERT INTO proxy(ip,port,type,t_chk) VALUES(%u,%d,16,Now()-100)", a, ports[i]);
  for (int i = 4; i < 12; ++i)  // never checked
    db_exec("INSERT INTO proxy(ip,port) VALUES(%u,%d)", a, ports[i]);
  setting_int("check_parallel", 8, 1);
  setting_int("check_timeout", 3, 1);
  check_queue_pump();
  EXPECT_EQ(check_slots(), 8);
  EXPECT_EQ(check_progress_now().running, 8u);
  const std::vector<uint16_t> fresh(ports.begin() + 4, ports.end());
  for (int i = 1; i < SLOT_COUNT; ++i) {
    if (conn_table[i].sock == -1 || conn_table[i].kind != slot_kind::check) continue;
    EXPECT_NE(std::find(fresh.begin(), fresh.end(), conn_table[i].dest_port), fresh.end());
  }
  // Connected, silent for 3 s: every check ends with its first step.
  ASSERT_TRUE(maint_drive([] { return db_rows("SELECT count(*) FROM proxy WHERE t_chk=0") == "0"; },
                          100, 200));
  ASSERT_TRUE(maint_drive([] { return check_slots() == 0; }, 100, 200));
  EXPECT_EQ(db_rows("SELECT count(*) FROM proxy WHERE type=1"), "12");
  const check_progress p = check_progress_now();
  EXPECT_EQ(p.done, 12u);
  EXPECT_EQ(p.working, 0u);
  for (int fd : listeners) close(fd);
}

// A SOCKS5 proxy that carries the judge request to a stand-in checker and
// answers for it; any other protocol is closed at once.
void socks5_judge(int fd, std::atomic<int>& judged, std::atomic<uint32_t>& at) {
  char first = 0;
  if (read(fd, &first, 1) != 1 || first != 0x05) return;
  char buf[16];
  if (!read_exact(fd, buf, 2, 3000)) return;
  send_all(fd, std::string("\x05\x00", 2));
  if (!read_exact(fd, buf, 10, 3000)) return;
  send_all(fd, std::string("\x05\x00\x00\x01\x7f\x00\x00\x50\x00\x50", 10));
  if (read_http(fd, 10000).empty()) return;
  at = tick_now();
  ++judged;
  send_all(fd, "HTTP/1.0 200 OK\r\n\r\n<Reply>\n<REMOTE_ADDR>127.0.12.9</REMOTE_ADDR>\n</Reply>\n");
}

// The service's "delay_proxy" spaces the requests that reach it; what
// never reaches it (refused protocols) is not held back.
TEST_F(Queue, ServicePaceSpacesTheRequestsThatReachIt) {
  std::atomic<int> judged{0};
  std::atomic<uint32_t> first_at{0}, second_at{0};
  maint_scripted_peer a, b;
  ASSERT_TRUE(a.start("127.0.12.6", 0, [&](int fd) { socks5_judge(fd, judged, first_at); }));
  ASSERT_TRUE(b.start("127.0.12.7", 0, [&](int fd) { socks5_judge(fd, judged, second_at); }));
  db_exec("INSERT INTO proxy(ip,port,host) VALUES(%u,%d,'a'),(%u,%d,'b')", inet_addr("127.0.12.6"),
          a.port, inet_addr("127.0.12.7"), b.port);
  public_addr = inet_addr("192.0.2.1");
  check_queue_pump();
  check_pace_set(5000);
  ASSERT_TRUE(maint_drive([&] { return judged.load() == 2; }, 50, 2000));
  const uint32_t first = std::min(first_at.load(), second_at.load());
  const uint32_t second = std::max(first_at.load(), second_at.load());
  EXPECT_GE(second - first, 5000u);
  ASSERT_TRUE(maint_drive([] { return check_slots() == 0; }, 100, 400));
  EXPECT_EQ(db_rows("SELECT type FROM proxy ORDER BY host"), "16#16");
  check_pace_set(0);
}

TEST(CheckSites, ListForms) {
  struct list_case {
    const char* text;
    int count;
    int bad_line;
    const char* first_host;
    uint16_t first_port;
    const char* first_path;
    const char* first_word;
  };
  const list_case cases[] = {
      {"http://127.0.0.9:8080/page.html hello", 1, 0, "127.0.0.9", 8080, "/page.html", "hello"},
      {"http://site.example/ word;http://other.example/x w2", 2, 0, "site.example", 80, "/",
       "word"},
      {"  http://a.example word  \n\nhttp://b.example/ w", 2, 0, "a.example", 80, "/", "word"},
      {"https://a.example/ word\nhttp://b.example/ w", 1, 1, "b.example", 80, "/", "w"},
      {"http://a.example/ \nhttp://a.example:0/ w\nhttp://a.example:x/ w\nhttp://a.example/p two "
       "words",
       0, 1, nullptr, 0, nullptr, nullptr},
      {"http://a.example/ w\x01rd", 0, 1, nullptr, 0, nullptr, nullptr},
  };
  for (const list_case& c : cases) {
    SCOPED_TRACE(c.text);
    check_site sites[CHECK_SITES_MAX];
    int bad = -1;
    EXPECT_EQ(check_sites_parse(c.text, sites, CHECK_SITES_MAX, &bad), c.count);
    EXPECT_EQ(bad, c.bad_line);
    if (c.count == 0) continue;
    EXPECT_STREQ(sites[0].host, c.first_host);
    EXPECT_EQ(sites[0].port, c.first_port);
    EXPECT_STREQ(sites[0].path, c.first_path);
    EXPECT_STREQ(sites[0].word, c.first_word);
  }
  check_site builtin[CHECK_SITES_MAX];
  int bad = -1;
  EXPECT_EQ(check_sites_parse(check_sites_default(), builtin, CHECK_SITES_MAX, &bad), 2);
  EXPECT_EQ(bad, 0);
}

TEST(CheckSites, RequestAndPageTest) {
  check_site site{};
  ASSERT_EQ(check_sites_parse("http://127.0.0.9:8080/p.html hello", &site, 1, nullptr), 1);
  char out[512];
  const size_t n =
      check_site_request(site, true, "Proxy-Authorization: Basic eA==\r\n", out, sizeof out);
  EXPECT_EQ(std::string(out, n),
            "GET http://127.0.0.9:8080/p.html HTTP/1.0\r\nHost: 127.0.0.9:8080\r\n"
            "Proxy-Authorization: Basic eA==\r\nConnection: close\r\n\r\n");
  const size_t m = check_site_request(site, false, "", out, sizeof out);
  EXPECT_EQ(std::string(out, m),
            "GET /p.html HTTP/1.0\r\nHost: 127.0.0.9:8080\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(check_site_request(site, false, "", out, 20), 0u);

  struct page_case {
    const char* bytes;
    bool ended;
    page_verdict verdict;
  };
  const page_case pages[] = {
      {"HTTP/1.1 200 OK\r\n\r\nsay hello", false, page_verdict::passed},
      {"HTTP/1.0 200 OK\r\n\r\nsay hel", false, page_verdict::more},
      {"HTTP/1.0 200 OK\r\n\r\nsay hel", true, page_verdict::failed},
      {"HTTP/1.0 404 Not Found\r\n\r\nhello", false, page_verdict::failed},
      {"HTTP/1.0 200 OK\r\nX-Note: hello\r\n", false, page_verdict::more},
      {"HTTP/1.0 200 OK\r\nX-Note: hello\r\n\r\nbye", true, page_verdict::failed},
      {"\x05\xff", true, page_verdict::failed},
  };
  for (const page_case& p : pages) {
    SCOPED_TRACE(p.bytes);
    EXPECT_EQ(check_site_judge(site, reinterpret_cast<const uint8_t*>(p.bytes),
                               std::strlen(p.bytes), p.ended),
              p.verdict);
  }
}

TEST(CheckProgress, Lines) {
  check_progress p{};
  char line[160];
  check_progress_text(p, line, sizeof line);
  EXPECT_STREQ(line, "No check running");
  p.active = true;
  p.done = 1234;
  p.remaining = 3766;
  p.working = 210;
  p.eta_s = 130;
  check_progress_text(p, line, sizeof line);
  EXPECT_STREQ(line, "Checking 1,234 of 5,000 \xC2\xB7 210 working \xC2\xB7 about 2 min left");
  p.active = false;
  p.elapsed_s = 45;
  check_progress_text(p, line, sizeof line);
  EXPECT_STREQ(line, "Last check pass: 1,234 checked \xC2\xB7 210 working \xC2\xB7 took 45 s");
}

}  // namespace
