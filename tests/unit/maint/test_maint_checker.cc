// The checker's pure pieces: reply parsing and items, judge requests,
// panel lines, the checker location, download entries, site list and page
// judging. No sockets are opened here.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "chain/negotiate.h"
#include "db/db.h"
#include "maintenance/chaintest.h"
#include "maintenance/checker.h"
#include "maintenance/download.h"
#include "maintenance/import.h"
#include "maintenance/myip.h"
#include "maintenance/scheduler.h"
#include "tests/support/db_temp.h"
#include "tests/support/engine_harness.h"

namespace {

uint32_t addr_of(const char* dotted) {
  return inet_addr(dotted);
}

void parse(const std::string& text, check_record* rec) {
  parse_reply(reinterpret_cast<const uint8_t*>(text.data()), text.size(), rec);
}

check_record record_at(uint8_t step) {
  check_record r{};
  r.step = step;
  r.ip = addr_of("10.0.0.9");
  r.port = 3128;
  return r;
}

class Reply : public ::testing::Test {
 protected:
  void SetUp() override {
    scheduler_reset();
    checker_reset();
    public_addr = addr_of("1.2.3.4");
  }
};

TEST_F(Reply, Socks4OnlyWithOwnAddressIsSocks4Alone) {
  check_record r = record_at(CHECK_SOCKS4);
  parse("HTTP/1.0 200 OK\r\n\r\n<Reply>\n<REMOTE_ADDR>10.0.0.9</REMOTE_ADDR>\n</Reply>\n", &r);
  EXPECT_EQ(r.verdict, 0x08);
  r.verdict |= 0;  // the other steps add nothing
  r.step = CHECK_HTTPS;
  // record_check_result normalises; without a database it still finishes.
  record_check_result(&r);
  EXPECT_EQ(r.verdict, 0x08);
  EXPECT_EQ(r.finished, 1);
}

TEST_F(Reply, UserAddressInExtraItemIsTransparentNotAnonymous) {
  check_record r = record_at(CHECK_HTTP);
  parse(
      "<Reply>\n<REMOTE_ADDR>10.0.0.9</REMOTE_ADDR>\n<HTTP_X_FORWARDED_FOR>1.2.3.4</"
      "HTTP_X_FORWARDED_FOR>\n</Reply>",
      &r);
  EXPECT_EQ(r.verdict, 0x20 | 0x04 | 0x02);
  record_check_result(&r);
  EXPECT_EQ(r.verdict, 0x20 | 0x02);
}

TEST_F(Reply, LongerAddressHoldingThePublicOneMatches) {
  check_record r = record_at(CHECK_SOCKS5);
  parse("<Reply>\n<REMOTE_ADDR>11.2.3.45</REMOTE_ADDR>\n</Reply>", &r);
  EXPECT_EQ(r.verdict, 0x10 | 0x02);
}

TEST_F(Reply, BackToBackItemsLoseTheSecond) {
  check_record r = record_at(CHECK_HTTP);
  parse("<Reply><REMOTE_ADDR>10.0.0.9</REMOTE_ADDR><VIA>x</VIA></Reply>", &r);
  EXPECT_EQ(r.verdict, 0x20);  // VIA was not read
  r = record_at(CHECK_HTTP);
  parse("<Reply><REMOTE_ADDR>10.0.0.9</REMOTE_ADDR>\n<VIA>x</VIA></Reply>", &r);
  EXPECT_EQ(r.verdict, 0x20 | 0x04);
}

TEST_F(Reply, TagLengthLimit) {
  std::string t60(60, 'a'), t61(61, 'a');
  check_record r = record_at(CHECK_HTTP);
  parse("<Reply>\n<" + t61 + ">v</" + t61 + ">\n</Reply>", &r);
  EXPECT_EQ(r.verdict, 0);
  parse("<Reply>\n<" + t60 + ">v</" + t60 + ">\n</Reply>", &r);
  EXPECT_EQ(r.verdict, 0x20 | 0x04);
}

TEST_F(Reply, MalformedItemsAreSkipped) {
  check_record r = record_at(CHECK_HTTP);
  parse("<Reply>\n<VIA>x</via>\n<A>b>c</A>\n<B>x</C>\n</Reply>", &r);
  EXPECT_EQ(r.verdict, 0);
  parse("<reply>\n<VIA>x</VIA>\n</reply>", &r);  // exact case of the block tags
  EXPECT_EQ(r.verdict, 0);
  parse(std::string("<Reply>\n\0<VIA>x</VIA>\n</Reply>", 27), &r);  // a NUL ends the search
  EXPECT_EQ(r.verdict, 0);
}

TEST_F(Reply, ReplyTimeIsTheLargestElapsed) {
  check_record r = record_at(CHECK_HTTP);
  r.step_started = 1;  // long ago on the tick counter
  parse("<Reply>\n<REMOTE_ADDR>10.0.0.9</REMOTE_ADDR>\n</Reply>", &r);
  EXPECT_GT(r.reply_ms, 0u);
}

TEST_F(Reply, ControlItems) {
  parse("<Reply>\n<delay_proxy>3</delay_proxy>\n<DELAY_MYIP> 77 </DELAY_MYIP>\n</Reply>", nullptr);
  EXPECT_EQ(delay_proxy, 3);
  EXPECT_EQ(delay_myip, 77);
  EXPECT_FALSE(checks_denied);
  parse("<Reply>\n<delay_proxy>0</delay_proxy>\n<deny_checks>-1</deny_checks>\n</Reply>", nullptr);
  EXPECT_EQ(delay_proxy, 3);
  EXPECT_FALSE(checks_denied);
  parse("<Reply>\n<deny_checks>1</deny_checks>\n</Reply>", nullptr);
  EXPECT_TRUE(checks_denied);
  EXPECT_EQ(start_check(addr_of("10.0.0.9"), 3128, 1), 0);  // not even forced
}

// A reply that came back through the proxy under check may be the proxy's
// own forgery: its control items move nothing and count for nothing.
TEST_F(Reply, ControlItemsThroughAProxyAreIgnored) {
  check_record r = record_at(CHECK_HTTP);
  parse(
      "<Reply>\n<REMOTE_ADDR>10.0.0.9</REMOTE_ADDR>\n<delay_proxy>1</delay_proxy>\n"
      "<delay_myip>1</delay_myip>\n<deny_checks>1</deny_checks>\n</Reply>",
      &r);
  EXPECT_EQ(delay_proxy, 10);
  EXPECT_EQ(delay_myip, 600);
  EXPECT_FALSE(checks_denied);
  EXPECT_EQ(r.verdict, 0x20);  // still elite: control items are not revealing headers
  // Control items in the echo formats never count, not even on the direct request.
  parse("HTTP/1.0 200 OK\r\n\r\nREMOTE_ADDR = 1.2.3.4\ndeny_checks = 1\ndelay_proxy = 1\n",
        nullptr);
  parse("{\"origin\": \"1.2.3.4\", \"deny_checks\": 1, \"delay_proxy\": \"1\"}", nullptr);
  EXPECT_FALSE(checks_denied);
  EXPECT_EQ(delay_proxy, 10);
}

TEST_F(Reply, NameValueLines) {
  public_addr = 0;
  parse(
      "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body><pre>\n"
      "HTTP_HOST = judge\nHTTP_USER_AGENT = Merovane\nREMOTE_ADDR = 198.51.100.7<br>\n"
      "REQUEST_METHOD = POST</pre></body></html>",
      nullptr);
  EXPECT_EQ(public_addr, addr_of("198.51.100.7"));
  public_addr = addr_of("1.2.3.4");
  // Elite: only the proxy's address and headers that reveal nothing.
  check_record r = record_at(CHECK_HTTP);
  parse("REMOTE_ADDR = 10.0.0.9\nHTTP_ACCEPT = */*\nHTTP_USER_AGENT = 1.2.3.4\n", &r);
  EXPECT_EQ(r.verdict, 0x20);
  // Anonymous: a Via header.
  r = record_at(CHECK_HTTP);
  parse("<tr><td>REMOTE_ADDR = 10.0.0.9</td></tr><tr><td>HTTP_VIA = 1.1 squid</td></tr>", &r);
  EXPECT_EQ(r.verdict, 0x20 | 0x04);
  // Transparent: the user's address forwarded.
  r = record_at(CHECK_HTTP);
  parse("REMOTE_ADDR = 10.0.0.9\r\nHTTP_X_FORWARDED_FOR = 1.2.3.4\r\n", &r);
  record_check_result(&r);
  EXPECT_EQ(r.verdict, 0x20 | 0x02);
  // Nothing of the kind: the step did not work.
  r = record_at(CHECK_HTTP);
  parse("HTTP/1.0 403 Forbidden\r\n\r\n<html>Access denied = yes</html>", &r);
  EXPECT_EQ(r.verdict, 0);
}

TEST_F(Reply, JsonObject) {
  public_addr = 0;
  parse(
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n\r\n"
      "{\n  \"args\": {}, \"data\": \"\", \"files\": {}, \"form\": {\"myip\": \"1\"},\n"
      "  \"headers\": {\"Host\": \"judge\", \"User-Agent\": \"Merovane\"},\n"
      "  \"json\": null, \"origin\": \"198.51.100.7\", \"url\": \"http://judge/post\"\n}\n",
      nullptr);
  EXPECT_EQ(public_addr, addr_of("198.51.100.7"));
  public_addr = addr_of("1.2.3.4");
  check_record r = record_at(CHECK_HTTP);
  parse(
      "{\"headers\": {\"Accept\": \"*/*\", \"X-Note\": [1, {\"a\": \"1.2.3.4\"}]}, "
      "\"origin\": \"10.0.0.9\"}",
      &r);
  EXPECT_EQ(r.verdict, 0x20);  // elite
  r = record_at(CHECK_HTTP);
  parse("{\"headers\": {\"Proxy-Connection\": \"keep-alive\"}, \"origin\": \"10.0.0.9\"}", &r);
  EXPECT_EQ(r.verdict, 0x20 | 0x04);  // anonymous
  // The user's address before the proxy's in "origin": forwarded, transparent.
  r = record_at(CHECK_HTTP);
  parse("{\"origin\": \"1.2.3.4, 10.0.0.9\", \"headers\": {}}", &r);
  record_check_result(&r);
  EXPECT_EQ(r.verdict, 0x20 | 0x02);
  // Broken JSON gives what was read before the fault, and no crash.
  r = record_at(CHECK_HTTP);
  parse("{\"origin\": \"10.0.0.9\", \"headers\": {\"Via\": ", &r);
  EXPECT_EQ(r.verdict, 0x20);
}

TEST_F(Reply, RemoteAddrForms) {
  public_addr = 0;
  parse("<Reply>\n<REMOTE_ADDR>1..3.4</REMOTE_ADDR>\n</Reply>", nullptr);
  EXPECT_EQ(public_addr, addr_of("1.0.3.4"));
  public_addr = 0;
  parse("<Reply>\n<REMOTE_ADDR>1.2.3.4.5</REMOTE_ADDR>\n</Reply>", nullptr);
  EXPECT_EQ(public_addr, 0u);
  parse("<Reply>\n<remote_addr>\r\n 192.0.2.7 \t</remote_addr>\n</Reply>", nullptr);
  EXPECT_EQ(public_addr, addr_of("192.0.2.7"));
  uint32_t a = 0;
  EXPECT_FALSE(parse_dotted_quad("1.2.3.256", &a));
  EXPECT_FALSE(parse_dotted_quad("1.2.3", &a));
  EXPECT_FALSE(parse_dotted_quad("1.2.3.x", &a));
}

TEST_F(Reply, CheckLineNeutralisesTheName) {
  check_record r = record_at(CHECK_HTTPS);
  r.finished = 1;
  r.verdict = 0x24;
  r.reply_ms = 345;
  char line[512];
  format_check_line(line, sizeof line, "a\"b'c\\d<e>f", &r);
  EXPECT_STREQ(line,
               "<script type=\"text/javascript\">C([1,150994954,3128,64,36,\"a_b_c_d_e_f\",345]);"
               "</script>\n");
  r.verdict = 0x01;
  format_check_line(line, sizeof line, nullptr, &r);
  EXPECT_STREQ(line,
               "<script type=\"text/javascript\">C([1,150994954,3128,64,1,null,0]);</script>\n");
  std::string long_name(400, 'n');
  format_check_line(line, sizeof line, long_name.c_str(), &r);
  EXPECT_NE(std::string(line).find("\"" + std::string(253, 'n') + "\""), std::string::npos);
}

TEST_F(Reply, MyipLine) {
  char line[128];
  format_myip_line(line, sizeof line, addr_of("127.0.0.1"));
  EXPECT_STREQ(line, "<script type=\"text/javascript\">I(16777343,\"127.0.0.1\");</script>\n");
}

// ---- with a database ---------------------------------------------------------

class WithDb : public Reply {
 protected:
  db_temp t;
  void SetUp() override {
    Reply::SetUp();
    ASSERT_TRUE(db_temp_open(t));
    checker_location_reset();
  }
  void TearDown() override {
    checker_location_reset();
    db_temp_close(t);
  }
  void set_url(const char* url) {
    char buf[512];
    snprintf(buf, sizeof buf, "%s", url);
    setting_str("url_checker", buf, strlen(buf) + 1, 1);
    checker_location_reset();
  }
};

TEST_F(WithDb, CheckerLocation) {
  set_url("ab");
  EXPECT_STREQ(checker_url(), checker_default_url());
  set_url("http://judge.example:8081/q/azenv.php?x=1");
  EXPECT_STREQ(checker_host(), "judge.example");
  EXPECT_STREQ(checker_path(), "/q/azenv.php?x=1");
  set_url("HTTP://127.0.0.80");
  EXPECT_STREQ(checker_host(), "127.0.0.80");
  EXPECT_STREQ(checker_path(), "");
  EXPECT_EQ(checker_addr(), addr_of("127.0.0.80"));
  // The request line still names a target.
  char* req = judge_request(nullptr, judge_form::path_only);
  ASSERT_NE(req, nullptr);
  EXPECT_EQ(std::string(req).rfind("POST / HTTP/1.0\r\nHost: 127.0.0.80\r\n", 0), 0u);
  std::free(req);
  // A changed setting takes effect when the location is moved.
  char buf[64] = "http://other.example/";
  setting_str("url_checker", buf, sizeof buf, 1);
  EXPECT_STREQ(checker_host(), "127.0.0.80");
  public_addr = addr_of("1.2.3.4");
  checker_location_moved();
  EXPECT_STREQ(checker_host(), "other.example");
  EXPECT_EQ(public_addr, 0u);
  EXPECT_TRUE(myip_due_now);
}

TEST_F(WithDb, SeveralCheckerUrlsAreTriedInOrder) {
  set_url("http://127.0.0.81/a \n\n http://127.0.0.82/b\thttp://127.0.0.83/c\n");
  EXPECT_STREQ(checker_url(), "http://127.0.0.81/a");
  EXPECT_TRUE(checker_try_next());
  EXPECT_STREQ(checker_url(), "http://127.0.0.82/b");
  EXPECT_EQ(checker_addr(), addr_of("127.0.0.82"));
  EXPECT_TRUE(checker_try_next());
  EXPECT_STREQ(checker_host(), "127.0.0.83");
  EXPECT_STREQ(checker_path(), "/c");
  EXPECT_FALSE(checker_try_next());  // back to the first
  EXPECT_STREQ(checker_url(), "http://127.0.0.81/a");
}

TEST_F(WithDb, JudgeRequestForms) {
  set_url("http://127.0.0.80/judge");
  check_record r = record_at(CHECK_HTTP);
  r.proxy_ref = 42;
  char* full = judge_request(&r, judge_form::full_url);
  char* path = judge_request(&r, judge_form::path_only);
  ASSERT_NE(full, nullptr);
  ASSERT_NE(path, nullptr);
  std::string f = full, p = path;
  EXPECT_EQ(f.rfind("POST http://127.0.0.80/judge HTTP/1.0\r\n", 0), 0u);
  EXPECT_EQ(p.rfind("POST /judge HTTP/1.0\r\n", 0), 0u);
  std::string body = "proxy=10.0.0.9&port=3128&ref=42";
  EXPECT_NE(p.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
  EXPECT_EQ(p.substr(p.size() - body.size()), body);
  // The same ordinary browser lines the chain sends, nothing naming us.
  EXPECT_NE(p.find(client_id_line(0)), std::string::npos);
  EXPECT_NE(p.find("User-Agent: Mozilla/5.0 ("), std::string::npos);
  EXPECT_EQ(p.find("Merovane"), std::string::npos);
  std::free(full);
  std::free(path);
}

TEST_F(WithDb, UrlCheckerItemIsStoredWhole) {
  std::string value = "http://127.0.0.80/" + std::string(282, 'x');
  ASSERT_EQ(value.size(), 300u);
  parse("<Reply>\n<url_checker>" + value + "</url_checker>\n</Reply>", nullptr);
  char buf[1024] = "";
  setting_str("url_checker", buf, sizeof buf, 0);
  EXPECT_EQ(std::string(buf), value);
}

// The list is imported in batches between engine cycles.
TEST_F(WithDb, ProxyListItemImportsWithoutPortLimit) {
  engine_harness engine;
  parse("<Reply>\n<proxy_list>10.1.1.1:21 10.1.1.2:3128</proxy_list>\n</Reply>", nullptr);
  EXPECT_EQ(import_pending(), 1);
  engine.run_until([] { return import_pending() == 0; }, 2000);
  char* n = db_query_text("", "", "SELECT count(*) FROM proxy");
  ASSERT_NE(n, nullptr);
  EXPECT_STREQ(n, "2");
  std::free(n);
}

TEST_F(WithDb, ResultStatementAndPurge) {
  db_exec("INSERT INTO proxy(ip,port,rank,n_err,t_ok) VALUES(%u,%d,25,3,0)", addr_of("10.0.0.9"),
          3128);
  check_record r = record_at(CHECK_HTTPS);
  record_check_result(&r);  // nothing gathered: not working
  char* row = db_query_text(",", "", "SELECT type,rank,n_err,timeout FROM proxy");
  ASSERT_NE(row, nullptr);
  EXPECT_STREQ(row, "1,15,4,0");
  std::free(row);
  r = record_at(CHECK_HTTPS);
  r.verdict = 0x40;
  r.reply_ms = 120;
  record_check_result(&r);
  row = db_query_text(",", "", "SELECT type,rank,n_err,timeout,t_ok>0 FROM proxy");
  EXPECT_STREQ(row, "64,15,0,120,1");
  std::free(row);
  // Ten failures with delete_dead 0: the count restarts, nothing is purged.
  setting_int("delete_dead", 0, 1);
  failed_check_count = 0;
  db_exec("UPDATE proxy SET rank=0,n_err=9,t_ok=0");
  for (int i = 0; i < 10; ++i) {
    r = record_at(CHECK_HTTPS);
    record_check_result(&r);
  }
  EXPECT_EQ(failed_check_count, 0u);
  EXPECT_EQ(db_exec("SELECT ip FROM proxy"), 1u);
  setting_int("delete_dead", 1, 1);
  for (int i = 0; i < 10; ++i) {
    r = record_at(CHECK_HTTPS);
    record_check_result(&r);
  }
  EXPECT_EQ(db_exec("SELECT ip FROM proxy"), 0u);
}

TEST_F(WithDb, TransparentIsBlockedOnlyWhenAsked) {
  db_exec("INSERT INTO proxy(ip,port) VALUES(%u,%d)", addr_of("10.0.0.9"), 3128);
  check_record r = record_at(CHECK_HTTPS);
  r.verdict = 0x40 | 0x02;
  record_check_result(&r);
  EXPECT_EQ(db_exec("SELECT ip FROM proxy WHERE blocked=1"), 0u);
  setting_int("block_transparent", 1, 1);
  r = record_at(CHECK_HTTPS);
  r.verdict = 0x40 | 0x02;
  record_check_result(&r);
  EXPECT_EQ(db_exec("SELECT ip FROM proxy WHERE blocked=1"), 1u);
}

TEST_F(WithDb, DownloadEntries) {
  char urls[512] =
      "HTTP://127.0.0.9:8080\r\n\r\nhttps://127.0.0.9/list\nhttp:///x\nhttp://127.0.0.9 : "
      "81list.txt\n";
  setting_str("download_urls", urls, sizeof urls, 1);
  download_entry e;
  ASSERT_TRUE(download_url_entry(0, &e));
  EXPECT_STREQ(e.host, "127.0.0.9");
  EXPECT_EQ(e.port, 8080);
  EXPECT_STREQ(e.path, "/");
  EXPECT_EQ(e.addr, addr_of("127.0.0.9"));
  ASSERT_TRUE(download_url_entry(1, &e));  // the secure scheme is not usable
  EXPECT_EQ(e.host[0], 0);
  EXPECT_EQ(e.addr, 0u);
  ASSERT_TRUE(download_url_entry(2, &e));  // empty host
  EXPECT_EQ(e.addr, 0u);
  ASSERT_TRUE(download_url_entry(3, &e));
  EXPECT_EQ(e.port, 81);
  EXPECT_STREQ(e.path, "/list.txt");
  EXPECT_FALSE(download_url_entry(4, &e));
}

// ---- chain test: sites and pages -------------------------------------------

class Sites : public ::testing::Test {
 protected:
  void SetUp() override {
    site_list_use(
        "http://127.0.0.81/a.html##alpha#beta\n"
        "http://127.0.0.82/b/c?d=1###gamma\n"
        "http://127.0.0.83#x#y#\n");
  }
  void TearDown() override { site_list_use(nullptr); }
};

TEST_F(Sites, Accessors) {
  EXPECT_EQ(site_count(), 3);
  char buf[256];
  EXPECT_STREQ(site_url(1), "http://127.0.0.82/b/c?d=1");
  ASSERT_TRUE(site_host(1, buf, sizeof buf));
  EXPECT_STREQ(buf, "127.0.0.82");
  ASSERT_TRUE(site_path(1, buf, sizeof buf));
  EXPECT_STREQ(buf, "/b/c?d=1");
  ASSERT_TRUE(site_markers(0, buf, sizeof buf));
  EXPECT_STREQ(buf, "alpha#beta");
  ASSERT_TRUE(site_host(2, buf, sizeof buf));
  EXPECT_STREQ(buf, "127.0.0.83");
  ASSERT_TRUE(site_path(2, buf, sizeof buf));
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(site_url(3), nullptr);
  EXPECT_FALSE(site_host(-1, buf, sizeof buf));
}

TEST_F(Sites, RedirectMovesTheSite) {
  std::string answer =
      "HTTP/1.1 302 Found\r\nServer: x\r\nlocation :  http://127.0.0.84:80/moved/page\r\n\r\n";
  EXPECT_FALSE(chain_test_judge(0, reinterpret_cast<const uint8_t*>(answer.data()), answer.size()));
  char buf[256];
  EXPECT_STREQ(site_url(0), "http://127.0.0.84:80/moved/page");
  site_host(0, buf, sizeof buf);
  EXPECT_STREQ(buf, "127.0.0.84:80");
  site_path(0, buf, sizeof buf);
  EXPECT_STREQ(buf, "/moved/page");
  // A redirect to another scheme is ignored.
  answer = "HTTP/1.0 301 Moved\r\nLocation: https://127.0.0.85/\r\n\r\n";
  chain_test_judge(1, reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
  EXPECT_STREQ(site_url(1), "http://127.0.0.82/b/c?d=1");
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s + " ";
  return out;
}

bool markers_pass(const char* markers, const std::string& body) {
  return chain_test_markers_pass(markers, body.c_str());
}

TEST_F(Sites, MarkerCounting) {
  EXPECT_TRUE(markers_pass("alpha#beta", repeat("ALPHA", 12) + repeat("beta", 12)));
  EXPECT_FALSE(markers_pass("alpha#beta", repeat("alpha", 40) + repeat("beta", 2)));
  EXPECT_FALSE(markers_pass("alpha", repeat("alpha", 40)));  // no "#": k = 0
  // Two "#": the average is taken over two although the third marker is empty.
  EXPECT_FALSE(markers_pass("alpha#beta#", repeat("alpha", 9) + repeat("beta", 9)));
  EXPECT_TRUE(markers_pass("alpha#beta#", repeat("alpha", 10) + repeat("beta", 10)));
  EXPECT_TRUE(markers_pass("aa#", "aaaaaaaaaaa"));  // overlapping: 10 matches
  std::string page = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + repeat("alpha", 12) +
                     repeat("beta", 12);
  EXPECT_TRUE(chain_test_judge(0, reinterpret_cast<const uint8_t*>(page.data()), page.size()));
  page = "http/1.0 200 OK\r\n\r\n" + repeat("alpha", 12) + repeat("beta", 12);
  EXPECT_TRUE(chain_test_judge(0, reinterpret_cast<const uint8_t*>(page.data()), page.size()));
  page = "HTTP/1.0 404 Not here\r\n\r\n" + repeat("alpha", 12) + repeat("beta", 12);
  EXPECT_FALSE(chain_test_judge(0, reinterpret_cast<const uint8_t*>(page.data()), page.size()));
  page = "HTTP/x 200 OK\r\n\r\n" + repeat("alpha", 12) + repeat("beta", 12);
  EXPECT_FALSE(chain_test_judge(0, reinterpret_cast<const uint8_t*>(page.data()), page.size()));
}

TEST_F(Sites, BuiltInListIsWellFormed) {
  site_list_use(nullptr);
  ASSERT_GE(site_count(), 2);
  for (int i = 0; i < site_count(); ++i) {
    char host[256], path[256], markers[256];
    ASSERT_TRUE(site_host(i, host, sizeof host));
    ASSERT_TRUE(site_path(i, path, sizeof path));
    ASSERT_TRUE(site_markers(i, markers, sizeof markers));
    EXPECT_EQ(std::string(site_url(i)).rfind("http://", 0), 0u) << i;
    EXPECT_GT(strlen(host), 3u);
    EXPECT_EQ(path[0], '/');
    EXPECT_NE(strchr(markers, '#'), nullptr);
    // Words of the page, not markup every page (and every error page) holds.
    for (const char* m = markers; *m != 0; m += strcspn(m, "#") + (m[strcspn(m, "#")] != 0)) {
      const std::string marker(m, strcspn(m, "#"));
      EXPECT_GE(marker.size(), 2u) << markers;
      EXPECT_EQ(marker.find_first_of("<>/"), std::string::npos) << markers;
    }
  }
  // A typical proxy error page earns nothing against any built-in site.
  const std::string error_page =
      "<!DOCTYPE html><html><head><title>502 Bad Gateway</title></head><body><h1>Bad Gateway"
      "</h1><p>The proxy server could not handle the request <em><a href=\"/\">GET "
      "http://example.test/</a></em>.</p><p>Reason: <strong>Error reading from remote server"
      "</strong></p><hr><address>Proxy at proxy.example Port 3128</address></body></html>\n";
  for (int i = 0; i < site_count(); ++i) {
    char markers[256];
    ASSERT_TRUE(site_markers(i, markers, sizeof markers));
    EXPECT_FALSE(chain_test_markers_pass(markers, (error_page + error_page).c_str())) << markers;
  }
}

}  // namespace
