// The database layer: SQL functions, the statement classifier, counting
// and text runs with every render mode, settings, schema, type names.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "db/db.h"
#include "engine/slot.h"
#include "platform/clock.h"
#include "platform/stop.h"
#include "tests/support/db_temp.h"

namespace {

// The text of a query (mode "" and no separator), "<none>" when none.
std::string q(const char* sql) {
  char* t = db_query_text("", "", "%s", sql);
  std::string out = t != nullptr ? t : "<none>";
  free(t);
  return out;
}

std::string render(const char* mode, const char* sep, const char* sql) {
  char* t = db_query_text(mode, sep, "%s", sql);
  std::string out = t != nullptr ? t : "<none>";
  free(t);
  return out;
}

class Db : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(db_temp_open(t)); }
  void TearDown() override {
    clock_fake_disable();
    stop_flag.store(0);
    db_temp_close(t);
  }
  db_temp t;
};

// ---- SQL functions ----------------------------------------------------------

TEST_F(Db, MinmaxLimitsTheMiddleArgument) {
  EXPECT_EQ(q("SELECT Minmax(5,3,10)"), "5");
  EXPECT_EQ(q("SELECT Minmax(5,7,10)"), "7");
  EXPECT_EQ(q("SELECT Minmax(5,12,10)"), "10");
  EXPECT_EQ(q("SELECT Minmax(8,9,6)"), "6");
  EXPECT_EQ(q("SELECT Minmax(1,NULL,3) IS NULL"), "1");
  EXPECT_EQ(q("SELECT Minmax(1,2) IS NULL"), "1");
  // Text forms: leading blanks, sign, digits up to the first other character.
  EXPECT_EQ(q("SELECT Minmax(' -4',-9,'7x')"), "-4");
  EXPECT_EQ(q("SELECT Minmax(0,'2.9',10)"), "2");
  EXPECT_EQ(q("SELECT Minmax(0,99999999999,10)"), "10");
}

TEST_F(Db, NowIsTheMinuteClock) {
  setenv("TZ", "UTC0", 1);
  tzset();
  clock_fake_enable(1000, 1199145660000ull);  // 2008-01-01 00:01 UTC
  EXPECT_EQ(minute_clock(), 1u);
  EXPECT_EQ(q("SELECT Now()"), "1");
  EXPECT_EQ(q("SELECT Now(1) IS NULL"), "1");
  clock_advance(59 * 1000 + 999);  // still minute 1
  EXPECT_EQ(q("SELECT Now()"), "1");
  clock_advance(1);
  EXPECT_EQ(q("SELECT Now()"), "2");
  // One leap year and a day later.
  EXPECT_EQ(minute_clock_at(1199145600000ull + 367ull * 86400000ull), 367u * 1440u);
  // Before 2008 there is no minute clock.
  EXPECT_EQ(minute_clock_at(1199145540000ull), 0u);
  // Local time, not UTC.
  setenv("TZ", "XYZ-2", 1);  // two hours ahead of UTC
  tzset();
  EXPECT_EQ(minute_clock_at(1199145600000ull), 120u);
  setenv("TZ", "UTC0", 1);
  tzset();
}

// ---- statement classifier and counts ----------------------------------------

TEST(DbClassifier, ModifyingStatements) {
  EXPECT_TRUE(is_modifying_statement("  SELECT 1; UPDATE proxy SET rank=0"));
  EXPECT_FALSE(is_modifying_statement("SELECT 'insert' FROM proxy"));
  EXPECT_TRUE(is_modifying_statement("insert"));
  EXPECT_TRUE(is_modifying_statement("InSeRt"));
  EXPECT_TRUE(is_modifying_statement("\r\n\tdelete from x"));
  EXPECT_FALSE(is_modifying_statement("SELECT 1;"));
  EXPECT_FALSE(is_modifying_statement(""));
  EXPECT_FALSE(is_modifying_statement(nullptr));
  EXPECT_FALSE(is_modifying_statement("INSER"));
}

