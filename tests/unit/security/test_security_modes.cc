// Files that hold the panel's secret, the user's proxies or their traffic
// are the owner's alone, also when they were made earlier with looser
// modes; the listener stays on loopback unless an address was stored.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "db/db.h"
#include "platform/paths.h"
#include "startup/datadir.h"
#include "tests/support/startup_env.h"
#include "util/registry.h"
#include "util/text.h"

namespace {

using namespace startup_test;

class Modes : public ::testing::Test {
 protected:
  temp_home home;
  mode_t saved_umask = 0;
  void SetUp() override {
    saved_umask = umask(022);
    setenv("MEROVANE_HOME", home.dir.c_str(), 1);
    reg_root_forget();
  }
  void TearDown() override {
    db_close();
    unsetenv("MEROVANE_HOME");
    reg_root_forget();
    umask(saved_umask);
  }
};

TEST_F(Modes, RegistryBecomesPrivateOnReadAndRewriteItsChosenFolderKeepsItsMode) {
  const std::string file = home.path("registry");
  write_file(file, "listen_port=dword:3128\n");
  chmod(file.c_str(), 0644);
  chmod(home.dir.c_str(), 0755);
  EXPECT_EQ(reg_listen_port(), 3128u);  // a read alone
  EXPECT_EQ(file_mode(file), 0600u);
  EXPECT_EQ(file_mode(home.dir), 0755u);

  chmod(file.c_str(), 0666);
  chmod(home.dir.c_str(), 0775);
  uint32_t port = 8118;
  ASSERT_TRUE(reg_set("listen_port", REG_DWORD, &port, sizeof port));  // a rewrite
  EXPECT_EQ(file_mode(file), 0600u);
  EXPECT_EQ(file_mode(home.dir), 0775u);
  EXPECT_EQ(reg_listen_port(), 8118u);

  // Bits the owner took away are not given back.
  chmod(file.c_str(), 0400);
  EXPECT_EQ(reg_listen_port(), 8118u);
  EXPECT_EQ(file_mode(file), 0400u);
}

TEST_F(Modes, AFolderMadeForTheRegistryIsPrivate) {
  const std::string sub = home.path("made/here");
  setenv("MEROVANE_HOME", sub.c_str(), 1);
  uint32_t port = 3130;
  ASSERT_TRUE(reg_set("listen_port", REG_DWORD, &port, sizeof port));
  EXPECT_EQ(file_mode(sub), 0700u);
  EXPECT_EQ(file_mode(sub + "/registry"), 0600u);
}

TEST_F(Modes, ARegistryLinkDoesNotChangeTheFileItNames) {
  const std::string target = home.path("shared.conf");
  write_file(target, "listen_port=dword:3129\n");
  chmod(target.c_str(), 0644);
  ASSERT_EQ(symlink(target.c_str(), home.path("registry").c_str()), 0);
  EXPECT_EQ(reg_listen_port(), 3129u);
  EXPECT_EQ(file_mode(target), 0644u);
}

TEST_F(Modes, MissingAddressKeepsTheLoopbackDefault) {
  char ip[41];
  reg_listen_ip(ip, sizeof ip);
  EXPECT_STREQ(ip, "127.0.0.1");  // no registry at all
  write_file(home.path("registry"), "listen_ip=dword:5\n");
  reg_listen_ip(ip, sizeof ip);
  EXPECT_STREQ(ip, "127.0.0.1");  // wrong type
  write_file(home.path("registry"), "listen_ip=sz:" + std::string(60, '1') + "\n");
  reg_listen_ip(ip, sizeof ip);
  EXPECT_STREQ(ip, "127.0.0.1");  // too long to read
  write_file(home.path("registry"), "listen_ip=sz:127.0.0.9\n");
  reg_listen_ip(ip, sizeof ip);
  EXPECT_STREQ(ip, "127.0.0.9");
  write_file(home.path("registry"), "listen_ip=sz:\n");
  reg_listen_ip(ip, sizeof ip);
  EXPECT_STREQ(ip, "");  // stored empty: the user asked for every interface
}

TEST_F(Modes, DatabaseFolderAndFilesArePrivate) {
  char path[520];
  data_path(path, sizeof path, true);
  ASSERT_EQ(std::string(path), home.path("merovane/settings.db"));
  EXPECT_EQ(file_mode(home.path("merovane")), 0700u);
  ASSERT_TRUE(db_open(path));
  db_init_schema();
  db_exec("INSERT INTO proxy(ip,port) VALUES(1,2)");
  EXPECT_EQ(file_mode(path), 0600u);
  for (const char* suffix : {"-wal", "-shm", "-journal"}) {
    std::string companion = std::string(path) + suffix;
    if (file_exists(companion)) {
      EXPECT_EQ(file_mode(companion), 0600u) << companion;
    }
  }
  db_close();

  // Made readable by others earlier: private again at the next start.
  chmod(home.path("merovane").c_str(), 0755);
  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::string f = std::string(path) + suffix;
    if (file_exists(f)) chmod(f.c_str(), 0644);
  }
  data_path(path, sizeof path, true);
  EXPECT_EQ(file_mode(home.path("merovane")), 0700u);
  ASSERT_TRUE(db_open(path));
  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::string f = std::string(path) + suffix;
    if (file_exists(f)) {
      EXPECT_EQ(file_mode(f), 0600u) << f;
    }
  }
  char* count = db_query_text("", "", "%s", "SELECT count(*) FROM proxy");
  EXPECT_STREQ(count, "1");
  free(count);
}

TEST_F(Modes, FoldersOfOthersAndLinksAreLeftAlone) {
  const std::string target = home.path("elsewhere");
  write_file(target, "x");
  chmod(target.c_str(), 0644);
  const std::string link = home.path("link");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_FALSE(path_keep_private(link.c_str(), 0600));
  EXPECT_EQ(file_mode(target), 0644u);
  EXPECT_FALSE(path_keep_private(home.path("missing").c_str(), 0600));
  EXPECT_TRUE(path_keep_private(target.c_str(), 0600));
  EXPECT_EQ(file_mode(target), 0600u);
}

// Diagnostic logs hold dumps of the clients' traffic.
TEST_F(Modes, LogFilesAreCreatedPrivate) {
  const std::string log = home.path("0000001.txt");
  ASSERT_EQ(file_append(log.c_str(), 3, "abc"), 1);
  EXPECT_EQ(file_mode(log), 0600u);
  ASSERT_EQ(file_append(log.c_str(), 3, "def"), 1);
  EXPECT_EQ(read_file(log), "abcdef");
}

}  // namespace
