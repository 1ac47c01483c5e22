// The maintenance scheduler and the check handler inside a real engine,
// driven with the test clock: pass intervals, the chain-test pass, the
// download cycle, the deny flag, and a check against a scripted proxy.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>

#include "chain/lookup.h"
#include "chain/negotiate.h"
#include "db/db.h"
#include "engine/slot.h"
#include "log/push.h"
#include "maintenance/chaintest.h"
#include "maintenance/checker.h"
#include "maintenance/myip.h"
#include "maintenance/resolver.h"
#include "maintenance/scheduler.h"
#include "platform/clock.h"
#include "tests/support/db_temp.h"
#include "tests/support/engine_harness.h"
#include "tests/support/maint_support.h"

namespace {

uint32_t addr_of(const char* dotted) {
  return inet_addr(dotted);
}

int count_kind(slot_kind k) {
  int n = 0;
  for (int i = 1; i < SLOT_COUNT; ++i)
    if (conn_table[i].sock != -1 && conn_table[i].kind == k) ++n;
  return n;
}

// A stand-in for the name server: answers only once the gate opens (at
// most 10 s of real time), "none.test" has no address.
std::atomic<bool> gate_open{false};

uint32_t gated_resolver(const char* name) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!gate_open.load() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (std::strcmp(name, "checker.test") == 0) return inet_addr("127.0.0.80");
  if (std::strcmp(name, "list.test") == 0) return inet_addr("127.0.11.33");
  if (std::strcmp(name, "site.test") == 0) return inet_addr("127.0.11.81");
  return 0;
}

