// Data directory: the remembered "DB" path, the product-directory rule and
// the cleanup of per-connection log files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "startup/datadir.h"
#include "tests/support/startup_env.h"
#include "util/registry.h"

namespace {

using namespace startup_test;

class DataDir : public ::testing::Test {
 protected:
  temp_home home;
  void SetUp() override { setenv("MEROVANE_HOME", home.dir.c_str(), 1); }
  void TearDown() override { unsetenv("MEROVANE_HOME"); }
};

std::string db_value() {
  char buf[520];
  uint32_t type = 0;
  size_t size = 0;
  if (!reg_get("DB", &type, buf, 519, &size) || type != REG_SZ) return "<none>";
  return buf;
}

TEST_F(DataDir, FirstUseCreatesProductDirectoryAndRemembersThePath) {
  EXPECT_EQ(db_value(), "<none>");
  char file[520], dir[520];
  data_path(file, sizeof file, true);
  EXPECT_EQ(std::string(file), home.dir + "/merovane/settings.db");
  EXPECT_EQ(db_value(), file);
  EXPECT_TRUE(std::filesystem::is_directory(home.path("merovane")));
  data_path(dir, sizeof dir, false);
  EXPECT_EQ(std::string(dir), home.dir + "/merovane");
  // Output is bounded by its capacity.
  char small[8];
  data_path(small, sizeof small, true);
  EXPECT_EQ(std::string(small), std::string(file).substr(0, 7));
}

TEST_F(DataDir, PathElsewhereIsUsedAsIsAndNamesNoDirectory) {
  std::string elsewhere = home.path("other/place.db");
  ASSERT_TRUE(reg_set("DB", REG_SZ, elsewhere.c_str(), elsewhere.size() + 1));
  char file[520], dir[520] = "x";
  data_path(file, sizeof file, true);
  EXPECT_EQ(std::string(file), elsewhere);
  data_path(dir, sizeof dir, false);
  EXPECT_STREQ(dir, "");
  EXPECT_FALSE(file_exists(home.path("merovane")));
  // The suffix rule ignores case.
  std::string upper = home.path("Data/MEROVANE/Settings.DB");
  ASSERT_TRUE(reg_set("DB", REG_SZ, upper.c_str(), upper.size() + 1));
  data_path(dir, sizeof dir, false);
  EXPECT_EQ(std::string(dir), home.path("Data/MEROVANE"));
}

TEST(LogCleanup, DeletesOnlyPerConnectionFiles) {
  temp_home logs;
  for (const char* name : {"0000012.txt", "2024-05.txt", "notes.txt", "12a.txt", "0000013.TXT",
                           "2024.txt", "123456.txt", ".txt", "12345678.txt"})
    write_file(logs.path(name), "x");
  std::filesystem::create_directory(logs.path("0000014.txt"));  // not a file: stays
  log_cleanup_dir(logs.dir.c_str());
  EXPECT_FALSE(file_exists(logs.path("0000012.txt")));
  EXPECT_FALSE(file_exists(logs.path("0000013.TXT")));
  EXPECT_TRUE(file_exists(logs.path("2024-05.txt")));
  EXPECT_TRUE(file_exists(logs.path("notes.txt")));
  EXPECT_TRUE(file_exists(logs.path("12a.txt")));
  EXPECT_TRUE(file_exists(logs.path("0000014.txt")));
  // A user's file with fewer than seven digits is not a connection's.
  EXPECT_TRUE(file_exists(logs.path("2024.txt")));
  EXPECT_TRUE(file_exists(logs.path("123456.txt")));
  EXPECT_TRUE(file_exists(logs.path(".txt")));
  EXPECT_FALSE(file_exists(logs.path("12345678.txt")));  // serials grow past seven digits
}

TEST(LogCleanup, ShortOrMissingDirectoryDoesNothing) {
  log_cleanup_dir("");
  log_cleanup_dir("/");
  log_cleanup_dir("/nonexistent-merovane-dir");
  temp_home logs;
  write_file(logs.path("0000001.txt"), "x");
  log_cleanup_dir((logs.dir + "/").c_str());  // a trailing slash is fine
  EXPECT_FALSE(file_exists(logs.path("0000001.txt")));
}

}  // namespace