TEST_F(Db, ExecCounts) {
  ASSERT_EQ(db_exec("INSERT INTO proxy(ip,port) VALUES(1,1),(2,2),(3,3)"), 3u);
  EXPECT_EQ(db_exec("SELECT ip FROM proxy"), 3u);
  EXPECT_EQ(db_exec("UPDATE proxy SET rank=1 WHERE ip=99"), 0u);
  EXPECT_EQ(db_exec("UPDATE proxy SET rank=1 WHERE ip<3"), 2u);
  EXPECT_EQ(db_exec("SELEKT ip FROM proxy"), 0u);
  EXPECT_EQ(db_exec(nullptr), 0u);
  // Last data-changing statement of a text with several.
  EXPECT_EQ(db_exec("UPDATE proxy SET rank=2;UPDATE proxy SET rank=3 WHERE ip=1"), 1u);
  // A text taken as modifying in which no data-changing statement ran does
  // not report the count of an earlier statement.
  ASSERT_EQ(db_exec("UPDATE proxy SET rank=5"), 3u);
  EXPECT_EQ(db_exec("SELECT 'x;update'"), 0u);
  // Text values are quoted by the formatter.
  EXPECT_EQ(db_exec("UPDATE proxy SET host=%Q WHERE ip=1", "it's'; DROP TABLE proxy;--"), 1u);
  EXPECT_EQ(q("SELECT host FROM proxy WHERE ip=1"), "it's'; DROP TABLE proxy;--");
  // A proxy is stored once per address and port.
  EXPECT_EQ(db_exec("INSERT INTO proxy(ip,port) VALUES(1,1)"), 0u);
  EXPECT_EQ(db_exec("INSERT INTO proxy(ip,port) VALUES(%u,%u)", 4294967295u, 65535u), 1u);
  EXPECT_EQ(q("SELECT ip FROM proxy WHERE port=65535"), "4294967295");
}

TEST(DbClosed, NothingWithoutADatabase) {
  db_close();
  ASSERT_EQ(db_handle, nullptr);
  EXPECT_EQ(db_exec("SELECT 1"), 0u);
  EXPECT_EQ(db_query_text("", "", "SELECT 1"), nullptr);
  EXPECT_EQ(setting_int("x", 7, 0), 7);
  char buf[8] = "dflt";
  EXPECT_EQ(setting_str("x", buf, sizeof buf, 0), 0);
  EXPECT_STREQ(buf, "dflt");
  EXPECT_FALSE(db_open(nullptr));
  EXPECT_FALSE(db_open(reinterpret_cast<const char*>(16)));
  db_periodic_statement();
}

// The server start retries a failed open later; a later attempt succeeds.
TEST(DbOpen, FailsWithoutItsDirectoryAndOpensOnceItExists) {
  db_close();
  char pattern[] = "/tmp/merovane-db-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  db_temp t;
  t.dir = pattern;
  std::string sub = t.dir + "/later";
  std::string path = sub + "/settings.db";
  EXPECT_FALSE(db_open(path.c_str()));
  EXPECT_EQ(db_handle, nullptr);
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  ASSERT_TRUE(db_open(path.c_str()));
  EXPECT_TRUE(db_open(path.c_str()));  // already open: no second connection
  db_init_schema();
  db_periodic_statement();
  EXPECT_EQ(q("SELECT count(*) FROM chain"), "1");
  db_close();
  unlink(path.c_str());
  rmdir(sub.c_str());
  db_temp_close(t);
}

// ---- rendering ----------------------------------------------------------------

TEST_F(Db, ScriptArrayRows) {
  EXPECT_EQ(render("j,", "],[", "SELECT 12,'ab\"c',NULL,''"), "12,\"ab\\\"c\",,\"\"");
  EXPECT_EQ(render("j,", "],[", "SELECT 1,2 UNION ALL SELECT 3,'x'"), "1,2],[3,\"x\"");
  EXPECT_EQ(render("j,", "],[", "SELECT -5,1.5,'007'"), "\"-5\",\"1.5\",007");
  // Escapes: TAB, LF, backslash, quote; CR dropped; other control bytes
  // as \x and two hex digits; high bytes copied.
  EXPECT_EQ(render("j", "", "SELECT 'a'||char(9)||char(10)||char(13)||char(1)||char(31)||'\\'"),
            "\"a\\t\\n\\x01\\x1f\\\\\"");
  EXPECT_EQ(render("j", "", "SELECT CAST(x'C3A9' AS TEXT)"), "\"\xC3\xA9\"");
  EXPECT_EQ(render("j", "", "SELECT 1 WHERE 0"), "<none>");
}

