// Hostile texts from clients, proxy lists, reverse lookups and requests:
// they reach HTML and script only escaped, and SQL only quoted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "chain/route.h"
#include "db/db.h"
#include "engine/slot.h"
#include "maintenance/checker.h"
#include "panel/commands.h"
#include "panel/server.h"
#include "panel/status.h"
#include "platform/clock.h"
#include "tests/support/db_temp.h"
#include "tests/support/panel_support.h"

namespace {

// Markup, both quotes, a backslash, line breaks and a script end.
const char HOSTILE[] = "<img src=x onerror=alert(1)>\"'\\\n\r</script><!--&";

std::string take(char* text) {
  std::string out = text != nullptr ? text : "";
  free(text);
  return out;
}

std::string ajax(const std::string& body) {
  param_spans s{};
  s.span[1] = {body.data(), body.size()};
  return take(panel_ajax(s));
}

// The request-body form of a text: every byte %-encoded.
std::string encoded(const std::string& text) {
  std::string out;
  char part[4];
  for (unsigned char c : text) {
    snprintf(part, sizeof part, "%%%02X", c);
    out += part;
  }
  return out;
}

// Reads the double-quoted script literal starting at `at` as a script
// engine would; npos when it does not end inside the text.
size_t literal_end(const std::string& s, size_t at) {
  if (at >= s.size() || s[at] != '"') return std::string::npos;
  for (size_t i = at + 1; i < s.size(); ++i) {
    if (s[i] == '\\') {
      ++i;
      continue;
    }
    if (s[i] == '\n' || s[i] == '\r') return std::string::npos;  // would end the statement
    if (s[i] == '"') return i;
  }
  return std::string::npos;
}

class Escaping : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(panel_test_db());
    panel_test_clear_table();
    clock_fake_enable(1'000'000, 1'600'000'000'000ull);
  }
  void TearDown() override {
    clock_fake_disable();
    panel_test_clear_table();
    db_close();
  }
  static conn_slot& use(int i, slot_kind kind) {
    conn_slot& s = conn_table[i];
    s.sock = 10 + i;
    s.kind = kind;
    s.serial = static_cast<uint32_t>(i);
    return s;
  }
};

// Every cell of the status page that shows a client's, a list's or a
// lookup's text, filled with markup at once.
TEST_F(Escaping, StatusPageShowsHostileTextsAsText) {
  // A proxy whose reverse lookup gave markup (stored by the resolver).
  db_exec("UPDATE proxy SET host='' WHERE 0");
  db_exec("INSERT INTO proxy(ip,port,host) VALUES(%u,%d,%Q)", 0x04030201u, 1080, HOSTILE);

  use(0, slot_kind::listen);
  conn_slot& refused = use(1, slot_kind::error);
  snprintf(reinterpret_cast<char*>(refused.route), ROUTE_SIZE, "%s", HOSTILE);

  conn_slot& client = use(2, slot_kind::chain);
  route_of(client).side = 1;
  snprintf(route_of(client).target, TARGET_SIZE, "GET %s", HOSTILE);

  conn_slot& out = use(3, slot_kind::chain);
  route_record& r = route_of(out);
  r.side = 0;
  r.hop_count = 2;
  hop first{0x10, 1080, 0x04030201u};
  hop last{HOP_END, 80, 0x08080808u};
  memcpy(&r.hops[0], &first, sizeof first);
  memcpy(&r.hops[1], &last, sizeof last);
  snprintf(out.dest_host, sizeof out.dest_host, "%s", HOSTILE);

  conn_slot& check = use(4, slot_kind::check);
  snprintf(check.dest_host, sizeof check.dest_host, "%s", HOSTILE);
  check.dest_port = 3128;

  conn_slot& web = use(5, slot_kind::web);
  snprintf(reinterpret_cast<panel_slot_record*>(web.route)->file, sizeof(panel_slot_record::file),
           "%s", HOSTILE);

  std::string page = take(status_page());
  ASSERT_NE(page.find("6 of 2048"), std::string::npos) << page;
  EXPECT_EQ(page.find("<img"), std::string::npos) << page;
  EXPECT_EQ(page.find("</script>"), std::string::npos) << page;
  EXPECT_EQ(page.find("<!--"), std::string::npos) << page;
  EXPECT_EQ(page.find("\"'"), std::string::npos) << page;
  EXPECT_NE(page.find("&lt;img src=x onerror=alert(1)&gt;&quot;&#39;"), std::string::npos);
  // Every attribute value still ends where the page meant it to.
  for (size_t at = page.find("title=\""); at != std::string::npos;
       at = page.find("title=\"", at + 1)) {
    size_t end = page.find('"', at + 7);
    ASSERT_NE(end, std::string::npos);
    std::string value = page.substr(at + 7, end - at - 7);
    EXPECT_EQ(value.find_first_of("<>"), std::string::npos) << value;
  }
}

