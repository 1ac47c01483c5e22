// The running program answers client handshakes on its one port: SOCKS5,
// SOCKS4a, plain HTTP and CONNECT through curl, refusals on raw sockets.
// Every destination is a loopback address; each case runs its own instance
// for a few seconds only.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/net.h"
#include "tests/support/program.h"

namespace {

class FrontCli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(prog.make_home("127.0.0.1") && prog.start({}, 5000))
        << "the program did not start listening";
  }
  void TearDown() override {
    EXPECT_EQ(prog.stop(3000), 0) << "the program did not end cleanly:\n" << prog.log();
  }

  std::string curl(const std::string& args, int* status) {
    return shell_output("curl -sv -m 3 " + args, status);
  }
  std::string proxy() const { return "127.0.0.1:" + std::to_string(prog.port); }

  program_instance prog;
};

// curl exit code 52: the server closed the connection without a reply.
constexpr int CURL_EMPTY_REPLY = 52;

TEST_F(FrontCli, Socks5HostnameHandshakeThenCleanEnd) {
  int status = 0;
  std::string out = curl("--socks5-hostname " + proxy() + " http://127.0.0.9:9/", &status);
  EXPECT_NE(out.find("SOCKS5 request granted"), std::string::npos) << out;
  EXPECT_EQ(status, CURL_EMPTY_REPLY) << out;
}

TEST_F(FrontCli, Socks4aHandshakeThenCleanEnd) {
  int status = 0;
  std::string out = curl("--socks4a " + proxy() + " http://127.0.0.9:9/", &status);
  EXPECT_NE(out.find("SOCKS4a request granted"), std::string::npos) << out;
  EXPECT_EQ(status, CURL_EMPTY_REPLY) << out;
}

// Without a chain an HTTP or CONNECT client is told so, in a page; a
// CONNECT client never sees a success head it was not given a tunnel for.
TEST_F(FrontCli, HttpProxyRequestWithoutChainGetsBadGateway) {
  int status = 0;
  std::string out = curl("-x http://" + proxy() + " http://127.0.0.9:9/", &status);
  EXPECT_NE(out.find("GET http://127.0.0.9:9/ HTTP/1.1"), std::string::npos) << out;
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("< HTTP/1.0 502 Bad Gateway"), std::string::npos) << out;
  EXPECT_NE(out.find("no usable proxy matches the chain"), std::string::npos) << out;
}

TEST_F(FrontCli, ConnectWithoutChainGetsBadGateway) {
  int status = 0;
  std::string out = curl("-p -x http://" + proxy() + " http://127.0.0.9:9/", &status);
  EXPECT_NE(out.find("CONNECT 127.0.0.9:9 HTTP/1.1"), std::string::npos) << out;
  EXPECT_EQ(out.find("200 Connection established"), std::string::npos) << out;
  EXPECT_NE(out.find("< HTTP/1.0 502 Bad Gateway"), std::string::npos) << out;
  EXPECT_NE(status, 0) << out;
}

TEST_F(FrontCli, OwnAddressGetsLoopbackPage) {
  int status = 0;
  std::string out = curl("-x http://" + proxy() + " http://127.0.0.1/", &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("< HTTP/1.0 200 Ok"), std::string::npos) << out;
  EXPECT_NE(out.find("<h2>Loopback is not alowed</h2>"), std::string::npos) << out;
  EXPECT_NE(out.find("<title>Error :: Merovane</title>"), std::string::npos) << out;
}

TEST_F(FrontCli, PanelPathIsNotRefused) {
  std::string root = prog.registry_text("root");
  ASSERT_FALSE(root.empty());
  int status = 0;
  std::string out = curl("http://" + proxy() + "/" + root + "/", &status);
  EXPECT_EQ(out.find("Loopback is not alowed"), std::string::npos) << out;
  out = curl("http://" + proxy() + "/not-the-panel/", &status);
  EXPECT_NE(out.find("Loopback is not alowed"), std::string::npos) << out;
}

TEST_F(FrontCli, SocksWithoutDestinationGetsReplyAndPage) {
  int s = connect_local(prog.port, 3000);
  ASSERT_GE(s, 0);
  std::string req("\x04\x01\x00\x50\x00\x00\x00\x00u\x00", 10);
  ASSERT_TRUE(send_all(s, req));
  std::string reply = read_upto(s, 8, 3000);
  EXPECT_EQ(reply, std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8));
  std::string page;
  for (int i = 0; i < 60 && page.find("</html>") == std::string::npos; ++i)
    page += read_upto(s, 65536, 50);
  EXPECT_EQ(page.rfind("HTTP/1.0 200 Ok\r\n", 0), 0u) << page;
  EXPECT_NE(page.find("Unsupported SOCK command."), std::string::npos) << page;
  close(s);
}

TEST_F(FrontCli, EndlessHeadIsRefused) {
  int s = connect_local(prog.port, 3000);
  ASSERT_GE(s, 0);
  ASSERT_TRUE(send_all(s, "GET /" + std::string(70000, 'a')));
  std::string page;
  for (int i = 0; i < 60 && page.find("</html>") == std::string::npos; ++i)
    page += read_upto(s, 65536, 50);
  EXPECT_NE(page.find("Wrong HTTP request."), std::string::npos) << page.substr(0, 300);
  close(s);
}

}  // namespace
