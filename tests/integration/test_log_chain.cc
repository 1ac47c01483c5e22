// Diagnostic log and traffic file behind real chains: the program relays
// curl's requests through microsocks to a local origin server.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "db/db.h"
#include "tests/support/chain_db.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"
#include "tests/support/suite_peers.h"

namespace {

constexpr const char* kProgram = "127.0.0.66";
constexpr const char* kSocks = "127.0.0.67";
constexpr const char* kOrigin = "127.0.0.68";
constexpr const char* kToken = "0f3c9a2b5d7e41a68c1b2d3e4f506172";

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool digits(const std::string& s, size_t from, size_t count) {
  if (s.size() < from + count) return false;
  for (size_t i = from; i < from + count; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}
// "2024-05.txt"
bool is_month_file(const std::string& n) {
  return n.size() == 11 && digits(n, 0, 4) && n[4] == '-' && digits(n, 5, 2) &&
         n.compare(7, 4, ".txt") == 0;
}
// "0000012.txt"
bool is_connection_file(const std::string& n) {
  return n.size() == 11 && digits(n, 0, 7) && n.compare(7, 4, ".txt") == 0;
}

// Polls for at most 5 s until the directory holds a file whose name matches.
std::string wait_for_file(const std::string& dir, bool (*matches)(const std::string&)) {
  for (int i = 0; i < 250; ++i) {
    for (const auto& n : names_in(dir))
      if (matches(n)) return n;
    usleep(20000);
  }
  return "";
}

class LogChain : public origin_socks_suite {
 protected:
  static void SetUpTestSuite() { start_peers(kOrigin, kSocks); }

  program_instance program;
  std::string logs;

  void start_at_level(int level) {
    ASSERT_TRUE(microsocks) << "microsocks did not start (see " << scratch_dir() << ")";
    ASSERT_TRUE(program.prepare(kProgram, [&] {
      chain_db_add_link(1, 5, PT_SOCKS5, ip_number(kSocks), microsocks->port);
      setting_int("log_level", level, 1);
      char dir[260];
      std::snprintf(dir, sizeof dir, "%s", logs.c_str());
      setting_str("log_dir", dir, sizeof dir, 1);
    }));
    ASSERT_TRUE(program.start()) << program.log();
  }
  void SetUp() override {
    logs = scratch_dir() + "/logs-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    mkdir(logs.c_str(), 0700);
  }
  void fetch(const std::string& host, int bytes) {
    std::string url =
        "http://" + host + ":" + std::to_string(origin->port) + "/bytes/" + std::to_string(bytes);
    std::string out = logs + "-body";
    ASSERT_EQ(run_curl({"--socks5-hostname", program.url(), url}, out), 0)
        << read_file(out + ".err");
    EXPECT_EQ(read_file(out).size(), static_cast<size_t>(bytes));
  }
  // "DD-HH:MM:SS sent received <socks> <target>" CR LF; sent and received out.
  bool is_traffic_line(const std::string& line, const std::string& target, unsigned long* sent,
                       unsigned long* received) {
    int day, hour, minute, second, used = 0;
    if (std::sscanf(line.c_str(), "%2d-%2d:%2d:%2d %lu %lu %n", &day, &hour, &minute, &second, sent,
                    received, &used) != 6 ||
        line.size() < 12 || line[2] != '-')
      return false;
    std::string chain = std::string(kSocks) + ":" + std::to_string(microsocks->port) + " " + target;
    return line.substr(static_cast<size_t>(used)) == chain + "\r\n";
  }
};

TEST_F(LogChain, LevelOneWritesTheTrafficLineAndNoConnectionFile) {
  start_at_level(1);
  fetch(kOrigin, 5000);
  std::string month = wait_for_file(logs, is_month_file);
  ASSERT_FALSE(month.empty()) << program.log();
  std::string text = read_file(logs + "/" + month);
  std::string target = std::string(kOrigin) + ":" + std::to_string(origin->port);
  const std::string header = "#DD-HH:MM:SS sent_bytes recv_bytes velmoor target\r\n";
  ASSERT_EQ(text.substr(0, header.size()), header) << text;
  unsigned long sent = 0, received = 0;
  EXPECT_TRUE(is_traffic_line(text.substr(header.size()), target, &sent, &received)) << text;
  // Sent is the request, received the whole reply with its 5000-byte body.
  EXPECT_GT(sent, 20u);
  EXPECT_LT(sent, 1000u);
  EXPECT_GT(received, 5000u);
  EXPECT_EQ(names_in(logs), std::vector<std::string>{month});
}

TEST_F(LogChain, LevelTwoWritesOneFileForBothSlots) {
  start_at_level(2);
  fetch(kOrigin, 100);
  std::string conn = wait_for_file(logs, is_connection_file);
  ASSERT_FALSE(conn.empty()) << program.log();
  std::string month = wait_for_file(logs, is_month_file);
  ASSERT_FALSE(month.empty());
  std::string target = std::string(kOrigin) + ":" + std::to_string(origin->port);
  for (int i = 0; i < 100 && read_file(logs + "/" + month).find(target) == std::string::npos; ++i)
    usleep(20000);
  EXPECT_NE(read_file(logs + "/" + month).find(" " + target + "\r\n"), std::string::npos)
      << read_file(logs + "/" + month);
  usleep(300000);  // let both sides finish their closing lines
  std::string text = read_file(logs + "/" + conn);
  EXPECT_NE(text.find("Building chain: "), std::string::npos) << text;
  // Lines of two different sockets in the one file.
  std::vector<unsigned> sockets;
  for (size_t at = 0; at < text.size(); at = text.find("\r\n", at) + 2) {
    unsigned sock = 0;
    int h, m, sec, ms, used = 0;
    if (std::sscanf(text.c_str() + at, "[%u] %2d:%2d:%2d.%3d  %n", &sock, &h, &m, &sec, &ms,
                    &used) == 5 &&
        used == static_cast<int>(std::to_string(sock).size()) + 17 &&
        std::find(sockets.begin(), sockets.end(), sock) == sockets.end())
      sockets.push_back(sock);
    if (text.find("\r\n", at) == std::string::npos) break;
  }
  EXPECT_EQ(sockets.size(), 2u) << text;
  // The 05 01 00 greeting towards microsocks is dumped in the binary form.
  EXPECT_NE(text.find("0000: 05 01 00 "), std::string::npos) << text;
  size_t files = 0;
  for (const auto& n : names_in(logs))
    if (is_connection_file(n)) ++files;
  EXPECT_EQ(files, 1u);
}

TEST_F(LogChain, PanelConnectionsWriteNoFile) {
  start_at_level(3);
  std::string out = logs + "-panel";
  ASSERT_EQ(run_curl({"-H", "Host: localhost:" + std::to_string(program.port),
                      "http://" + program.url() + "/" + kToken + "/"},
                     out),
            0)
      << read_file(out + ".err");
  usleep(300000);
  EXPECT_TRUE(names_in(logs).empty());
}

}  // namespace
