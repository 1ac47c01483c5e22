// List downloads past the relay's flow-control mark: a 3 MB list whose
// proxies stand at its end is read to the end and imported, a list larger
// than 16 MiB is cut there, and a cycle is recorded only once every
// download of it ended by itself. The engine runs on this thread with the
// test clock; the list servers are scripted peers on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "db/db.h"
#include "engine/slot.h"
#include "maintenance/download.h"
#include "maintenance/scheduler.h"
#include "platform/clock.h"
#include "tests/support/db_temp.h"
#include "tests/support/engine_harness.h"
#include "tests/support/maint_support.h"

namespace {

// `filler` bytes of lines without a proxy, then the proxies.
std::string list_of(size_t filler, const std::string& proxies) {
  std::string line = "# nothing to see on this line, only words and more words\n";
  std::string body;
  body.reserve(filler + proxies.size() + line.size());
  while (body.size() < filler) body += line;
  return "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body + proxies;
}

bool downloading() {
  for (int i = 1; i < SLOT_COUNT; ++i)
    if (conn_table[i].sock != -1 && conn_table[i].kind == slot_kind::download) return true;
  return false;
}

TEST(MaintDownload, BigListsAreReadToTheEndOrCutAt16MiB) {
  const std::string big = list_of(3u << 20, "127.0.17.1:3128\n127.0.17.2:8080\n");
  const std::string huge = list_of((16u << 20) + 4096, "127.0.17.3:3128\n");
  maint_scripted_peer lists;
  ASSERT_TRUE(lists.start("127.0.17.9", 0, [&](int fd) {
    std::string head = read_http(fd, 3000);
    send_all(fd, head.find("/huge") != std::string::npos ? huge : big);
  }));

  clock_fake_enable(1000000, static_cast<uint64_t>(time(nullptr)) * 1000u);
  db_temp t;
  ASSERT_TRUE(db_temp_open(t));
  {
    engine_harness h;
    scheduler_reset();
    const std::string base = "http://127.0.17.9:" + std::to_string(lists.port);
    char urls[256];
    snprintf(urls, sizeof urls, "%s/big.txt\n%s/huge.txt\n", base.c_str(), base.c_str());
    setting_str("download_urls", urls, sizeof urls, 1);

    // One pass per list: each is read to its end before the next starts.
    for (int i = 0; i < 2; ++i) {
      download_pass();
      ASSERT_TRUE(downloading());
      ASSERT_TRUE(maint_drive([] { return !downloading(); }, 10, 20000, 60000)) << [] {
        std::string s;
        for (int k = 1; k < SLOT_COUNT; ++k)
          if (conn_table[k].sock != -1)
            s += std::to_string(static_cast<int>(conn_table[k].kind)) + ":" +
                 std::to_string(conn_table[k].in.len) + " ";
        return s;
      }();
    }
    EXPECT_EQ(db_rows("SELECT count(*) FROM proxy WHERE port IN(3128,8080) AND ip IN(" +
                      std::to_string(inet_addr("127.0.17.1")) + "," +
                      std::to_string(inet_addr("127.0.17.2")) + ")"),
              "2");
    // Past 16 MiB: cut, so the proxy at the end never arrives.
    EXPECT_EQ(
        db_rows("SELECT count(*) FROM proxy WHERE ip=" + std::to_string(inet_addr("127.0.17.3"))),
        "0");
    // Both ended by themselves: the cycle is recorded.
    download_pass();
    EXPECT_NE(setting_int("download_urls_time", 0, 0), 0);
    EXPECT_FALSE(downloading());
  }
  db_temp_close(t);
  clock_fake_disable();
}

TEST(MaintDownload, ACycleCutByTheTimeLimitIsNotRecorded) {
  maint_scripted_peer silent;
  ASSERT_TRUE(silent.start("127.0.17.10", 0, [](int fd) {
    read_http(fd, 3000);  // and no answer until the client goes
    char b[64];
    while (recv(fd, b, sizeof b, 0) > 0) {
    }
  }));
  clock_fake_enable(1000000, static_cast<uint64_t>(time(nullptr)) * 1000u);
  db_temp t;
  ASSERT_TRUE(db_temp_open(t));
  {
    engine_harness h;
    scheduler_reset();
    char urls[128];
    snprintf(urls, sizeof urls, "http://127.0.17.10:%u/list.txt\n", silent.port);
    setting_str("download_urls", urls, sizeof urls, 1);
    download_pass();
    ASSERT_TRUE(downloading());
    ASSERT_TRUE(maint_drive([] { return !downloading(); }, 1000, 200, 20000));
    download_pass();
    EXPECT_EQ(setting_int("download_urls_time", 0, 0), 0);
    EXPECT_FALSE(downloading());
  }
  db_temp_close(t);
  clock_fake_disable();
}

}  // namespace
