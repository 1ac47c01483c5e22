// Diagnostic log and traffic file: the gate, line and dump formats, file
// names by serial, the monthly traffic file and the 30 s setting caches.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "db/db.h"
#include "engine/slot.h"
#include "log/log.h"
#include "platform/clock.h"
#include "tests/support/startup_env.h"

namespace {

using namespace startup_test;

constexpr uint64_t MAY_5_140309_UTC_MS = 1714917789ull * 1000u + 250u;

std::string dump_of(const std::vector<uint8_t>& bytes) {
  std::vector<char> out(log_dump_capacity(static_cast<uint32_t>(bytes.size())));
  size_t n =
      log_format_dump(bytes.data(), static_cast<uint32_t>(bytes.size()), out.data(), out.size());
  return std::string(out.data(), n);
}

std::vector<uint8_t> bytes_of(const char* text) {
  return std::vector<uint8_t>(text, text + std::strlen(text));
}

TEST(LogDump, RequestLineGivesTheTextForm) {
  std::vector<uint8_t> get = {0x47, 0x45, 0x54, 0x20, 0x2F, 0x20, 0x48, 0x54,
                              0x54, 0x50, 0x2F, 0x31, 0x2E, 0x30, 0x0D, 0x0A};
  EXPECT_EQ(dump_of(get), "\r\nGET / HTTP/1.0\r\n\r\n");
  // Bare LF becomes CR LF, CR is dropped, TAB counts as text.
  EXPECT_EQ(dump_of(bytes_of("a\tb\nc\r\nd")), "\r\na\tb\r\nc\r\nd\r\n\r\n");
}

TEST(LogDump, ThreeBinaryBytesGiveOneDumpLine) {
  std::string line = "0000: 05 01 00 ";
  line += std::string(5 * 3, ' ') + " " + std::string(8 * 3, ' ') + " " + "...";
  // The thirteen blank positions behind the full stops are trimmed away.
  EXPECT_EQ(dump_of({0x05, 0x01, 0x00}), "\r\n" + line + "\r\n\r\n");
}

TEST(LogDump, FullLinesShowPunctuationAndHideSpaceAndControls) {
  std::vector<uint8_t> b = bytes_of("~`!@#$%^&*()_+-={}[];:'\"\\|<>,./? aZ9");
  b.push_back(0x00);
  b.push_back(0x80);
  b.push_back(0xff);
  std::string d = dump_of(b);
  EXPECT_EQ(d.substr(0, 2), "\r\n");
  EXPECT_NE(d.find("0000: 7e 60 21 40 23 24 25 5e  26 2a 28 29 5f 2b 2d 3d  ~`!@#$%^&*()_+-=\r\n"),
            std::string::npos)
      << d;
  EXPECT_NE(
      d.find("0010: 7b 7d 5b 5d 3b 3a 27 22  5c 7c 3c 3e 2c 2e 2f 3f  {}[];:'\"\\|<>,./?\r\n"),
      std::string::npos)
      << d;
  EXPECT_NE(d.find("0020: 20 61 5a 39 00 80 ff "), std::string::npos) << d;
  EXPECT_NE(d.find(".aZ9..."), std::string::npos) << d;
  EXPECT_EQ(d.substr(d.size() - 4), "\r\n\r\n");
}

TEST(LogDump, TrimDropsTrailingBlanksAndLiteralEscapes) {
  EXPECT_EQ(dump_of(bytes_of("abc \\n\\r\t\r\n")), "\r\nabc\r\n\r\n");
  EXPECT_EQ(dump_of(bytes_of("\n\n\n")), "\r\n\r\n\r\n");  // stops at two characters
  EXPECT_EQ(dump_of(bytes_of("x\\")), "\r\nx\\\r\n\r\n");
}

// Past 64 KiB the offset grows a digit; the dump stays within the room
// log_dump_capacity gives (checked with a guard area behind it) and the
// last line carries the full offset.
TEST(LogDump, BlocksPast64KiBStayWithinTheirRoom) {
  for (uint32_t count : {65536u, 65552u, 70000u, 1u << 20}) {
    SCOPED_TRACE(count);
    std::vector<uint8_t> bytes(count);
    for (uint32_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
    const size_t capacity = log_dump_capacity(count);
    std::vector<char> out(capacity + 4096, '\x5a');
    const size_t n = log_format_dump(bytes.data(), count, out.data(), capacity);
    ASSERT_GT(n, 0u);
    EXPECT_LE(n, capacity);
    for (size_t i = capacity; i < out.size(); ++i) ASSERT_EQ(out[i], '\x5a') << "written at " << i;
    char last[16];
    snprintf(last, sizeof last, "\r\n%x: ", (count - 1) / 16 * 16);
    EXPECT_NE(std::string(out.data(), n).find(last), std::string::npos);
  }
}

class LogFiles : public ::testing::Test {
 protected:
  temp_home dir;
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    clock_fake_enable(1000000, MAY_5_140309_UTC_MS);
    for (auto& s : conn_table) {
      s = conn_slot{};
      s.sock = -1;
    }
    log_settings_override(2, dir.dir.c_str());
  }
  void TearDown() override {
    log_settings_override(0, "");
    for (auto& s : conn_table) s = conn_slot{};
    clock_fake_disable();
  }
  void chain_pair(int a, int b, uint32_t serial) {
    conn_table[a].sock = 40 + a;
    conn_table[a].kind = slot_kind::relay;
    conn_table[a].serial = serial;
    conn_table[b].sock = 40 + b;
    conn_table[b].kind = slot_kind::chain;
    conn_table[b].serial = serial;
  }
  std::vector<std::string> files() {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(dir.dir))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(LogFiles, BothSlotsOfAChainWriteIntoTheFileOfTheirSerial) {
  chain_pair(3, 4, 77);
  log_line(3, "Building chain: %s   \r\n", "10.0.0.1:3128");
  log_dump(4, "\x05\x01\x00", 3, "%u bytes sent.", 3u);
  EXPECT_EQ(files(), std::vector<std::string>{"0000077.txt"});
  std::string text = read_file(dir.path("0000077.txt"));
  std::string binary =
      "0000: 05 01 00 " + std::string(15, ' ') + " " + std::string(24, ' ') + " ...";
  EXPECT_EQ(text,
            "[43] 14:03:09.250  Building chain: 10.0.0.1:3128\r\n"
            "[44] 14:03:09.250  3 bytes sent.\r\n"
            "\r\n" +
                binary + "\r\n\r\n");
}

TEST_F(LogFiles, OtherSlotsIndexesAndLevelsBelowTwoWriteNothing) {
  chain_pair(3, 4, 5);
  for (slot_kind k : {slot_kind::web, slot_kind::web_push, slot_kind::check, slot_kind::fresh,
                      slot_kind::chain_test, slot_kind::myip, slot_kind::download}) {
    conn_table[6].sock = 9;
    conn_table[6].kind = k;
    conn_table[6].serial = 6;
    log_line(6, "x");
    log_dump(6, "abc", 3, "y");
  }
  log_line(-1, "x");
  log_line(SLOT_COUNT, "x");
  log_settings_override(1, dir.dir.c_str());
  log_line(3, "x");
  log_dump(4, "abc", 3, "x");
  EXPECT_TRUE(files().empty());
  log_settings_override(2, "");
  log_line(3, "x");
  EXPECT_TRUE(files().empty());
}

TEST_F(LogFiles, TrafficLineMatchesTheRecordFormatAndHeaderComesOnce) {
  log_settings_override(1, (dir.dir + "/").c_str());
  traffic_record("10.0.0.1:3128 10.0.0.2:1080 192.0.2.7:80", 9000, 420);
  clock_advance(1000);
  traffic_record("10.0.0.1:3128 www.example.com:443", 5, 6);
  EXPECT_EQ(files(), std::vector<std::string>{"2024-05.txt"});  // no per-connection file
  EXPECT_EQ(read_file(dir.path("2024-05.txt")),
            "#DD-HH:MM:SS sent_bytes recv_bytes velmoor target\r\n"
            "05-14:03:09 420 9000 10.0.0.1:3128 10.0.0.2:1080 192.0.2.7:80\r\n"
            "05-14:03:10 6 5 10.0.0.1:3128 www.example.com:443\r\n");
}

TEST_F(LogFiles, NewMonthStartsANewFileWithItsHeader) {
  traffic_record("a:1", 1, 2);
  clock_advance(27u * 86400u * 1000u);  // June 1st
  traffic_record("b:2", 3, 4);
  EXPECT_EQ(files(), (std::vector<std::string>{"2024-05.txt", "2024-06.txt"}));
  EXPECT_EQ(read_file(dir.path("2024-06.txt")),
            "#DD-HH:MM:SS sent_bytes recv_bytes velmoor target\r\n"
            "01-14:03:09 4 3 b:2\r\n");
}

TEST_F(LogFiles, TrafficFileRemovedBetweenRecordsIsStartedAgain) {
  traffic_record("a:1", 1, 2);
  std::filesystem::remove(dir.path("2024-05.txt"));
  traffic_record("b:2", 3, 4);
  EXPECT_EQ(read_file(dir.path("2024-05.txt")),
            "#DD-HH:MM:SS sent_bytes recv_bytes velmoor target\r\n"
            "05-14:03:09 4 3 b:2\r\n");
}

TEST_F(LogFiles, TrafficLineIsBoundedAndStaysOneLine) {
  std::string long_chain(5000, 'h');
  traffic_record(long_chain.c_str(), 1, 2);
  traffic_record("evil\r\n05-00:00:00 1 1 forged:1", 1, 2);
  std::string text = read_file(dir.path("2024-05.txt"));
  size_t first = text.find("\r\n") + 2;
  size_t second = text.find("\r\n", first) + 2;
  EXPECT_EQ(second - first, 2099u);  // 2100-character buffer, NUL included
  EXPECT_EQ(text.substr(second), "05-14:03:09 2 1 evil..05-00:00:00 1 1 forged:1\r\n");
  log_settings_override(0, dir.dir.c_str());
  traffic_record("x:1", 1, 1);
  EXPECT_EQ(read_file(dir.path("2024-05.txt")), text);
}

TEST_F(LogFiles, UnwritableDirectoryIsSilentlySkipped) {
  log_settings_override(2, "/nonexistent-merovane-dir/sub");
  chain_pair(1, 2, 9);
  log_line(1, "Connected.");
  log_dump(2, "abc", 3, "3 bytes received.");
  traffic_record("a:1", 1, 1);
  SUCCEED();
}

// A changed "log_dir" in the database takes effect within 30 s.
TEST_F(LogFiles, ChangedDirectoryTakesEffectWithinThirtySeconds) {
  temp_home db_home;
  if (!db_open(db_home.path("settings.db").c_str())) GTEST_SKIP() << "no database layer yet";
  db_init_schema();
  temp_home second;
  char buf[260];
  std::snprintf(buf, sizeof buf, "%s", dir.dir.c_str());
  setting_str("log_dir", buf, sizeof buf, 1);
  setting_int("log_level", 2, 1);
  log_settings_forget();
  chain_pair(1, 2, 1);
  log_line(1, "first");
  EXPECT_TRUE(file_exists(dir.path("0000001.txt")));
  std::snprintf(buf, sizeof buf, "%s", second.dir.c_str());
  setting_str("log_dir", buf, sizeof buf, 1);
  clock_advance(29000);
  log_line(1, "still old");
  EXPECT_FALSE(file_exists(second.path("0000001.txt")));
  clock_advance(1500);
  log_line(1, "new");
  EXPECT_TRUE(file_exists(second.path("0000001.txt")));
  setting_int("log_level", 1, 1);
  clock_advance(31000);
  log_line(1, "level 1: no file");
  EXPECT_EQ(read_file(second.path("0000001.txt")).find("level 1"), std::string::npos);
  db_close();
}

}  // namespace