TEST_F(Db, ScriptObjectMembers) {
  EXPECT_EQ(render("J", ", ", "SELECT 'log_dir','d\\x'"), "log_dir:\"d\\\\x\"");
  EXPECT_EQ(render("J", ", ", "SELECT 'a',1,2"), "a:[12]");
  EXPECT_EQ(render("J,", ", ", "SELECT 'a',1,'b' UNION ALL SELECT 'c','-5',NULL"),
            "a:,[1,\"b\"], c:,[\"-5\",]");
  EXPECT_EQ(render("J", ", ", "SELECT 'n',7 UNION ALL SELECT 'm','07x'"), "n:7, m:\"07x\"");
  // A row without a key still forms a member.
  EXPECT_EQ(render("J", ", ", "SELECT NULL,5"), "var_1:5");
}

TEST_F(Db, TaggedNamedAndPlainModes) {
  EXPECT_EQ(render("~", "\n", "SELECT 1 AS a,NULL AS b,'x' AS c"), "<a>1</a><b></b><c>x</c>");
  EXPECT_EQ(render("#;", "|", "SELECT 1 AS a,NULL AS b,'x' AS c UNION ALL SELECT 2,3,4"),
            "a:1;;c:x|a:2;b:3;c:4");
  EXPECT_EQ(render("", "", "SELECT 'a' UNION ALL SELECT 'b'"), "ab");
  EXPECT_EQ(render(",", "\n", "SELECT 1,2 UNION ALL SELECT 3,NULL"), "1,2\n3,");
  EXPECT_EQ(render(":", ":", "SELECT 1,2"), "1:2");
  // The row separator goes only between rows that produced text.
  EXPECT_EQ(render(",", "#", "SELECT '' UNION ALL SELECT 'a' UNION ALL SELECT 'b'"), "a#b");
  // Nothing rendered, or no mode or separator: no text.
  EXPECT_EQ(render("", "", "SELECT ''"), "<none>");
  EXPECT_EQ(db_query_text(nullptr, "", "SELECT 1"), nullptr);
  EXPECT_EQ(db_query_text("", nullptr, "SELECT 1"), nullptr);
  EXPECT_EQ(render("", "", "SELECT nonsense FROM nowhere"), "<none>");
}

TEST_F(Db, StopRequestEndsAQueryWithItsPartialOutput) {
  ASSERT_EQ(db_exec("INSERT INTO proxy(ip,port) VALUES(1,1),(2,2),(3,3)"), 3u);
  stop_flag.store(1);
  EXPECT_EQ(render(",", "\n", "SELECT ip FROM proxy ORDER BY ip"), "1");
  EXPECT_EQ(db_exec("SELECT ip FROM proxy"), 0u);
  stop_flag.store(0);
}

TEST(DbRender, RecordDirectly) {
  render_record r{nullptr, 0, 0, "j,", "],[", 0};
  char* values[3] = {const_cast<char*>("1"), nullptr, const_cast<char*>("x")};
  char* names[3] = {const_cast<char*>("a"), const_cast<char*>("b"), const_cast<char*>("c")};
  EXPECT_EQ(render_row(&r, 3, values, names), 0);
  EXPECT_EQ(render_row(&r, 3, values, names), 0);
  EXPECT_EQ(r.rows, 2u);
  ASSERT_NE(r.output, nullptr);
  EXPECT_STREQ(r.output, "1,,\"x\"],[1,,\"x\"");
  free(r.output);
}

// ---- settings -------------------------------------------------------------------

