// A writer process killed with SIGKILL at random moments: after every kill
// the file is a sound database that holds every row whose statement had
// returned, both through the program's layer and, descrambled byte by
// byte, through plain SQLite.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <thread>

#include "db/db.h"
#include "db/scramble.h"
#include "tests/support/db_temp.h"
#include "util/text.h"

namespace {

// Progress the writer reports to the test: the last proxy number whose
// statements had all returned.
struct progress {
  std::atomic<uint32_t> acked;
  std::atomic<uint32_t> started;
};

// The writer: proxies and settings, one statement at a time, as the program
// writes them. Bounded in count and time; the test kills it long before.
// With `frequent_checkpoints` the log is copied back into the database
// every 16 pages, so that kills also land inside checkpoints.
[[noreturn]] void writer(const std::string& path, progress* shared, bool frequent_checkpoints) {
  if (!db_open(path.c_str())) _exit(2);
  if (frequent_checkpoints) db_exec("PRAGMA wal_autocheckpoint=16");
  db_init_schema();
  shared->started.fetch_add(1);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  // A kill may fall between a statement's return and its report: go on
  // after the last row in the file.
  char* last = db_query_text("", "", "SELECT max(ip) FROM proxy");
  uint32_t i = last != nullptr ? parse_decimal(last) : 0;
  free(last);
  if (i < shared->acked.load()) _exit(4);
  for (int n = 0; n < 200000 && std::chrono::steady_clock::now() < until; ++n) {
    ++i;
    if (db_exec("INSERT INTO proxy(ip,port,type,rank) VALUES(%u,%u,%d,%d)", i, 1000u + i % 60000,
                16, 0) != 1)
      _exit(3);
    if (i > 10) db_exec("UPDATE proxy SET rank=rank+1,t_ok=%u WHERE ip=%u", i, i - 10);
    setting_int("counter", static_cast<int>(i), 1);
    char text[32];
    snprintf(text, sizeof text, "proxy-%u", i);
    setting_str("last", text, sizeof text, 1);
    shared->acked.store(i);
  }
  db_close();
  _exit(0);
}

std::string query(sqlite3* h, const char* sql) {
  std::string out;
  sqlite3_exec(
      h, sql,
      [](void* o, int n, char** v, char**) {
        for (int i = 0; i < n; ++i) *static_cast<std::string*>(o) += v[i] != nullptr ? v[i] : "";
        return 0;
      },
      &out, nullptr);
  return out;
}

bool write_file(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

class DbCrash : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char* suffix : {"", "-wal", "-shm"})
      unlink((t.dir + "/plain/copy.db" + suffix).c_str());
    rmdir((t.dir + "/plain").c_str());
    db_temp_close(t);
  }
  db_temp t;
};

TEST_F(DbCrash, KilledWriterLosesNothingThatReturned) {
  char pattern[] = "/tmp/merovane-crash-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  t.dir = pattern;
  t.path = t.dir + "/settings.db";
  void* mem =
      mmap(nullptr, sizeof(progress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  progress* shared = new (mem) progress{};

  unsigned seed = static_cast<unsigned>(std::random_device{}());
  std::mt19937 rng(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  const int kills = 16;
  for (int round = 0; round < kills; ++round) {
    uint32_t before = shared->acked.load();
    uint32_t started_before = shared->started.load();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) writer(t.path, shared, round % 2 == 1);

    // Every fourth round the kill may land inside opening and schema
    // preparation; otherwise once rows are flowing.
    if (round % 4 != 3) {
      auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (shared->acked.load() <= before + 5 && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 60000));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended by itself, status " << status;

    uint32_t acked = shared->acked.load();
    SCOPED_TRACE("round " + std::to_string(round) + ", acked " + std::to_string(acked));
    if (round % 4 != 3) {
      EXPECT_GT(acked, before);
    } else if (shared->started.load() == started_before) {
      continue;  // killed before the file was touched
    }
    ASSERT_TRUE(db_open(t.path.c_str()));
    char* check = db_query_text("", "", "PRAGMA integrity_check");
    EXPECT_STREQ(check != nullptr ? check : "", "ok");
    free(check);
    char* have = db_query_text("", "", "SELECT count(*) FROM proxy WHERE ip<=%u", acked);
    EXPECT_EQ(have != nullptr ? parse_decimal(have) : 0u, acked);
    free(have);
    if (acked > 0) {
      EXPECT_GE(setting_int("counter", 0, 0), static_cast<int>(acked));
      char last[32] = "";
      EXPECT_EQ(setting_str("last", last, sizeof last, 0), 1);
      EXPECT_GE(std::strtoul(last + 6, nullptr, 10), acked) << last;
    }
    db_close();
    if (HasFailure()) break;
  }
  EXPECT_GT(shared->acked.load(), 100u);

  // The files on disk are exactly the scrambled form of an SQLite database
  // and its write-ahead log: descrambled, plain SQLite reads them.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) writer(t.path, shared, false);
  auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  uint32_t before = shared->acked.load();
  while (shared->acked.load() < before + 50 && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  uint32_t acked = shared->acked.load();
  std::string plain_dir = t.dir + "/plain";
  ASSERT_EQ(mkdir(plain_dir.c_str(), 0700), 0);
  for (const char* suffix : {"", "-wal"}) {
    std::string bytes = read_file(t.path + suffix);
    file_scramble(bytes.data(), bytes.size(), 0);
    ASSERT_TRUE(write_file(plain_dir + "/copy.db" + suffix, bytes));
  }
  EXPECT_NE(access((t.path + "-shm").c_str(), F_OK), 0);
  sqlite3* plain = nullptr;
  ASSERT_EQ(
      sqlite3_open_v2((plain_dir + "/copy.db").c_str(), &plain, SQLITE_OPEN_READWRITE, "unix"),
      SQLITE_OK);
  EXPECT_EQ(query(plain, "PRAGMA integrity_check"), "ok");
  char sql[96];
  snprintf(sql, sizeof sql, "SELECT count(*) FROM proxy WHERE ip<=%u", acked);
  EXPECT_EQ(query(plain, sql), std::to_string(acked));
  sqlite3_close(plain);
  munmap(mem, sizeof(progress));
}

}  // namespace
