// Maintenance end to end on loopback: merovane-judge on 127.0.0.80 port 80,
// real proxies (microsocks, danted, tinyproxy) and a closed port, a list
// server and a local site standing in for the chain test's list. The engine
// runs on this thread with the test clock; everything it does is scheduled
// by the maintenance passes themselves.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

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
#include "tests/support/peers.h"

namespace {

uint32_t addr_of(const char* dotted) {
  return inet_addr(dotted);
}

std::string row_of(const char* ip, uint16_t port, const char* columns) {
  return db_rows(std::string("SELECT ") + columns + " FROM proxy WHERE ip=" +
                 std::to_string(addr_of(ip)) + " AND port=" + std::to_string(port));
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s + "\n";
  return out;
}

TEST(MaintPeers, ChecksDownloadsLookupsAndChainTest) {
  std::unique_ptr<peer_process> judge(start_judge("127.0.0.80"));
  ASSERT_TRUE(judge) << "merovane-judge did not start";
  const uint16_t ms_port = free_port("127.0.10.5"), dante_port = free_port("127.0.10.6"),
                 tiny_port = free_port("127.0.10.7");
  std::unique_ptr<peer_process> socks5(start_microsocks("127.0.10.5", ms_port, "127.0.10.2"));
  std::unique_ptr<peer_process> dante(start_danted("127.0.10.6", dante_port));
  // Adds Via, X-Forwarded-For (the user's address) and X-Tinyproxy headers.
  std::unique_ptr<peer_process> tiny(
      start_tinyproxy("127.0.10.7", tiny_port, "",
                      "Timeout 4\nMaxClients 50\nConnectPort 80\nBind 127.0.10.3\nXTinyproxy Yes\n"
                      "AddHeader \"X-Forwarded-For\" \"127.0.0.1\"\n"));
  ASSERT_TRUE(socks5 && dante && tiny);
  uint16_t dead_port = free_port("127.0.10.8");
  uint16_t lookup_port = free_port("127.0.0.1");

  // The list server and the stand-in site.
  maint_scripted_peer lists;
  ASSERT_TRUE(lists.start("127.0.10.9", 0, [&](int fd) {
    read_http(fd);
    send_all(fd,
             "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n<td>127.0.0.1</td><td>40001</td>\n"
             "127.0.0.1:21\n");
  }));
  std::string site_request;
  maint_scripted_peer site;
  ASSERT_TRUE(site.start("127.0.10.81", 80, [&](int fd) {
    site_request = read_http(fd);
    send_all(fd, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html>" + repeat("alpha", 12) +
                     repeat("Beta", 12) + "</html>");
  }));

  clock_fake_enable(1000000, static_cast<uint64_t>(time(nullptr)) * 1000u);
  db_temp t;
  ASSERT_TRUE(db_temp_open(t));
  engine_harness h;
  scheduler_reset();
  checker_reset();
  checker_location_reset();
  last_chain_ok = 0;
  char url[64] = "http://127.0.0.80/";
  setting_str("url_checker", url, sizeof url, 1);
  setting_int("block_transparent", 1, 1);
  char urls[128];
  snprintf(urls, sizeof urls, "http://127.0.10.9:%u/list.txt\n", lists.port);
  setting_str("download_urls", urls, sizeof urls, 1);
  site_list_use("http://127.0.10.81/index.html##alpha#beta\n");
  db_exec(
      "INSERT INTO proxy(ip,port,host,rank) VALUES(%u,%d,'socks5',20),(%u,%d,'dante',20),"
      "(%u,%d,'tiny',20),(%u,%d,'dead',20),(%u,%d,'',20)",
      addr_of("127.0.10.5"), ms_port, addr_of("127.0.10.6"), dante_port, addr_of("127.0.10.7"),
      tiny_port, addr_of("127.0.10.8"), dead_port, addr_of("127.0.0.1"), lookup_port);

  maint_push_channel panel;
  ASSERT_TRUE(panel.open(h.port));
  panel_push_time = tick_now();

  // The public address first, then the I line.
  ASSERT_TRUE(maint_drive([] { return public_addr != 0; }, 100, 20000, 30000));
  EXPECT_EQ(public_addr, addr_of("127.0.0.1"));
  maint_drive([] { return false; }, 100, 10);
  EXPECT_NE(
      panel.poll().find("<script type=\"text/javascript\">I(16777343,\"127.0.0.1\");</script>\n"),
      std::string::npos);

  // Every proxy checked, the list downloaded and imported.
  auto all_checked = [] {
    return db_rows("SELECT count(*) FROM proxy WHERE t_chk=0") == "0" &&
           db_rows("SELECT count(*) FROM proxy WHERE port=40001") == "1";
  };
  ASSERT_TRUE(maint_drive(all_checked, 100, 200000, 120000))
      << db_rows("SELECT ip,port,type,t_chk FROM proxy");

  EXPECT_EQ(row_of("127.0.10.5", ms_port, "type,n_err"), "16,0");      // SOCKS5, hides the user
  EXPECT_EQ(row_of("127.0.10.6", dante_port, "type,n_err"), "24,0");   // SOCKS4 | SOCKS5
  EXPECT_EQ(row_of("127.0.10.7", tiny_port, "type,blocked"), "98,1");  // HTTP | HTTPS | TRANSPARENT
  EXPECT_EQ(row_of("127.0.10.8", dead_port, "type,n_err,rank"), "1,1,10");
  EXPECT_EQ(row_of("127.0.0.1", 40001, "count(*)"), "1");  // imported from the list
  EXPECT_EQ(row_of("127.0.0.1", 21, "count(*)"), "0");     // below the lower port limit
  EXPECT_GE(lists.connections.load(), 1);

  // The reverse lookup of the nameless proxy.
  ASSERT_TRUE(maint_drive([&] { return row_of("127.0.0.1", lookup_port, "host") != ""; }, 100, 5000,
                          10000));
  EXPECT_EQ(row_of("127.0.0.1", lookup_port, "host"), "localhost");

  // The flow channel saw progress and final lines.
  const std::string& lines = panel.poll();
  std::string c = "<script type=\"text/javascript\">C([";
  EXPECT_NE(lines.find(c + "0," + std::to_string(addr_of("127.0.10.5")) + "," +
                       std::to_string(ms_port) + ",64,0,null,0]);"),
            std::string::npos);
  EXPECT_NE(lines.find(c + "1," + std::to_string(addr_of("127.0.10.6")) + "," +
                       std::to_string(dante_port) + ",64,24,null,"),
            std::string::npos);
  EXPECT_NE(lines.find(c + "1," + std::to_string(addr_of("127.0.10.8")) + "," +
                       std::to_string(dead_port) + ",64,1,null,0]);"),
            std::string::npos);

  // A chain test through two of the working proxies reaches the site and
  // credits both (first +2, second +1).
  ASSERT_TRUE(maint_drive(
      [] {
        return db_rows("SELECT sum(rank) FROM proxy WHERE ip IN(" +
                       std::to_string(addr_of("127.0.10.5")) + "," +
                       std::to_string(addr_of("127.0.10.6")) + ")") == "43";
      },
      100, 200000, 120000))
      << db_rows("SELECT ip,port,rank FROM proxy") << " site saw: " << site_request;
  EXPECT_EQ(site_request.rfind("GET /index.html HTTP/1.0\r\nHost: 127.0.10.81\r\n", 0), 0u);

  resolver_stop();
  site_list_use(nullptr);
  checker_location_reset();
  db_temp_close(t);
  clock_fake_disable();
}

}  // namespace
