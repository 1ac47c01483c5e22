// The scrambling file layer: key stream, reads and writes through the
// module, and that neither kind of file is readable as the other.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "db/db.h"
#include "db/scramble.h"
#include "tests/support/db_temp.h"

namespace {

uint8_t plain_byte(size_t i) {
  return static_cast<uint8_t>(i * 7 + 3);
}

// A file opened directly through the scrambling module.
struct raw_file {
  sqlite3_vfs* vfs = nullptr;
  sqlite3_file* f = nullptr;
  std::vector<char> storage;
  bool open(const std::string& path) {
    if (!scramble_vfs_register()) return false;
    vfs = sqlite3_vfs_find(SCRAMBLE_VFS_NAME);
    if (vfs == nullptr) return false;
    storage.assign(static_cast<size_t>(vfs->szOsFile), 0);
    f = reinterpret_cast<sqlite3_file*>(storage.data());
    int out = 0;
    int flags = SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_CREATE | SQLITE_OPEN_READWRITE;
    return vfs->xOpen(vfs, path.c_str(), f, flags, &out) == SQLITE_OK;
  }
  int write(const void* b, int n, int64_t off) { return f->pMethods->xWrite(f, b, n, off); }
  int read(void* b, int n, int64_t off) { return f->pMethods->xRead(f, b, n, off); }
  ~raw_file() {
    if (f != nullptr && f->pMethods != nullptr) f->pMethods->xClose(f);
  }
};

class ScrambleFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/merovane-scr-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    path = dir + "/file.bin";
  }
  void TearDown() override {
    unlink(path.c_str());
    rmdir(dir.c_str());
  }
  std::string dir, path;
};

TEST(ScrambleKey, KeyStreamRule) {
  for (unsigned p = 0; p < 1024; ++p) {
    unsigned k = p % 256;
    EXPECT_EQ(scramble_key(p), static_cast<uint8_t>(k * (k ^ 0x3Bu))) << p;
  }
  EXPECT_EQ(scramble_key(0), 0);
  EXPECT_EQ(scramble_key(256), 0);
  EXPECT_EQ(scramble_key(1), 0x3A);
  // Only the low 8 bits of a 64-bit position matter.
  EXPECT_EQ(scramble_key(0x123456789ABCDE05ull), scramble_key(5));
}

TEST(ScrambleKey, TenBytesAtOffset250WrapTheKey) {
  uint8_t buf[10] = {};
  file_scramble(buf, sizeof buf, 250);
  const unsigned positions[10] = {250, 251, 252, 253, 254, 255, 0, 1, 2, 3};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(buf[i], scramble_key(positions[i])) << i;
  // Same bytes at 250 + 256: the key follows position mod 256.
  uint8_t again[10] = {};
  file_scramble(again, sizeof again, 250 + 256);
  EXPECT_EQ(0, memcmp(buf, again, sizeof buf));
  // Applying it twice gives the plain bytes back.
  file_scramble(buf, sizeof buf, 250);
  for (uint8_t b : buf) EXPECT_EQ(b, 0);
}

TEST_F(ScrambleFile, WriteAtZeroReadsBackAndDiskHoldsScrambledBytes) {
  std::vector<uint8_t> plain(1100);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = plain_byte(i);
  std::vector<uint8_t> caller = plain;
  {
    raw_file f;
    ASSERT_TRUE(f.open(path));
    ASSERT_EQ(f.write(caller.data(), static_cast<int>(caller.size()), 0), SQLITE_OK);
    EXPECT_EQ(caller, plain) << "the caller's buffer must stay as it was";
    std::vector<uint8_t> back(plain.size());
    ASSERT_EQ(f.read(back.data(), static_cast<int>(back.size()), 0), SQLITE_OK);
    EXPECT_EQ(back, plain);
    // The key follows the position, not the call.
    std::vector<uint8_t> shifted(100);
    ASSERT_EQ(f.read(shifted.data(), 100, 1), SQLITE_OK);
    EXPECT_NE(0, memcmp(shifted.data(), plain.data(), 100));
  }
  std::string disk = read_file(path);
  ASSERT_EQ(disk.size(), plain.size()) << "scrambling never changes lengths";
  for (size_t p = 0; p < disk.size(); ++p) {
    uint8_t stored = static_cast<uint8_t>(disk[p]);
    EXPECT_EQ(stored, static_cast<uint8_t>(plain[p] ^ scramble_key(p))) << p;
    if (scramble_key(p) != 0) {
      EXPECT_NE(stored, plain[p]) << p;
    }
  }
  for (size_t p : {0u, 256u, 512u, 768u, 1024u}) EXPECT_EQ(static_cast<uint8_t>(disk[p]), plain[p]);
}