TEST_F(Db, SettingIntReadOrCreate) {
  EXPECT_EQ(setting_int("x", 7, 0), 7);
  EXPECT_EQ(q("SELECT value FROM settings WHERE name='x'"), "7");
  EXPECT_EQ(setting_int("x", 9, 0), 7);
  EXPECT_EQ(setting_int("x", 9, 1), 9);
  EXPECT_EQ(setting_int("x", 1, 0), 9);
  EXPECT_EQ(setting_int("neg", -5, 0), -5);  // created with the caller's value
  EXPECT_EQ(setting_int("neg", 3, 0), 0);    // a stored "-5" reads as 0
  EXPECT_EQ(db_exec("INSERT INTO settings VALUES('t',' 12')"), 1u);
  EXPECT_EQ(setting_int("t", 3, 0), 0);
  EXPECT_EQ(setting_int(nullptr, 4, 1), 4);
  EXPECT_EQ(q("SELECT count(*) FROM settings"), "3");
}

TEST_F(Db, SettingStrReadOrCreate) {
  char buf[16] = "default";
  EXPECT_EQ(setting_str("s", buf, sizeof buf, 0), 1);  // created
  EXPECT_EQ(q("SELECT value FROM settings WHERE name='s'"), "default");
  snprintf(buf, sizeof buf, "%s", "other");
  EXPECT_EQ(setting_str("s", buf, sizeof buf, 0), 1);
  EXPECT_STREQ(buf, "default");
  // Bounded copy.
  char small[4] = "zz";
  EXPECT_EQ(setting_str("s", small, sizeof small, 0), 1);
  EXPECT_STREQ(small, "def");
  // size 1: found, nothing copied, result 0.
  char one[1] = {0};
  EXPECT_EQ(setting_str("s", one, 1, 0), 0);
  // Write replaces; quotes survive.
  char quoted[32] = "it's \"q\"";
  EXPECT_EQ(setting_str("s", quoted, sizeof quoted, 1), 1);
  EXPECT_EQ(q("SELECT value FROM settings WHERE name='s'"), "it's \"q\"");
  // Missing buffer stands for the empty text.
  EXPECT_EQ(setting_str("e", nullptr, 0, 0), 1);
  EXPECT_EQ(q("SELECT '['||value||']' FROM settings WHERE name='e'"), "[]");
  EXPECT_EQ(setting_str(nullptr, buf, sizeof buf, 0), 0);
  // A name with a quote is quoted too.
  char v[8] = "v";
  EXPECT_EQ(setting_str("a'b", v, sizeof v, 0), 1);
  EXPECT_EQ(q("SELECT value FROM settings WHERE name='a''b'"), "v");
}

TEST_F(Db, SettingStoredEmptyIsFoundAndCanBeWritten) {
  char empty[8] = "";
  ASSERT_EQ(setting_str("log_dir", empty, sizeof empty, 0), 1);
  // Stored empty: the caller's default is replaced by the empty value...
  char buf[16] = "dflt";
  EXPECT_EQ(setting_str("log_dir", buf, sizeof buf, 0), 1);
  EXPECT_STREQ(buf, "");
  // ...and writing a new value over it is not lost.
  char dir[16] = "/var/log/x";
  EXPECT_EQ(setting_str("log_dir", dir, sizeof dir, 1), 1);
  EXPECT_EQ(q("SELECT value FROM settings WHERE name='log_dir'"), "/var/log/x");
  EXPECT_EQ(db_exec("UPDATE settings SET value='' WHERE name='n'"), 0u);
  EXPECT_EQ(setting_int("n", 4, 0), 4);
  EXPECT_EQ(db_exec("UPDATE settings SET value='' WHERE name='n'"), 1u);
  EXPECT_EQ(setting_int("n", 8, 1), 8);
  EXPECT_EQ(setting_int("n", 0, 0), 8);
}

TEST_F(Db, SettingStrStopsAtTheBufferEnd) {
  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(setting_str("u", unterminated, sizeof unterminated, 0), 1);
  EXPECT_EQ(q("SELECT value FROM settings WHERE name='u'"), "abcd");
}

// ---- schema ---------------------------------------------------------------------

