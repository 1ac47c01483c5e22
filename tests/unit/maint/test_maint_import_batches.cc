// Storing an imported list: pairs go in by batches of a thousand in one
// transaction each, known pairs are not added twice, and a large import
// leaves no long write-ahead log behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "db/db.h"
#include "maintenance/import.h"
#include "tests/support/db_temp.h"

namespace {

std::string list_of(int n, int first = 0) {
  std::string text;
  char line[48];
  for (int i = first; i < first + n; ++i) {
    snprintf(line, sizeof line, "10.%d.%d.%d:%d\n", i / 65536, (i / 256) % 256, i % 256,
             1080 + i % 5000);
    text += line;
  }
  return text;
}

long file_size(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

std::string import(const std::string& text) {
  char* summary = import_proxy_list(text.c_str(), 0);
  std::string s = summary != nullptr ? summary : "";
  free(summary);
  return s;
}

TEST(ImportBatches, LargeListIsStoredWithoutALongLog) {
  db_temp t;
  ASSERT_TRUE(db_temp_open(t));
  EXPECT_EQ(import(list_of(2500)), "{count:2500, added:2500}");
  // One commit per line left about 3 KiB of log per pair.
  EXPECT_LT(file_size(t.path + "-wal"), 256L << 10);
  char* rows = db_query_text("", "", "SELECT count(*) FROM proxy WHERE ip<>0");
  ASSERT_NE(rows, nullptr);
  EXPECT_GE(atoi(rows), 2500);
  free(rows);
  // Known pairs, a partial batch and new ones together.
  EXPECT_EQ(import(list_of(1500, 2000)), "{count:1500, added:1000}");
  db_temp_close(t);
}

TEST(ImportBatches, NothingIsCountedWithoutADatabase) {
  db_close();
  EXPECT_EQ(import(list_of(1200)), "{count:1200, added:0}");
}

}  // namespace
