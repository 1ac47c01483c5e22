// Requests for this machine through the running program: a destination that
// is our own listener is refused whatever the protocol (a chain back into it
// would feed itself), with every interface all of 127.0.0.0/8 is local, and
// with one loopback address the other 127.0.0.x hosts stay reachable.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "chain/select.h"
#include "db/db.h"
#include "tests/support/chain_db.h"
#include "tests/support/net.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"
#include "tests/support/suite_peers.h"

namespace {

constexpr const char* kOrigin = "127.0.0.9";
constexpr const char* kProgram = "127.0.0.11";
constexpr const char* kSocks = "127.0.0.12";

class FrontLocal : public origin_socks_suite {
 protected:
  static void SetUpTestSuite() { start_peers(kOrigin, kSocks); }

  program_instance program;

  // Starts the program with the SOCKS5 peer as its one proxy; every_interface
  // rewrites "listen_ip" to the empty text (the client still reaches it on
  // kProgram).
  void start(bool every_interface) {
    ASSERT_TRUE(microsocks) << "microsocks did not start (see " << scratch_dir() << ")";
    ASSERT_TRUE(program.prepare(kProgram, [&] {
      chain_db_add_link(1, 5, PT_SOCKS5, ip_number(kSocks), microsocks->port);
    }));
    if (every_interface) {
      std::ofstream(program.home + "/registry")
          << "root=sz:" << kPanelToken << "\nlisten_port=dword:" << program.port
          << "\nlisten_ip=sz:\n";
    }
    ASSERT_TRUE(program.start()) << program.log();
  }

  // One plain HTTP request through the program; the whole answer.
  std::string http_get(const std::string& host, uint16_t port, const std::string& path) {
    int fd = connect_to(kProgram, program.port, 3000);
    if (fd < 0) return "no connection";
    std::string target = host + ":" + std::to_string(port);
    send_all(fd, "GET http://" + target + path + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n");
    std::string answer = read_http_reply(fd, 5000);
    close(fd);
    return answer;
  }

  // A SOCKS5 client sending non-HTTP bytes to ip:port; true when the program
  // closed it without passing anything on.
  bool socks_closed(const char* ip, uint16_t port) {
    int fd = connect_to(kProgram, program.port, 3000);
    if (fd < 0) return false;
    std::string req("\x05\x01\x00\x05\x01\x00\x01", 7);
    unsigned a, b, c, d;
    sscanf(ip, "%u.%u.%u.%u", &a, &b, &c, &d);
    for (unsigned byte : {a, b, c, d}) req.push_back(static_cast<char>(byte));
    req.push_back(static_cast<char>(port >> 8));
    req.push_back(static_cast<char>(port & 0xFF));
    send_all(fd, req + std::string("\x16\x03\x01\x00\x01", 5));
    bool closed = false;
    std::string got = read_to_close(fd, 5000, &closed);
    close(fd);
    return closed && got.size() == 12;  // the method reply and the request reply only
  }
};

TEST_F(FrontLocal, EveryInterfaceMakesAllLoopbackLocal) {
  start(true);
  // 127.0.0.2 reaches our listener too: refused, not chained back into it.
  std::string answer = http_get("127.0.0.2", program.port, "/");
  EXPECT_NE(answer.find("Loopback is not alowed"), std::string::npos) << answer;
  answer = http_get(kOrigin, origin->port, "/bytes/10");
  EXPECT_NE(answer.find("Loopback is not alowed"), std::string::npos) << answer;
  EXPECT_TRUE(socks_closed("127.0.0.2", program.port));
  // The panel still answers under any loopback address.
  answer = http_get("127.0.0.3", program.port, std::string("/") + kPanelToken + "/");
  EXPECT_EQ(answer.rfind("HTTP/1.", 0), 0u) << answer;
  EXPECT_EQ(answer.find("Loopback is not alowed"), std::string::npos);
  EXPECT_EQ(origin->requests(), 0);
  EXPECT_TRUE(program.alive());
}

TEST_F(FrontLocal, OneLoopbackAddressKeepsTheOthersRemote) {
  start(false);
  const int before = origin->requests();
  std::string answer = http_get(kOrigin, origin->port, "/bytes/10");
  EXPECT_EQ(answer.find(" 200 "), 8u) << answer;
  EXPECT_EQ(origin->requests(), before + 1);
  // Our own address and port, in either protocol, is refused.
  answer = http_get(kProgram, program.port, "/elsewhere");
  EXPECT_NE(answer.find("Loopback is not alowed"), std::string::npos) << answer;
  EXPECT_TRUE(socks_closed(kProgram, program.port));
  answer = http_get("127.0.0.1", 1, "/");
  EXPECT_NE(answer.find("Loopback is not alowed"), std::string::npos) << answer;
}

}  // namespace
