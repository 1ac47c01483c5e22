// The running program without its database: the listener still opens, the
// outage is told once on stderr, an HTTP client gets a page saying why and
// a SOCKS client is closed; the panel still answers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "db/db.h"
#include "tests/support/net.h"
#include "tests/support/program.h"

namespace {

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(StartupWithoutDatabase, ClientsAreRefusedWithAReason) {
  program_instance program;
  ASSERT_TRUE(program.prepare("127.0.0.13", [] {}));
  const std::string db = program.db_path();
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((db + suffix).c_str());
  ASSERT_EQ(mkdir(db.c_str(), 0700), 0);  // SQLite cannot open a directory
  ASSERT_TRUE(program.start({}, 5000)) << program.log();

  int fd = connect_to(program.ip, program.port, 3000);
  ASSERT_GE(fd, 0);
  send_all(fd, "GET http://127.0.0.9:81/ HTTP/1.1\r\nHost: 127.0.0.9:81\r\n\r\n");
  bool closed = false;
  std::string page = read_to_close(fd, 5000, &closed);
  close(fd);
  EXPECT_NE(page.find("Proxy chains are not available"), std::string::npos) << page;
  EXPECT_TRUE(closed);

  fd = connect_to(program.ip, program.port, 3000);
  ASSERT_GE(fd, 0);
  send_all(fd, std::string("\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x09\x00\x51", 13) +
                   std::string("\x16\x03\x01\x00\x01", 5));
  std::string got = read_to_close(fd, 5000, &closed);
  close(fd);
  EXPECT_TRUE(closed);
  ASSERT_EQ(got.size(), 12u);  // the method reply and the refusal, nothing else
  EXPECT_EQ(got[3], '\x01');   // general failure

  fd = connect_to(program.ip, program.port, 3000);
  ASSERT_GE(fd, 0);
  send_all(
      fd, std::string("GET /") + kPanelToken + "/ HTTP/1.1\r\nHost: " + program.url() + "\r\n\r\n");
  std::string panel = read_http_reply(fd, 5000);
  close(fd);
  EXPECT_EQ(panel.rfind("HTTP/1.0 200", 0), 0u) << panel.substr(0, 200);

  program.stop();
  EXPECT_EQ(count(program.log(), "cannot open the database"), 1u) << program.log();
}

}  // namespace

namespace {

// Overwrites everything after the first page of the file with a pattern.
void damage_file(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  fseek(f, 0, SEEK_END);
  long size = ftell(f);
  ASSERT_GT(size, 8192);
  fseek(f, 4096, SEEK_SET);
  std::string junk(static_cast<size_t>(size - 4096), '\x5a');
  fwrite(junk.data(), 1, junk.size(), f);
  fclose(f);
}

TEST(StartupDamagedDatabase, ToldOnceOnStderrAndInThePanel) {
  program_instance program;
  ASSERT_TRUE(program.prepare("127.0.0.14", [] {
    for (int i = 0; i < 3000; ++i)
      db_exec("INSERT INTO proxy(ip,port) VALUES(%u,%d)", 0x0100000Au + (i << 8), 3128);
  }));
  damage_file(program.db_path());
  ASSERT_TRUE(program.start({}, 5000)) << program.log();
  // Ask for the proxy list twice: the damage shows at the first query.
  for (int round = 0; round < 2; ++round) {
    int fd = connect_to(program.ip, program.port, 3000);
    ASSERT_GE(fd, 0);
    std::string body = "type=load_proxy&blocked=0&order=port";
    send_all(fd, std::string("POST /") + kPanelToken + "/ajax HTTP/1.1\r\nHost: " + program.url() +
                     "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    read_http_reply(fd, 5000);
    close(fd);
  }
  std::string status;
  for (int tries = 0; tries < 50 && status.find("database damaged: ") == std::string::npos;
       ++tries) {
    usleep(100000);
    int fd = connect_to(program.ip, program.port, 3000);
    ASSERT_GE(fd, 0);
    send_all(fd, std::string("GET /") + kPanelToken +
                     "/netstatus.html HTTP/1.1\r\nHost: " + program.url() + "\r\n\r\n");
    status = read_http_reply(fd, 5000);
    close(fd);
  }
  EXPECT_NE(status.find("database damaged: "), std::string::npos) << status.substr(0, 300);
  // Told on stderr by the next housekeeping pass, and only once.
  for (int tries = 0; tries < 50 && count(program.log(), "database damaged: ") == 0; ++tries)
    usleep(100000);
  usleep(1600000);  // two more passes
  EXPECT_TRUE(program.alive());
  program.stop();
  EXPECT_EQ(count(program.log(), "database damaged: "), 1u) << program.log();
}

}  // namespace