// A pushed check line carries the lookup's name inside a script element.
TEST_F(Escaping, PushedCheckLinesKeepTheNameInsideItsText) {
  std::string every;
  for (int c = 1; c < 256; ++c) every += static_cast<char>(c);
  check_record rec{};
  rec.ip = 0x04030201u;
  rec.port = 8080;
  rec.finished = 1;
  for (const std::string& name : {std::string(HOSTILE), every.substr(0, 200), every.substr(200)}) {
    char line[600];
    int n = format_check_line(line, sizeof line, name.c_str(), &rec);
    ASSERT_GT(n, 0);
    std::string s(line, static_cast<size_t>(n));
    const std::string open = "<script type=\"text/javascript\">";
    ASSERT_EQ(s.rfind(open, 0), 0u) << s;
    // One script element, one statement, one text literal.
    EXPECT_EQ(s.find("</script>"), s.size() - 10) << s;
    EXPECT_EQ(s.find('<', open.size()), s.size() - 10) << s;
    size_t quote = s.find('"', open.size());
    size_t end = literal_end(s, quote);
    ASSERT_NE(end, std::string::npos) << s;
    EXPECT_EQ(s.substr(end), "\",0]);</script>\n") << s;
    std::string text = s.substr(quote + 1, end - quote - 1);
    EXPECT_EQ(text.find_first_of("\\'\"<>"), std::string::npos) << text;
  }
}

// List rows and settings go back to the page as script literals.
TEST_F(Escaping, ListRowsAndSettingsAreWholeScriptLiterals) {
  db_exec("INSERT INTO proxy(ip,port,type,host) VALUES(%u,%d,%d,%Q)", 0x04030201u, 1080, 16,
          HOSTILE);
  std::string reply = ajax("type=load_proxy");
  ASSERT_EQ(reply.rfind("ajax_callback(\"load_proxy\",[[67305985,1080,16,", 0), 0u) << reply;
  size_t at = reply.find('"', reply.find("1080,16,"));
  size_t end = literal_end(reply, at);
  ASSERT_NE(end, std::string::npos) << reply;
  EXPECT_EQ(reply.substr(end), "\",\"\",0,0]]);\n") << reply;  // no user, no password
  EXPECT_EQ(reply.substr(at, end - at + 1),
            "\"<img src=x onerror=alert(1)>\\\"'\\\\\\n</script><!--&\"");

  reply = ajax("type=save_settings&num=0&download_urls=" + encoded(HOSTILE) +
               "&log_dir=" + encoded(std::string(HOSTILE) + "x"));
  ASSERT_EQ(reply.rfind("ajax_callback(\"settings\",{", 0), 0u) << reply;
  for (const char* name : {"download_urls:", "log_dir:"}) {
    size_t value = reply.find(name);
    ASSERT_NE(value, std::string::npos) << reply;
    value += strlen(name);
    size_t stop = literal_end(reply, value);
    ASSERT_NE(stop, std::string::npos) << reply;
    EXPECT_TRUE(reply.compare(stop + 1, 2, ", ") == 0) << reply.substr(stop);
  }
}

// Request texts go into statements only as quoted values or numbers.
TEST_F(Escaping, RequestTextNeverBecomesSql) {
  db_exec("INSERT INTO proxy(ip,port,type) VALUES(%u,%d,%d)", 0x04030201u, 1080, 16);
  const std::string sql = "1'); DROP TABLE proxy; -- \" ) OR 1=1 UNION SELECT name FROM settings";
  const std::string e = encoded(sql);
  const char* const params[] = {"filter",     "live",   "dead", "blocked", "anon",
                                "order",      "ip",     "port", "block",   "num",
                                "selection0", "flags0", "ip0",  "port0",   "block_transparent",
                                "log_level"};
  std::string all;
  for (const char* p : params) all += std::string("&") + p + "=" + e;
  for (const char* type : {"load_proxy", "block_proxy", "settings", "save_settings"}) {
    ajax(std::string("type=") + type + all);
    ajax(std::string("type=") + type + all + "&download_urls=" + e + "&log_dir=" + e);
  }
  ajax("type=upload_proxy&list=" + encoded("5.6.7.8:3128 '); DROP TABLE proxy;--\n" + sql));
  EXPECT_EQ(db_lines("SELECT count(*) FROM sqlite_master WHERE name='proxy'"), "1");
  EXPECT_EQ(db_lines("SELECT ip,port FROM proxy WHERE ip=67305985"), "67305985,1080");
  EXPECT_EQ(db_lines("SELECT count(*) FROM proxy WHERE ip=134678021 AND port=3128"), "1");
  // The stored text is the request's own text, byte for byte.
  std::string urls = db_lines("SELECT value FROM settings WHERE name='download_urls'");
  EXPECT_NE(urls.find("1');\nDROP\nTABLE\nproxy;"), std::string::npos) << urls;
  EXPECT_EQ(db_lines("SELECT value FROM settings WHERE name='log_dir'"), sql);
}

}  // namespace
