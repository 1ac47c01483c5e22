// The network status page built from slots set up by hand.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "chain/route.h"
#include "db/db.h"
#include "engine/slot.h"
#include "maintenance/checker.h"
#include "panel/status.h"
#include "platform/clock.h"
#include "tests/support/panel_support.h"

namespace {

constexpr uint32_t NOW = 1'000'000;

class PanelStatus : public ::testing::Test {
 protected:
  void SetUp() override {
    panel_test_clear_table();
    clock_fake_enable(NOW, 1'600'000'000'000ull);
    use(0, slot_kind::listen, 3);
    snprintf(reinterpret_cast<char*>(conn_table[0].route), ROUTE_SIZE,
             "Listening 127.0.0.1 port 8080");
  }
  void TearDown() override {
    clock_fake_disable();
    panel_test_clear_table();
    db_close();
  }
  static conn_slot& use(int i, slot_kind kind, int sock) {
    conn_slot& s = conn_table[i];
    s.sock = sock;
    s.kind = kind;
    s.serial = static_cast<uint32_t>(i + 1);
    s.started = NOW;
    s.last_activity = NOW;
    return s;
  }
  static std::string page() {
    char* text = status_page();
    std::string out = text ? text : "";
    free(text);
    return out;
  }
  static std::string row_of(const conn_slot& slot) {
    char* text = status_row_start(slot);
    std::string out = text ? text : "";
    free(text);
    return out;
  }
  static int rows(const std::string& p) {
    int n = 0;
    for (size_t at = p.find("<tr>"); at != std::string::npos; at = p.find("<tr>", at + 1)) ++n;
    return n - 1;  // the heading row
  }
  static void set_hop(route_record& r, int i, uint16_t type, const char* dotted, uint16_t port) {
    unsigned a, b, c, d;
    sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d);
    hop h{type, port, a | b << 8 | c << 16 | d << 24};
    memcpy(&r.hops[i], &h, sizeof h);
  }
};

TEST_F(PanelStatus, OnlyTheListener) {
  std::string p = page();
  EXPECT_EQ(rows(p), 1);
  EXPECT_NE(p.find("<td>Listen</td>"), std::string::npos);
  EXPECT_NE(p.find("<td>Listening 127.0.0.1 port 8080</td></tr>"), std::string::npos);
  EXPECT_NE(p.find("1 of 2048 connections in use (0%)"), std::string::npos);
}

TEST_F(PanelStatus, AgesRoundToTheNearestSecond) {
  conn_slot& a = use(1, slot_kind::myip, 4);
  a.started = NOW - 1499;
  a.last_activity = NOW - 1500;
  char* row = status_row_start(a);
  EXPECT_NE(std::string(row).find("<td>Get My IP</td><td>1</td><td>2</td>"), std::string::npos)
      << row;
  free(row);
  a.started = 0;
  row = status_row_start(a);
  EXPECT_NE(std::string(row).find("<td>Get My IP</td><td>0</td>"), std::string::npos) << row;
  free(row);
}

TEST_F(PanelStatus, StreamsAndLinks) {
  conn_slot& a = use(1, slot_kind::download, 4);
  a.in.total = 700;
  a.out.total = 55;
  a.link_sock = 9;
  std::string row = row_of(a);
  EXPECT_NE(row.find("<td>700</td><td>55</td>"), std::string::npos) << row;
  EXPECT_NE(row.find(">9</a></td>"), std::string::npos);
  uint8_t bytes[3] = {1, 2, 3};
  stream_append(a.in, bytes, 3);
  a.link_sock = -1;
  row = row_of(a);
  EXPECT_NE(row.find("3 bytes buffered\">700</td>"), std::string::npos) << row;
  EXPECT_NE(row.find("<td>&nbsp;</td><td>Download</td>"), std::string::npos);
}

TEST_F(PanelStatus, ChainHopsShowTheirProgress) {
  conn_slot& out = use(1, slot_kind::chain, 4);
  route_record& r = route_of(out);
  r.side = 0;
  r.hop_count = 3;
  r.hop_index = 1;
  set_hop(r, 0, 0x10, "1.2.3.4", 1080);
  set_hop(r, 1, 0x40, "5.6.7.8", 3128);
  set_hop(r, 2, HOP_END, "9.9.9.9", 80);
  snprintf(out.dest_host, sizeof out.dest_host, "site.test");
  std::string p = page();
  size_t a =
      p.find("title=\"1.2.3.4 port 1080, Connected\" class=\"help net_status_connected\">1.2.3.4<");
  size_t b = p.find(
      "title=\"5.6.7.8 port 3128, Connecting\" class=\"help net_status_connecting\">5.6.7.8<");
  size_t c = p.find(
      "title=\"site.test port 80, Pending\" class=\"help net_status_connecting\">site.test<");
  ASSERT_NE(a, std::string::npos) << p;
  ASSERT_NE(b, std::string::npos) << p;
  ASSERT_NE(c, std::string::npos) << p;
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_NE(p.find("</span> &rarr; <span"), std::string::npos);
  EXPECT_NE(p.find("<td>Chain-R</td>"), std::string::npos);

  out.kind = slot_kind::relay;
  p = page();
  EXPECT_EQ(p.find("Connecting"), std::string::npos);
  EXPECT_EQ(p.find("Pending"), std::string::npos);
  EXPECT_NE(p.find("site.test port 80, Connected"), std::string::npos);
}

