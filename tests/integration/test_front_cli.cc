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

// curl exit code 97: the proxy refused the request with a SOCKS reply code.
constexpr int CURL_PROXY_REFUSED = 97;

// Without a chain a SOCKS client hears "general failure" (SOCKS4: rejected),
// never a grant followed by a close.
TEST_F(FrontCli, SocksClientsWithoutChainHearTheRefusal) {
  const struct {
    const char* option;
    const char* said;
  } clients[] = {{"--socks5-hostname", "Can't complete SOCKS5 connection to 127.0.0.9. (1)"},
                 {"--socks4a", "(91), request rejected or failed"}};
  for (const auto& c : clients) {
    SCOPED_TRACE(c.option);
    int status = 0;
    std::string out = curl(std::string(c.option) + " " + proxy() + " http://127.0.0.9:9/", &status);
    EXPECT_EQ(out.find("request granted"), std::string::npos) << out;
    EXPECT_NE(out.find(c.said), std::string::npos) << out;
    EXPECT_EQ(status, CURL_PROXY_REFUSED) << out;
  }
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

TEST_F(FrontCli, SocksWithoutDestinationGetsRefusalAndPage) {
  int s = connect_local(prog.port, 3000);
  ASSERT_GE(s, 0);
  std::string req("\x04\x01\x00\x50\x00\x00\x00\x00u\x00", 10);
  ASSERT_TRUE(send_all(s, req));
  std::string reply = read_upto(s, 8, 3000);
  EXPECT_EQ(reply, std::string("\x00\x5b\x00\x00\x00\x00\x00\x00", 8));
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
