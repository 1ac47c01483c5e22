// The database while the server runs: an open that fails is told once and
// retried, and the next retry after the file became usable opens it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "db/db.h"
#include "log/console.h"
#include "startup/datadir.h"
#include "startup/server.h"
#include "tests/support/startup_env.h"

namespace {

using namespace startup_test;

TEST(StartupDatabase, FailureIsToldOnceAndTheRetryOpensItLater) {
  temp_home home;
  setenv("MEROVANE_HOME", home.dir.c_str(), 1);
  char file[520];
  data_path(file, sizeof file, true);
  // A directory where the file belongs: SQLite cannot open it.
  ASSERT_EQ(mkdir(file, 0700), 0);
  db_close();
  const uint32_t lines = console_written() + console_dropped();
  EXPECT_FALSE(server_database_retry());
  EXPECT_FALSE(server_database_retry());
  EXPECT_FALSE(server_database_retry());
  EXPECT_EQ(db_handle, nullptr);
  EXPECT_EQ(console_written() + console_dropped(), lines + 1);

  ASSERT_EQ(rmdir(file), 0);
  EXPECT_TRUE(server_database_retry());
  ASSERT_NE(db_handle, nullptr);
  EXPECT_EQ(console_written() + console_dropped(), lines + 2);  // "open again"
  EXPECT_TRUE(server_database_retry());
  EXPECT_EQ(console_written() + console_dropped(), lines + 2);
  db_close();
  unsetenv("MEROVANE_HOME");
}

}  // namespace