TEST_F(PanelStatus, ClientTargetIsShownAsText) {
  conn_slot& client = use(1, slot_kind::chain, 4);
  route_record& r = route_of(client);
  r.side = 1;
  snprintf(r.target, sizeof r.target, "GET \"a\"<script>alert(1)</script>");
  std::string p = page();
  EXPECT_EQ(p.find("<script>"), std::string::npos);
  EXPECT_NE(p.find("GET &quot;a&quot;&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(p.find("<td>Chain-L</td>"), std::string::npos);
  // A target that fills its whole field is not read past.
  memset(r.target, 'x', sizeof r.target);
  p = page();
  EXPECT_NE(p.find(std::string(TARGET_SIZE - 1, 'x') + "</td>"), std::string::npos);
}

TEST_F(PanelStatus, ClientRowShowsTheAttemptAndItsLastFailure) {
  conn_slot& client = use(1, slot_kind::chain, 4);
  route_record& r = route_of(client);
  r.side = 1;
  snprintf(r.target, sizeof r.target, "site.test/page");
  EXPECT_EQ(page().find("attempt"), std::string::npos);  // a first attempt, nothing failed
  r.client.attempt = 2;
  r.client.last.fault = chain_fault::refused_dest;
  r.client.last.proxy = proxy_ref{0x0100007F, 1080};
  const std::string p = page();
  EXPECT_NE(p.find("site.test/page<br><i>attempt 3; last failure: proxy 127.0.0.1:1080 refused "
                   "the destination</i>"),
            std::string::npos)
      << p;
}

TEST_F(PanelStatus, ClosingSlotsAndTheEndOfTheList) {
  use(1, slot_kind::error, 4).flags = SLOT_CLOSE_REQUESTED;
  EXPECT_EQ(rows(page()), 1);
  use(1, slot_kind::download, 4).flags = 0;
  use(11, slot_kind::download, 5);  // after nine unused slots: still listed
  EXPECT_EQ(rows(page()), 3);
  conn_table[11].sock = -1;
  use(12, slot_kind::download, 6);  // after ten unused slots: the list has ended
  std::string p = page();
  EXPECT_EQ(rows(p), 2);
  EXPECT_NE(p.find("2 of 2048"), std::string::npos);
}

TEST_F(PanelStatus, RowsByKind) {
  conn_slot& client = use(1, static_cast<slot_kind>(3), 4);
  (void)client;
  conn_slot& web = use(2, slot_kind::web_push, 5);
  snprintf(reinterpret_cast<char*>(web.route) + 32, 96, "flow.html");
  conn_slot& check = use(3, slot_kind::check, 6);
  check_record rec{};
  rec.step = 17;
  memcpy(check.route, &rec, sizeof rec);
  snprintf(check.dest_host, sizeof check.dest_host, "1.2.3.4");
  check.dest_port = 8080;
  conn_slot& test = use(4, slot_kind::chain_test, 7);
  hop hops[2] = {{0x10, 1080, 0x04030201}, {0x08, 1081, 0x08070605}};
  memcpy(test.route, hops, sizeof hops);
  conn_slot& err = use(5, slot_kind::error, 8);
  (void)err;

  std::string p = page();
  EXPECT_NE(p.find("<td id=\"s4\">4</td><td colspan=\"7\">Client connection, state 3</td>"),
            std::string::npos)
      << p;
  EXPECT_NE(p.find("<td>Web server</td>"), std::string::npos);
  EXPECT_NE(p.find("<td>flow.html</td></tr>"), std::string::npos);
  EXPECT_NE(p.find(">1.2.3.4</span> checking SOCKS5</td></tr>"), std::string::npos) << p;
  EXPECT_NE(p.find(">1.2.3.4</span> &rarr; <span title=\"5.6.7.8 port 1081\""), std::string::npos);
  EXPECT_NE(p.find("<td>Error</td><td>0</td><td>0</td><td>0</td><td>0</td><td>&nbsp;</td></tr>"),
            std::string::npos)
      << p;
  EXPECT_EQ(rows(p), 6);
}

TEST_F(PanelStatus, AddressTitlesNameTheProxy) {
  ASSERT_TRUE(panel_test_db());
  db_exec("INSERT INTO proxy(ip,port,host) VALUES(67305985,8080,'px.<b>.test')");
  char* span = status_address(" x", "1.2.3.4", 8080, ", Connected");
  EXPECT_STREQ(
      span,
      "<span title=\"px.&lt;b&gt;.test port 8080, Connected\" class=\"help x\">1.2.3.4</span>");
  free(span);
  span = status_address(nullptr, "1.2.3.4", 8081, nullptr);
  EXPECT_STREQ(span, "<span title=\"1.2.3.4 port 8081\" class=\"help\">1.2.3.4</span>");
  free(span);
  span = status_address(nullptr, "a\"b", 1, nullptr);
  EXPECT_STREQ(span, "<span title=\"a&quot;b port 1\" class=\"help\">a&quot;b</span>");
  free(span);
}

}  // namespace