// Puts the gated resolver in place for one test.
struct gated_lookups {
  gated_lookups() {
    gate_open = false;
    lookup_reset();
    lookup_set_resolver(gated_resolver);
  }
  ~gated_lookups() {
    gate_open = true;
    lookup_reset();
    lookup_set_resolver(nullptr);
  }
  // Opens the gate and delivers the answers as the engine would.
  static bool answer_all() {
    gate_open = true;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < end) {
      lookup_poll();
      if (lookup_pending() == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
};

class Maint : public ::testing::Test {
 protected:
  db_temp t;
  engine_harness* h = nullptr;
  void SetUp() override {
    ASSERT_TRUE(maint_begin(t, h));
    checker_service_assume(checker_service::unknown);
    last_chain_ok = 0;
    panel_push_time = 0;
    char url[64] = "http://127.0.0.80/";
    setting_str("url_checker", url, sizeof url, 1);
    site_list_use("http://127.0.11.81/page.html##alpha#beta\n");
  }
  void TearDown() override {
    site_list_use(nullptr);
    maint_end(t, h);
  }
  // Makes the check pass due: returns true when schedule_checks ran a pass.
  bool pass_after(uint32_t ms) {
    clock_advance(ms);
    uint32_t before = check_pass_time;
    schedule_checks();
    return check_pass_time != before;
  }
};

TEST_F(Maint, CheckPassIntervals) {
  schedule_checks();  // starts the clock only
  public_addr = addr_of("192.0.2.1");
  EXPECT_FALSE(pass_after(45000));  // 4 x 10 + 5 s, not yet above
  EXPECT_TRUE(pass_after(1));
  panel_push_time = tick_now();  // somebody watches the panel: 10 + 5 s
  EXPECT_FALSE(pass_after(15000));
  EXPECT_TRUE(pass_after(1));
  last_chain_ok = tick_now() - 3600000;  // an hour without client chains: +20 s
  EXPECT_EQ(idle_allowance(), 20);
  EXPECT_FALSE(pass_after(30000));
  EXPECT_TRUE(pass_after(1));
  public_addr = 0;  // the public address no longer holds passes back
  uint32_t before_count = check_pass_count;
  clock_advance(100000);
  schedule_checks();
  EXPECT_EQ(check_pass_count, before_count + 1);
}

TEST_F(Maint, MyipIntervalsAndDeny) {
  schedule_myip();
  clock_advance(15001);  // 15 s while the address is unknown
  schedule_myip();
  EXPECT_EQ(count_kind(slot_kind::myip), 1);
  // Only one request at a time.
  clock_advance(15001);
  schedule_myip();
  EXPECT_EQ(count_kind(slot_kind::myip), 1);
  public_addr = addr_of("192.0.2.1");
  checks_denied = true;
  clock_advance(5 * 600000 + 5001);
  for (int i = 1; i < SLOT_COUNT; ++i)
    if (conn_table[i].kind == slot_kind::myip) conn_table[i].kind = slot_kind::error;
  schedule_myip();
  EXPECT_EQ(public_addr, 0u);
  EXPECT_EQ(count_kind(slot_kind::myip), 0);
  // Nothing starts any more.
  uint32_t count = check_pass_count;
  clock_advance(100000);
  schedule_checks();
  EXPECT_EQ(check_pass_count, count);
}

TEST_F(Maint, SixthPassRunsAChainTest) {
  // Two working proxies checked a moment ago: the check selection skips
  // them, the chain test takes them.
  db_exec("INSERT INTO proxy(ip,port,type,t_chk) VALUES(%u,1,16,Now()),(%u,2,16,Now())",
          addr_of("127.0.11.31"), addr_of("127.0.11.32"));
  schedule_checks();
  public_addr = addr_of("192.0.2.1");
  for (int i = 1; i <= 5; ++i) {
    ASSERT_TRUE(pass_after(45001));
    EXPECT_EQ(check_pass_count, static_cast<uint32_t>(i));
  }
  EXPECT_EQ(count_kind(slot_kind::chain_test), 0);
  ASSERT_TRUE(pass_after(45001));
  EXPECT_EQ(check_pass_count, 0u);
  EXPECT_EQ(count_kind(slot_kind::chain_test), 1);
  EXPECT_EQ(count_kind(slot_kind::check), 0);
  // While it runs, the next sixth pass starts neither a test nor a check.
  for (int i = 0; i < 6; ++i) ASSERT_TRUE(pass_after(45001));
  EXPECT_EQ(check_pass_count, 0u);
  EXPECT_EQ(count_kind(slot_kind::chain_test), 1);
  EXPECT_EQ(count_kind(slot_kind::check), 0);
}

TEST_F(Maint, DownloadCycleSkipsTheUnusableUrl) {
  char urls[256] = "http://127.0.11.33:81/a\nhttps://127.0.11.33/b\nhttp://127.0.11.33:81/c\n";
  setting_str("download_urls", urls, sizeof urls, 1);
  int32_t now_min = static_cast<int32_t>(minute_clock());
  ASSERT_GT(now_min, 720);
  download_pass();
  EXPECT_EQ(count_kind(slot_kind::download), 1);
  download_pass();  // the secure one: skipped
  EXPECT_EQ(count_kind(slot_kind::download), 1);
  download_pass();
  EXPECT_EQ(count_kind(slot_kind::download), 2);
  download_pass();  // end of the list
  EXPECT_EQ(download_index, 0);
  EXPECT_EQ(setting_int("download_urls_time", -1, 0), now_min);
  EXPECT_EQ(download_due, now_min + 720);
  clock_advance(719u * 60000u);
  download_pass();
  EXPECT_EQ(count_kind(slot_kind::download), 2);
  clock_advance(60000u);
  download_pass();
  EXPECT_EQ(count_kind(slot_kind::download), 3);
}

// Names of the checker and of list hosts are looked up off the engine
// thread: the step waits for the answer and goes on with it.
TEST_F(Maint, NamedHostsWaitForTheirLookup) {
  gated_lookups lookups;
  char checker[64] = "http://checker.test/";
  setting_str("url_checker", checker, sizeof checker, 1);
  checker_location_reset();
  char urls[64] = "http://list.test:81/a\n";
  setting_str("download_urls", urls, sizeof urls, 1);

  myip_due_now = true;
  schedule_myip();
  EXPECT_EQ(count_kind(slot_kind::myip), 0);
  EXPECT_EQ(checker_addr(), 0u);
  download_pass();
  EXPECT_EQ(count_kind(slot_kind::download), 0);
  EXPECT_EQ(download_index, 0);
  EXPECT_EQ(lookup_pending(), 2);
  // Waiting steps ask no second time.
  myip_due_now = true;
  schedule_myip();
  download_pass();
  EXPECT_EQ(lookup_pending(), 2);
  EXPECT_EQ(count_kind(slot_kind::myip) + count_kind(slot_kind::download), 0);

  ASSERT_TRUE(gated_lookups::answer_all());
  // The list answer starts its download at once; the checker's makes the
  // public-address request due.
  EXPECT_EQ(count_kind(slot_kind::download), 1);
  EXPECT_EQ(download_index, 1);
  EXPECT_EQ(checker_addr(), addr_of("127.0.0.80"));
  EXPECT_TRUE(myip_due_now);
  schedule_myip();
  ASSERT_EQ(count_kind(slot_kind::myip), 1);
  for (int i = 1; i < SLOT_COUNT; ++i) {
    if (conn_table[i].sock == -1) continue;
    if (conn_table[i].kind == slot_kind::myip) {
      EXPECT_STREQ(conn_table[i].dest_host, "checker.test");
    }
    if (conn_table[i].kind == slot_kind::download) {
      EXPECT_STREQ(conn_table[i].dest_host, "list.test");
      EXPECT_EQ(conn_table[i].dest_port, 81);
    }
  }
}

TEST_F(Maint, CheckerWithoutAddressIsNotAsked) {
  gated_lookups lookups;
  char checker[64] = "http://none.test/";
  setting_str("url_checker", checker, sizeof checker, 1);
  checker_location_reset();
  myip_due_now = true;
  schedule_myip();
  ASSERT_TRUE(gated_lookups::answer_all());
  EXPECT_TRUE(myip_due_now);
  schedule_myip();  // the answer: no address, nothing to ask
  EXPECT_EQ(count_kind(slot_kind::myip), 0);
  EXPECT_EQ(public_addr, 0u);
  EXPECT_EQ(lookup_pending(), 0);
  // The next pass, 15 s on, looks the name up again.
  clock_advance(15001);
  schedule_myip();
  EXPECT_EQ(lookup_pending(), 1);
}

TEST_F(Maint, EmptyListIsLookedAtEveryHalfHour) {
  setting_int("download_urls_time", 5, 1);
  download_pass();
  int32_t now_min = static_cast<int32_t>(minute_clock());
  EXPECT_EQ(setting_int("download_urls_time", -1, 0), 0);
  EXPECT_EQ(download_due, now_min + 30);
  char urls[64] = "http://127.0.11.33:81/a\n";
  setting_str("download_urls", urls, sizeof urls, 1);
  clock_advance(29u * 60000u);
  download_pass();
  EXPECT_EQ(count_kind(slot_kind::download), 0);
  clock_advance(60000u);
  download_pass();
  EXPECT_EQ(count_kind(slot_kind::download), 1);
}

TEST_F(Maint, ForcedAndUnforcedWhileRunning) {
  checker_service_assume(checker_service::answers);
  uint32_t a = addr_of("127.0.11.34");
  EXPECT_EQ(start_check(a, 9, 0), 1);
  EXPECT_EQ(start_check(a, 9, 0), 0);  // running already
  EXPECT_EQ(start_check(a, 9, 1), 1);  // forced: it is running, nothing more
  EXPECT_EQ(count_kind(slot_kind::check), 1);
  // Checks are held while no checker has answered yet.
  checker_service_assume(checker_service::unknown);
  db_exec("INSERT INTO proxy(ip,port) VALUES(%u,10)", a);
  EXPECT_EQ(start_check(a, 10, 1), 1);
  EXPECT_EQ(count_kind(slot_kind::check), 1);
  EXPECT_EQ(db_rows("SELECT t_chk FROM proxy"), "0");
}

// A proxy that refuses SOCKS4 (0x5B), answers the SOCKS5 greeting and the
// connect in one delivery, drops the plain HTTP request, and grants a
// tunnel with a lower-case status line, its answer split in two deliveries.
TEST_F(Maint, CheckAgainstScriptedProxy) {
  std::string socks5_request, tunnel_judge;
  maint_scripted_peer proxy;
  ASSERT_TRUE(proxy.start("127.0.11.35", 0, [&](int fd) {
    char first = 0;
    if (read(fd, &first, 1) != 1) return;
    const std::string reply =
        "HTTP/1.0 200 OK\r\n\r\n<Reply>\n<REMOTE_ADDR>127.0.11.35</REMOTE_ADDR>\n</Reply>\n";
    if (first == 0x04) {
      char rest[8];
      (void)!read(fd, rest, 8);
      send_all(fd, std::string("\x00\x5B\x00\x00\x00\x00\x00\x00", 8));
    } else if (first == 0x05) {
      char rest[2];
      (void)!read(fd, rest, 2);
      send_all(fd, std::string("\x05\x00\x05\x00\x00\x01\x7f\x00\x00\x50\x00\x50", 12));
      std::string req = read_http(fd);
      socks5_request = req;
      send_all(fd, reply);
    } else if (first == 'C') {
      read_http(fd);
      send_all(fd, "http/1.1 200 Connection established\r\n\r\n");
      tunnel_judge = read_http(fd);
      // The answer in two deliveries: the block is read whole at close.
      send_all(fd, reply.substr(0, 30));
      usleep(50000);
      send_all(fd, reply.substr(30));
    } else {
      read_http(fd);  // the plain request: closed without an answer
    }
  }));
  uint32_t a = addr_of("127.0.11.35");
  db_exec("INSERT INTO proxy(ip,port,host,rank) VALUES(%u,%d,'scripted',30)", a, proxy.port);
  maint_push_channel panel;
  ASSERT_TRUE(panel.open(h->port));
  public_addr = addr_of("192.0.2.1");
  checker_service_assume(checker_service::answers);
  ASSERT_EQ(start_check(a, proxy.port, 1), 1);
  ASSERT_TRUE(maint_drive([&] { return count_kind(slot_kind::check) == 0; }));
  EXPECT_EQ(proxy.connections.load(), 4);
  // The connect request and the judge request followed in one go.
  ASSERT_GE(socks5_request.size(), 10u);
  EXPECT_EQ(socks5_request.substr(0, 10),
            std::string("\x05\x01\x00\x01\x7f\x00\x00\x50\x00\x50", 10));
  EXPECT_EQ(socks5_request.substr(10, 7), "POST / ");
  EXPECT_EQ(tunnel_judge.rfind("POST / HTTP/1.0\r\n", 0), 0u);
  std::string row = db_rows("SELECT type,n_err,rank,timeout>0 FROM proxy");
  EXPECT_EQ(row, "80,0,30,1");  // SOCKS5 | HTTPS, hides the user
  maint_drive([] { return false; }, 100, 20);
  std::string lines = panel.poll();
  std::string prefix = "<script type=\"text/javascript\">C([";
  EXPECT_NE(lines.find(prefix + "0," + std::to_string(a) + "," + std::to_string(proxy.port) +
                       ",64,0,null,0]);</script>\n"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find(prefix + "1," + std::to_string(a) + "," + std::to_string(proxy.port) +
                       ",64,80,null,"),
            std::string::npos)
      << lines;
}

TEST_F(Maint, ClosedPortIsNotWorking) {
  uint16_t port;
  int fd = listen_on("127.0.0.1", 0, &port);
  close(fd);  // nothing listens there now
  uint32_t a = addr_of("127.0.0.1");
  db_exec("INSERT INTO proxy(ip,port,host,rank,n_err) VALUES(%u,%d,'x',25,2)", a, port);
  public_addr = addr_of("192.0.2.1");
  checker_service_assume(checker_service::answers);
  ASSERT_EQ(start_check(a, port, 1), 1);
  ASSERT_TRUE(maint_drive([&] { return count_kind(slot_kind::check) == 0; }));
  EXPECT_EQ(db_rows("SELECT type,n_err,rank FROM proxy"), "1,3,15");
  EXPECT_EQ(failed_check_count, 1u);
}

}  // namespace

namespace {

// A SOCKS5 proxy that grants every request without connecting anywhere,
// twice over one connection (both hops of a chain test), and then answers
// the page request itself with `answer`.
struct chain_test_peer {
  maint_scripted_peer peer;
  std::string answer;
  std::string request;
  bool start() {
    return peer.start("127.0.11.36", 0, [this](int fd) {
      for (int hop = 0; hop < 2; ++hop) {
        char buf[16];
        if (!read_exact(fd, buf, 3, 3000)) return;
        send_all(fd, std::string("\x05\x00", 2));
        if (!read_exact(fd, buf, 10, 3000)) return;
        send_all(fd, std::string("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x50", 10));
      }
      request = read_http(fd);
      send_all(fd, answer);
    });
  }
};

class ChainTest : public Maint {
 protected:
  chain_test_peer peer;
  uint32_t a = addr_of("127.0.11.36");
  void SetUp() override {
    Maint::SetUp();
    site_list_use(
        "http://127.0.11.81/one.html##alpha#beta\n"
        "http://127.0.11.82/two.html##alpha#beta\n"
        "http://127.0.11.83/three.html##alpha#beta\n");
    ASSERT_TRUE(peer.start());
    db_exec("INSERT INTO proxy(ip,port,type,rank,t_chk) VALUES(%u,%d,16,10,Now())", a,
            peer.peer.port);
  }
  // Runs one chain test to its end; the host it went to.
  std::string run_test() {
    std::memset(recent_chain_hops, 0, sizeof recent_chain_hops);
    start_chain_test();
    std::string host;
    for (int i = 1; i < SLOT_COUNT; ++i)
      if (conn_table[i].sock != -1 && conn_table[i].kind == slot_kind::chain_test)
        host = conn_table[i].dest_host;
    maint_drive([] { return count_kind(slot_kind::chain_test) == 0; });
    return host;
  }
  std::string rank() { return db_rows("SELECT rank FROM proxy"); }
};

TEST_F(ChainTest, SiteOrder) {
  peer.answer = "HTTP/1.0 404 Not Found\r\n\r\nnothing here";
  clock_fake_enable(3000001, static_cast<uint64_t>(time(nullptr)) * 1000u);  // tick % 3 == 1
  EXPECT_EQ(run_test(), "127.0.11.82");
  EXPECT_EQ(run_test(), "127.0.11.83");
  EXPECT_EQ(site_next, 0);
  clock_fake_enable(3000000, static_cast<uint64_t>(time(nullptr)) * 1000u);  // random again: 0
  EXPECT_EQ(run_test(), "127.0.11.81");
  EXPECT_EQ(run_test(), "127.0.11.82");
  EXPECT_EQ(rank(), "10");  // nothing credited for a 404
}

TEST_F(ChainTest, PassingPageCreditsBothHops) {
  std::string page = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n";
  for (int i = 0; i < 12; ++i) page += "<p>Alpha and beta</p>\n";
  peer.answer = page;
  site_next = 2;
  EXPECT_EQ(run_test(), "127.0.11.83");
  EXPECT_EQ(peer.request.rfind("GET /three.html HTTP/1.0\r\nHost: 127.0.11.83\r\n", 0), 0u)
      << peer.request;
  EXPECT_EQ(peer.request.substr(peer.request.size() - 4), "\r\n\r\n");
  EXPECT_EQ(rank(), "13");  // the same proxy as both hops: +2 and +1
}

TEST_F(ChainTest, ShortAnswerIsNotJudged) {
  peer.answer = "HTTP/1.0 302 X\r\n";  // 16 bytes
  site_next = 1;
  EXPECT_EQ(run_test(), "127.0.11.82");
  EXPECT_STREQ(site_url(1), "http://127.0.11.82/two.html");
  EXPECT_EQ(rank(), "10");
}

TEST_F(ChainTest, RedirectMovesTheNextTest) {
  peer.answer = "HTTP/1.1 302 Found\r\nLocation: http://127.0.11.84/moved/page.html\r\n\r\n";
  site_next = 1;
  EXPECT_EQ(run_test(), "127.0.11.82");
  EXPECT_EQ(rank(), "10");
  site_next = 1;
  EXPECT_EQ(run_test(), "127.0.11.84");
  EXPECT_EQ(peer.request.rfind("GET /moved/page.html HTTP/1.0\r\nHost: 127.0.11.84\r\n", 0), 0u)
      << peer.request;
}

TEST_F(ChainTest, NamedSiteStartsWithItsAnswer) {
  gated_lookups lookups;
  peer.answer = "HTTP/1.0 404 Not Found\r\n\r\nnothing here";
  site_list_use("http://site.test/one.html##alpha#beta\nhttp://none.test/##alpha#beta\n");
  std::memset(recent_chain_hops, 0, sizeof recent_chain_hops);
  site_next = 0;
  start_chain_test();
  EXPECT_EQ(count_kind(slot_kind::chain_test), 0);
  EXPECT_EQ(lookup_pending(), 1);
  start_chain_test();  // one test at a time, waiting included
  EXPECT_EQ(lookup_pending(), 1);
  ASSERT_TRUE(gated_lookups::answer_all());
  ASSERT_EQ(count_kind(slot_kind::chain_test), 1);
  maint_drive([] { return count_kind(slot_kind::chain_test) == 0; });
  EXPECT_EQ(peer.request.rfind("GET /one.html HTTP/1.0\r\nHost: site.test\r\n", 0), 0u)
      << peer.request;
  // A site without an address: no test.
  EXPECT_EQ(site_next, 1);
  std::memset(recent_chain_hops, 0, sizeof recent_chain_hops);
  start_chain_test();
  EXPECT_EQ(lookup_pending(), 1);
  ASSERT_TRUE(gated_lookups::answer_all());
  EXPECT_EQ(count_kind(slot_kind::chain_test), 0);
}

TEST_F(ChainTest, UnresolvableSiteStartsNothing) {
  site_list_use("http://0.0.0.0/x##alpha#beta\n");
  std::memset(recent_chain_hops, 0, sizeof recent_chain_hops);
  start_chain_test();
  EXPECT_EQ(count_kind(slot_kind::chain_test), 0);
}

}  // namespace