TEST_F(Db, NewDatabaseHasTheDefaultChainLink) {
  EXPECT_EQ(render(",", "\n", "SELECT position,selection,flags,ip,port FROM chain"), "1,3,92,0,0");
  char* links = db_query_text(",", "\n", "%s", sql_chain_link_query());
  ASSERT_NE(links, nullptr);
  EXPECT_STREQ(links, "3,92,0,0");
  free(links);
  // Rerunning the start-up statements keeps rows and adds no second link.
  ASSERT_EQ(db_exec("INSERT INTO proxy(ip,port,type) VALUES(5,80,16)"), 1u);
  db_init_schema();
  db_close();
  ASSERT_TRUE(db_open(t.path.c_str()));
  db_init_schema();
  EXPECT_EQ(q("SELECT count(*) FROM chain"), "1");
  EXPECT_EQ(q("SELECT ip||':'||port||':'||type FROM proxy"), "5:80:16");
  EXPECT_EQ(q("PRAGMA journal_mode"), "wal");
  // An emptied chain gets its default link back at the next start only.
  EXPECT_EQ(db_exec("%s", sql_chain_clear()), 1u);
  EXPECT_EQ(q("SELECT count(*) FROM chain"), "0");
  db_init_schema();
  EXPECT_EQ(q("SELECT count(*) FROM chain"), "1");
  EXPECT_EQ(q("PRAGMA integrity_check"), "ok");
}

TEST_F(Db, ChainLinksInOrderWithUnsignedAddresses) {
  ASSERT_EQ(db_exec("%s", sql_chain_clear()), 1u);
  EXPECT_EQ(db_exec(sql_link_insert(), 1, 5, 16, 4294967295u, 1080u), 1u);
  EXPECT_EQ(db_exec(sql_link_insert(), 0, 2, 24, 0u, 0u), 1u);
  EXPECT_EQ(render(",", "\n", sql_chain_link_query()), "2,24,0,0\n5,16,4294967295,1080");
}

// The chain's proxy query: wanted bits, barred bits, exclusion, ordering.
TEST_F(Db, ProxyQueryPicksAUsableProxy) {
  // ip, port, type, blocked, rank, t_ok, timeout
  ASSERT_EQ(db_exec("INSERT INTO proxy(ip,port,type,blocked,rank,t_ok,timeout) VALUES"
                    "(1,80,16,0,5,100,300),"   // SOCKS5 elite
                    "(2,80,20,0,9,50,200),"    // SOCKS5 anonymous
                    "(3,80,18,0,1,300,100),"   // SOCKS5 transparent
                    "(4,80,16,1,99,999,10),"   // blocked
                    "(5,80,1,0,99,999,10),"    // not working
                    "(6,80,17,0,99,999,10),"   // not working, old protocol bit
                    "(7,80,0,0,99,999,10),"    // never found working
                    "(8,80,64,0,3,200,150)"),  // HTTPS elite
            8u);
  auto pick = [](unsigned wanted, unsigned barred, const char* excl, const char* term,
                 const char* dir) {
    char* t = db_query_text(",", "", sql_proxy_query(), wanted, barred, excl, term, dir);
    std::string out = t != nullptr ? t : "<none>";
    free(t);
    return out;
  };
  EXPECT_EQ(pick(16, 0, "", "timeout", "ASC"), "3,80,18");
  EXPECT_EQ(pick(16, 2, "", "timeout", "ASC"), "2,80,20");
  EXPECT_EQ(pick(16, 6, "", "timeout", "ASC"), "1,80,16");
  EXPECT_EQ(pick(16, 0, "", "t_ok", "DESC"), "3,80,18");
  EXPECT_EQ(pick(16, 0, "", "rank", "DESC"), "2,80,20");
  EXPECT_EQ(pick(16 | 64, 6, "", "timeout", "ASC"), "8,80,64");
  EXPECT_EQ(pick(16, 0, "AND ip NOT IN(3,2)", "timeout", "ASC"), "1,80,16");
  EXPECT_EQ(pick(16, 6, "AND ip NOT IN(1)", "timeout", "ASC"), "<none>");
  EXPECT_EQ(pick(8, 0, "", "timeout", "ASC"), "<none>");
  std::string any = pick(16, 0, "", "random()", "");
  EXPECT_TRUE(any == "1,80,16" || any == "2,80,20" || any == "3,80,18") << any;
}