TEST_F(ScrambleFile, WritesAtOddOffsetsAndLargeWrites) {
  std::vector<uint8_t> plain(70000);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = plain_byte(i * 13);
  {
    raw_file f;
    ASSERT_TRUE(f.open(path));
    // One large write (beyond the stack copy) and one small one at 250.
    ASSERT_EQ(f.write(plain.data(), static_cast<int>(plain.size()), 0), SQLITE_OK);
    ASSERT_EQ(f.write(plain.data(), 10, 250), SQLITE_OK);
  }
  std::string disk = read_file(path);
  ASSERT_EQ(disk.size(), plain.size());
  for (size_t p = 0; p < disk.size(); ++p) {
    uint8_t want = (p >= 250 && p < 260) ? plain[p - 250] : plain[p];
    ASSERT_EQ(static_cast<uint8_t>(disk[p]), static_cast<uint8_t>(want ^ scramble_key(p))) << p;
  }
}

TEST_F(ScrambleFile, ShortReadFillsPlainZeros) {
  raw_file f;
  ASSERT_TRUE(f.open(path));
  std::vector<uint8_t> plain(300);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = plain_byte(i) | 1;
  ASSERT_EQ(f.write(plain.data(), 300, 0), SQLITE_OK);
  std::vector<uint8_t> back(512, 0xEE);
  EXPECT_EQ(f.read(back.data(), 512, 0), SQLITE_IOERR_SHORT_READ);
  EXPECT_EQ(0, memcmp(back.data(), plain.data(), 300));
  for (size_t i = 300; i < 512; ++i) ASSERT_EQ(back[i], 0) << i;
  // Entirely past the end: all zeros.
  std::vector<uint8_t> past(100, 0xEE);
  EXPECT_EQ(f.read(past.data(), 100, 1000), SQLITE_IOERR_SHORT_READ);
  for (uint8_t b : past) EXPECT_EQ(b, 0);
}

class ScrambleDatabase : public ::testing::Test {
 protected:
  void TearDown() override { db_temp_close(t); }
  db_temp t;
};

TEST_F(ScrambleDatabase, PlainSqliteFileIsRefused) {
  char pattern[] = "/tmp/merovane-db-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  t.dir = pattern;
  t.path = t.dir + "/settings.db";
  sqlite3* plain = nullptr;
  ASSERT_EQ(
      sqlite3_open_v2(t.path.c_str(), &plain, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "unix"),
      SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(plain, "CREATE TABLE x(a);INSERT INTO x VALUES(1)", nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(plain);

  // Through the scrambling layer SQLite sees no database...
  ASSERT_TRUE(scramble_vfs_register());
  sqlite3* through = nullptr;
  ASSERT_EQ(sqlite3_open_v2(t.path.c_str(), &through, SQLITE_OPEN_READWRITE, SCRAMBLE_VFS_NAME),
            SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(through, "SELECT * FROM x", nullptr, nullptr, nullptr), SQLITE_NOTADB);
  sqlite3_close(through);
  // ...and the program does not take it as an open database.
  EXPECT_FALSE(db_open(t.path.c_str()));
  EXPECT_EQ(db_handle, nullptr);
  EXPECT_EQ(db_exec("SELECT 1"), 0u);
}

TEST_F(ScrambleDatabase, ProgramFileIsNotReadableByPlainSqlite) {
  ASSERT_TRUE(db_temp_open(t));
  EXPECT_EQ(db_exec("INSERT INTO proxy(ip,port) VALUES(%u,%u)", 16777343u, 1080u), 1u);
  db_close();
  std::string disk = read_file(t.path);
  ASSERT_GE(disk.size(), 100u);
  EXPECT_NE(disk.compare(0, 16, std::string("SQLite format 3\0", 16)), 0);
  // Descrambled, it is an ordinary database header.
  file_scramble(disk.data(), 16, 0);
  EXPECT_EQ(disk.compare(0, 16, std::string("SQLite format 3\0", 16)), 0);

  sqlite3* plain = nullptr;
  ASSERT_EQ(sqlite3_open_v2(t.path.c_str(), &plain, SQLITE_OPEN_READWRITE, "unix"), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(plain, "SELECT * FROM proxy", nullptr, nullptr, nullptr), SQLITE_NOTADB);
  sqlite3_close(plain);
}

TEST_F(ScrambleDatabase, WriteAheadLogIsScrambledAndNoSharedMemoryFileExists) {
  ASSERT_TRUE(db_temp_open(t));
  for (unsigned i = 0; i < 50; ++i)
    ASSERT_EQ(db_exec("INSERT INTO proxy(ip,port) VALUES(%u,%u)", 1000u + i, 80u), 1u);
  EXPECT_NE(access((t.path + "-wal").c_str(), F_OK), -1) << "WAL in use while open";
  EXPECT_EQ(access((t.path + "-shm").c_str(), F_OK), -1) << "no memory-mapped wal index file";
  std::string wal = read_file(t.path + "-wal");
  ASSERT_GE(wal.size(), 32u);
  // The WAL header starts with a magic number 0x377f0682 or 0x377f0683.
  const uint8_t magic[3] = {0x37, 0x7f, 0x06};
  EXPECT_NE(0, memcmp(wal.data(), magic, 3));
  file_scramble(wal.data(), wal.size(), 0);
  EXPECT_EQ(0, memcmp(wal.data(), magic, 3));
  db_close();
  EXPECT_EQ(access((t.path + "-shm").c_str(), F_OK), -1);
}

}  // namespace
