// The running program when its storage fails under it: the database
// directory turned read-only, and the disk full (a small tmpfs holding the
// database and the diagnostic logs). Relaying goes on, the panel answers,
// nothing crashes, and writing works again once the fault is gone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "db/db.h"
#include "tests/support/chain_db.h"
#include "tests/support/fault_support.h"
#include "tests/support/suite_peers.h"

namespace {

constexpr const char* kOrigin = "127.0.0.81";
constexpr const char* kMicrosocks = "127.0.0.82";
constexpr const char* kProgram = "127.0.0.83";

// n loopback proxies as the panel sends a pasted list.
std::string proxy_list_body(int third_octet, int n) {
  std::string body = "type=upload_proxy&list=";
  for (int i = 0; i < n; ++i)
    body += "127.9." + std::to_string(third_octet + i / 250) + "." + std::to_string(i % 250 + 1) +
            "%3A3128%0A";
  return body;
}

class FaultStorage : public origin_socks_suite {
 protected:
  static void SetUpTestSuite() { start_peers(kOrigin, kMicrosocks); }
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "mounting the small disks needs root";
    ASSERT_TRUE(microsocks) << "microsocks did not start";
  }
  void TearDown() override {
    if (program.pid > 0) {
      EXPECT_TRUE(program.alive()) << "the program died";
    }
    program.stop();
    // Mounts go once nothing holds them; a bind mount twice stacked goes twice.
    for (const std::string& dir : mounts) {
      shell("umount " + dir + " 2>/dev/null");
      shell("umount " + dir + " 2>/dev/null");
    }
  }

  program_instance program;
  std::vector<std::string> mounts;

  std::string data_dir() const { return program.home + "/merovane"; }

  void prepare(const std::function<void()>& more = [] {}) {
    ASSERT_TRUE(program.prepare(kProgram, [&] {
      chain_db_add_link(1, 5, PT_SOCKS5, ip_number(kMicrosocks), microsocks->port);
      more();
    }));
  }
  // Traffic keeps flowing: three downloads, each exact.
  void expect_relay() {
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(fault_download(program, *origin, 300000)) << i;
  }
  std::string upload(int third_octet, int n) {
    return fault_panel_ajax(program, proxy_list_body(third_octet, n), 60000);
  }
  void expect_intact_database() {
    program.stop();
    ASSERT_TRUE(db_open(program.db_path().c_str()));
    char* check = db_query_text("", "\n", "PRAGMA integrity_check");
    ASSERT_NE(check, nullptr);
    EXPECT_STREQ(check, "ok");
    free(check);
    db_close();
  }
};

TEST_F(FaultStorage, ReadOnlyDatabaseDirectory) {
  prepare();
  ASSERT_TRUE(program.start()) << program.log();
  EXPECT_NE(upload(1, 2).find("{count:2, added:2}"), std::string::npos);

  // New files in the directory (the journal) can no longer be made; the
  // database file that is open stays as it is.
  const std::string dir = data_dir();
  ASSERT_EQ(shell("mount --bind " + dir + " " + dir), 0);
  mounts.push_back(dir);
  ASSERT_EQ(shell("mount -o remount,bind,ro " + dir), 0);
  ASSERT_NE(shell("touch " + dir + "/probe 2>/dev/null"), 0) << "the directory is writable";

  // The open database and its write-ahead log may still take the rows; what
  // matters is that the answer comes and nothing breaks.
  const std::string refused = upload(5, 2);
  EXPECT_NE(refused.find("ajax_callback(\"upload_proxy\""), std::string::npos) << refused;
  EXPECT_TRUE(program.alive());
  expect_relay();
  const std::string list = fault_panel_ajax(program, "type=load_proxy");
  EXPECT_NE(list.find("ajax_callback(\"load_proxy\",[["), std::string::npos) << list;

  // Writable again: the next upload is stored.
  ASSERT_EQ(shell("umount " + dir), 0);
  mounts.clear();
  const std::string stored = upload(9, 2);
  EXPECT_NE(stored.find("{count:2, added:2}"), std::string::npos) << stored;
  expect_relay();
  EXPECT_TRUE(program.alive());
  expect_intact_database();
}

TEST_F(FaultStorage, FullDiskUnderTheDatabaseAndTheLogs) {
  // Diagnostic logs of every connection go to the same small disk.
  std::string log_dir;
  prepare([&] {
    db_exec("INSERT OR REPLACE INTO settings(name,value) VALUES('log_level','2')");
    db_exec("INSERT OR REPLACE INTO settings(name,value) VALUES('log_dir',%Q)",
            (program.home + "/merovane/logs/").c_str());
  });
  // The prepared directory moves onto an 8 MiB tmpfs.
  const std::string dir = data_dir();
  ASSERT_EQ(rename(dir.c_str(), (dir + ".prepared").c_str()), 0);
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(shell("mount -t tmpfs -o size=8m,mode=0700 merovane-full " + dir), 0);
  mounts.push_back(dir);
  ASSERT_EQ(shell("cp -a " + dir + ".prepared/. " + dir + "/"), 0);
  ASSERT_EQ(mkdir((dir + "/logs").c_str(), 0700), 0);
  ASSERT_TRUE(program.start()) << program.log();
  expect_relay();

  // Fill the disk to the last block.
  {
    const int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(65536, 'z');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    while (write(fd, block.data(), 1) > 0) {
    }
    close(fd);
  }
  const std::string refused = upload(1, 3000);
  EXPECT_EQ(refused.find("added:3000"), std::string::npos) << "the disk was not full";
  EXPECT_NE(refused.find("ajax_callback(\"upload_proxy\""), std::string::npos)
      << refused.substr(0, 300);
  EXPECT_TRUE(program.alive());
  expect_relay();
  EXPECT_NE(fault_panel_ajax(program, "type=load_proxy").find("ajax_callback(\"load_proxy\","),
            std::string::npos);

  // Room again (the logs of the relays above went to the same disk): uploads
  // are stored, and the database is sound.
  ASSERT_EQ(unlink((dir + "/filler").c_str()), 0);
  ASSERT_EQ(shell("rm -f " + dir + "/logs/*"), 0);
  const std::string stored = upload(100, 50);
  EXPECT_NE(stored.find("{count:50, added:50}"), std::string::npos) << stored;
  expect_relay();
  EXPECT_TRUE(program.alive());
  expect_intact_database();
}

}  // namespace