// What runs often must not scan the whole proxy table.
TEST_F(Db, FrequentQueriesUseIndexes) {
  auto plan = [](const char* format, auto... args) {
    char* sql = sqlite3_mprintf(format, args...);
    std::string text = std::string("EXPLAIN QUERY PLAN ") + sql;
    sqlite3_free(sql);
    char* t = db_query_text(",", "\n", "%s", text.c_str());
    std::string out = t != nullptr ? t : "";
    free(t);
    return out;
  };
  for (const char* term : {"timeout", "t_ok", "rank"}) {
    std::string p = plan(sql_proxy_query(), 16u, 6u, "AND ip NOT IN(1,2)", term, "DESC");
    EXPECT_NE(p.find(std::string("proxy_usable_") + term), std::string::npos) << p;
    EXPECT_EQ(p.find("TEMP B-TREE"), std::string::npos) << p;
  }
  std::string check = plan(sql_check_selection(), 720, "AND ip NOT IN(1)");
  EXPECT_NE(check.find("proxy_check_order"), std::string::npos) << check;
  EXPECT_EQ(check.find("TEMP B-TREE"), std::string::npos) << check;
  std::string by_address = plan("SELECT id FROM proxy WHERE ip=%u AND port=%u", 5u, 80u);
  EXPECT_NE(by_address.find("proxy_address"), std::string::npos) << by_address;
  std::string update = plan(sql_check_result(), 24, ",t_ok=Now(),", 120u, "0", "rank", 5u, 80u);
  EXPECT_NE(update.find("proxy_address"), std::string::npos) << update;
}

TEST_F(Db, CheckerSelectionAndResult) {
  setenv("TZ", "UTC0", 1);
  tzset();
  clock_fake_enable(1, 1199145600000ull + 10000ull * 60000ull);  // minute 10000
  ASSERT_EQ(db_exec("INSERT INTO proxy(ip,port,t_chk,host) VALUES"
                    "(1,80,9000,''),(2,81,0,'h.example'),(3,82,9500,'')"),
            3u);
  auto next = [](const char* excl) {
    char* t = db_query_text(",", "#", sql_check_selection(), 720, excl);
    std::string out = t != nullptr ? t : "<none>";
    free(t);
    return out;
  };
  EXPECT_EQ(next(""), "2,81,2,1,0");
  EXPECT_EQ(next("AND ip NOT IN(2)"), "1,80,1,0,0");
  EXPECT_EQ(next("AND ip NOT IN(2,1)"), "<none>");  // 3 was checked 500 minutes ago
  // A failed check moves the proxy behind the others.
  EXPECT_EQ(db_exec(sql_check_result(), 1, ",", 0u, "n_err+1",
                    "CASE WHEN rank>10 THEN rank-10 ELSE 0 END", 2u, 81u),
            1u);
  EXPECT_EQ(next(""), "1,80,1,0,0");
  EXPECT_EQ(q("SELECT type||','||n_err||','||t_chk||','||t_ok FROM proxy WHERE ip=2"),
            "1,1,10000,0");
  EXPECT_EQ(db_exec(sql_check_result(), 24, ",t_ok=Now(),", 321u, "0", "rank", 1u, 80u), 1u);
  EXPECT_EQ(q("SELECT type||','||timeout||','||t_ok||','||t_chk FROM proxy WHERE ip=1"),
            "24,321,10000,10000");
}

// The engine thread and the name-lookup worker share the connection.
TEST_F(Db, TwoThreadsNeverInterleaveStatements) {
  ASSERT_EQ(db_exec("INSERT INTO proxy(ip,port) VALUES(1000000,1)"), 1u);
  std::thread worker([] {
    for (unsigned i = 0; i < 300; ++i)
      db_exec("UPDATE proxy SET host=%Q WHERE ip=%u AND port=%u", "name", 1000000u, 1u);
  });
  unsigned inserted = 0, read = 0;
  for (unsigned i = 0; i < 300; ++i) {
    inserted += db_exec("INSERT INTO proxy(ip,port) VALUES(%u,%u)", i + 1, 80u);
    char* t = db_query_text(",", "\n", "SELECT ip,port,host FROM proxy WHERE ip=1000000");
    if (t != nullptr && std::strncmp(t, "1000000,1,", 10) == 0) ++read;
    free(t);
  }
  worker.join();
  EXPECT_EQ(inserted, 300u);
  EXPECT_EQ(read, 300u);
  EXPECT_EQ(q("SELECT count(*)||host FROM proxy WHERE ip=1000000"), "1name");
  EXPECT_EQ(q("SELECT count(*) FROM proxy"), "301");
}

