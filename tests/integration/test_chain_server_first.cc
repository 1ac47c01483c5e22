// Protocols where the server speaks first (SMTP, FTP, POP3, IMAP, MySQL)
// through the running program: a SOCKS4 or SOCKS5 client that sends nothing
// after its reply still gets the server's greeting, through a real SOCKS5
// proxy, within a second; and it can answer it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "db/db.h"
#include "tests/support/chain_db.h"
#include "tests/support/maint_support.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"

namespace {

constexpr const char* kServer = "127.0.18.9";
constexpr const char* kProgram = "127.0.18.10";
const std::string kGreeting = "220 mail.test ESMTP ready\r\n";

// Connects through the program in SOCKS `version` to kServer:port; the
// socket after the SOCKS reply, or -1.
int socks_connect(uint16_t program_port, int version, uint16_t port) {
  const int fd = connect_to(kProgram, program_port, 3000);
  if (fd < 0) return -1;
  const uint32_t addr = inet_addr(kServer);
  const auto* a = reinterpret_cast<const uint8_t*>(&addr);
  const uint8_t hi = static_cast<uint8_t>(port >> 8), lo = static_cast<uint8_t>(port & 0xFF);
  if (version == 4) {
    const uint8_t req[9] = {4, 1, hi, lo, a[0], a[1], a[2], a[3], 0};
    uint8_t reply[8];
    if (!send_all(fd, req, sizeof req) || !read_exact(fd, reply, sizeof reply, 3000) ||
        reply[1] != 0x5A) {
      close(fd);
      return -1;
    }
    return fd;
  }
  const uint8_t hello[3] = {5, 1, 0};
  const uint8_t req[10] = {5, 1, 0, 1, a[0], a[1], a[2], a[3], hi, lo};
  uint8_t method[2], reply[10];
  if (!send_all(fd, hello, sizeof hello) || !read_exact(fd, method, 2, 3000) ||
      !send_all(fd, req, sizeof req) || !read_exact(fd, reply, sizeof reply, 3000) ||
      reply[1] != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(ChainServerFirst, GreetingArrivesThroughSocks4AndSocks5) {
  maint_scripted_peer server;
  ASSERT_TRUE(server.start(kServer, 0, [](int fd) {
    send_all(fd, kGreeting);
    std::string line = read_upto(fd, 6, 3000);  // "QUIT\r\n"
    if (line == "QUIT\r\n") send_all(fd, "221 bye\r\n");
  }));
  const uint16_t ms_port = free_port("127.0.18.5");
  std::unique_ptr<peer_process> socks5(start_microsocks("127.0.18.5", ms_port));
  ASSERT_TRUE(socks5);
  program_instance program;
  ASSERT_TRUE(program.prepare(
      kProgram, [&] { chain_db_add_link(1, 5, PT_SOCKS5, ip_number("127.0.18.5"), ms_port); }));
  ASSERT_TRUE(program.start()) << program.log();

  for (int version : {4, 5}) {
    SCOPED_TRACE(version);
    const int fd = socks_connect(program.port, version, server.port);
    ASSERT_GE(fd, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read_upto(fd, kGreeting.size(), 1000), kGreeting);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    ASSERT_TRUE(send_all(fd, std::string("QUIT\r\n")));
    EXPECT_EQ(read_upto(fd, 9, 2000), "221 bye\r\n");
    close(fd);
  }
}

}  // namespace