// ---- type names -------------------------------------------------------------------

TEST(DbTypeNames, NamesInOrder) {
  EXPECT_STREQ(proxy_type_names(0x08), "SOCKS4");
  EXPECT_STREQ(proxy_type_names(0x5C), "SOCKS4, SOCKS5, HTTPS, ANONYMOUS");
  EXPECT_STREQ(proxy_type_names(0), "PROXY_TYPE_zerro");
  EXPECT_STREQ(proxy_type_names(0xFFFF), "END");
  EXPECT_STREQ(proxy_type_names(0x7F),
               "NOT_WORKING, SOCKS4, SOCKS5, HTTP, HTTPS, TRANSPARENT, ANONYMOUS");
  EXPECT_STREQ(proxy_type_names(0x100), "PROXY_TYPE_zerro");
  EXPECT_STREQ(proxy_type_names(0xA0), "HTTP, UNGRADED");
  // Four results can be held at once.
  const char* a = proxy_type_names(0x08);
  const char* b = proxy_type_names(0x10);
  const char* c = proxy_type_names(0x20);
  const char* d = proxy_type_names(0x40);
  EXPECT_STREQ(a, "SOCKS4");
  EXPECT_STREQ(b, "SOCKS5");
  EXPECT_STREQ(c, "HTTP");
  EXPECT_STREQ(d, "HTTPS");
}

}  // namespace

// A database made before sign-ins existed gets the new columns on opening,
// its proxies kept; the password is read back only through proxy_credentials.
TEST_F(Db, OlderProxyTableGainsSignInColumnsWithoutLoss) {
  db_exec("DROP TABLE proxy");
  db_exec(
      "CREATE TABLE proxy(id INTEGER PRIMARY KEY,ip INTEGER NOT NULL,port INTEGER NOT NULL,"
      "type INTEGER NOT NULL DEFAULT 0,blocked INTEGER NOT NULL DEFAULT 0,rank INTEGER NOT NULL "
      "DEFAULT 0,t_ok INTEGER NOT NULL DEFAULT 0,n_err INTEGER NOT NULL DEFAULT 0,timeout "
      "INTEGER NOT NULL DEFAULT 0,host TEXT NOT NULL DEFAULT '',t_chk INTEGER NOT NULL DEFAULT 0)");
  db_exec("INSERT INTO proxy(ip,port,type,rank,host) VALUES(16909060,1080,16,7,'a.example')");
  db_close();
  ASSERT_TRUE(db_open(t.path.c_str()));
  db_init_schema();
  EXPECT_EQ(q("SELECT ip||','||port||','||type||','||rank||','||host||','||auth_user||','||"
              "auth_pass||','||auth_refused FROM proxy"),
            "16909060,1080,16,7,a.example,,,0");
  db_init_schema();  // a second opening adds nothing twice
  EXPECT_EQ(q("SELECT count(*) FROM pragma_table_info('proxy') WHERE name LIKE 'auth_%'"), "3");
  proxy_login login{};
  EXPECT_FALSE(proxy_credentials(16909060, 1080, login));
  db_exec("UPDATE proxy SET auth_user='me',auth_pass='s3cret'");
  ASSERT_TRUE(proxy_credentials(16909060, 1080, login));
  EXPECT_EQ(std::string(login.user, login.user_length), "me");
  EXPECT_EQ(std::string(login.pass, login.pass_length), "s3cret");
  EXPECT_FALSE(proxy_credentials(16909060, 1081, login));
  proxy_auth_refused(16909060, 1080, 1);
  EXPECT_EQ(q("SELECT auth_refused FROM proxy"), "1");
}
