// Real clients in every mode through the running program: tunnels are left
// as they are, the first request is rewritten only in ways that keep it
// valid (and the client is told when its connection ends), the client's own
// destination is where it goes, and a plain HTTP last hop carries only plain
// HTTP. microsocks and tinyproxy as the proxies, an HTTP/1.1 origin that
// keeps connections, answers 100 Continue, reads chunked bodies, refuses
// what HTTP/1.0 cannot carry and echoes WebSocket frames; curl and scripted
// clients.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/db.h"
#include "tests/support/chain_db.h"
#include "tests/support/clients.h"
#include "tests/support/origin11.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"

namespace {

constexpr const char* kProgram = "127.0.0.27";
constexpr const char* kOrigin = "127.0.0.28";
constexpr uint16_t S5 = PT_SOCKS5, HTTP = PT_HTTP;

std::unique_ptr<origin11_server> origin;
std::unique_ptr<peer_process> microsocks, tinyproxy;

class ChainClients : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    origin = std::make_unique<origin11_server>();
    ASSERT_TRUE(origin->start(kOrigin));
    microsocks.reset(start_microsocks("127.0.0.29", free_port("127.0.0.29")));
    tinyproxy.reset(start_tinyproxy("127.0.0.30", free_port("127.0.0.30")));
  }
  static void TearDownTestSuite() {
    microsocks.reset();
    tinyproxy.reset();
    origin.reset();
  }
  void SetUp() override {
    ASSERT_TRUE(microsocks && tinyproxy) << "a peer did not start (see " << scratch_dir() << ")";
  }

  program_instance program;

  // The program with one fixed link to the given proxy.
  void start_through(uint16_t type, const peer_process& proxy) {
    ASSERT_TRUE(program.prepare(
        kProgram, [&] { chain_db_add_link(1, 5, type, ip_number(proxy.ip.c_str()), proxy.port); }));
    ASSERT_TRUE(program.start()) << program.log();
  }
  std::string origin_authority() const {
    return std::string(kOrigin) + ":" + std::to_string(origin->port);
  }
  std::string url(const std::string& path) const { return "http://" + origin_authority() + path; }
  std::string out(const char* name) const { return program.home + "/" + name; }

  // Client connections to the origin through the program, by mode.
  int socks5_to_origin() const {
    return open_socks5(program.ip, program.port, kOrigin, origin->port);
  }
  int tunnel_to_origin() const {
    return open_connect(program.ip, program.port, kOrigin, origin->port);
  }
  int plain_proxy() const { return connect_to(program.ip, program.port, 10000); }

  // curl's proxy arguments by mode.
  std::vector<std::string> curl_mode(const std::string& mode) const {
    if (mode == "socks5") return {"--socks5-hostname", program.url()};
    if (mode == "connect") return {"-p", "-x", "http://" + program.url()};
    return {"-x", "http://" + program.url()};
  }
};

TEST_F(ChainClients, WebSocketEchoThroughConnectAndSocks5) {
  start_through(S5, *microsocks);
  const struct {
    const char* mode;
    std::function<int()> open;
  } modes[] = {{"CONNECT", [&] { return tunnel_to_origin(); }},
               {"SOCKS5", [&] { return socks5_to_origin(); }}};
  for (const auto& m : modes) {
    const int fd = m.open();
    ASSERT_GE(fd, 0) << m.mode;
    EXPECT_EQ(websocket_echo(fd, origin_authority(), "hello through the chain"), "") << m.mode;
    close(fd);
  }
  EXPECT_EQ(origin->refused(), 0);
}

TEST_F(ChainClients, ChunkedUploadReachesAStrictOrigin) {
  start_through(S5, *microsocks);
  const std::string data = out("upload.bin");
  {
    std::string bytes(1u << 20, '\0');
    pattern_fill(reinterpret_cast<uint8_t*>(bytes.data()), 0, bytes.size());
    FILE* f = fopen(data.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
  }
  for (const char* mode : {"socks5", "plain", "connect"}) {
    std::vector<std::string> args = curl_mode(mode);
    for (const char* a : {"-H", "Transfer-Encoding: chunked", "--data-binary"}) args.push_back(a);
    args.push_back("@" + data);
    args.push_back(url("/upload"));
    const std::string answer = out("answer");
    ASSERT_EQ(run_curl(args, answer, 60), 0) << mode << ": " << read_file(answer + ".err");
    EXPECT_EQ(read_file(answer), "ok 1048576") << mode;
  }
  EXPECT_EQ(origin->refused(), 0);
}

// Ten requests the way Python's requests sends them on one Session: every
// one is answered; where the program ends the connection after an answer,
// that answer says so, and the client goes on over a new connection.
TEST_F(ChainClients, KeepAliveClientGetsEveryAnswer) {
  start_through(S5, *microsocks);
  const struct {
    const char* mode;
    std::function<int()> open;
    std::string prefix;  // the request target's start
    int connections;
  } modes[] = {
      {"SOCKS5: one request per chain", [&] { return socks5_to_origin(); }, "", 10},
      {"plain proxy: one request per chain", [&] { return plain_proxy(); }, url(""), 10},
      {"CONNECT: the tunnel is the client's", [&] { return tunnel_to_origin(); }, "", 1},
  };
  for (const auto& m : modes) {
    std::vector<std::string> paths;
    for (int i = 0; i < 10; ++i) paths.push_back(m.prefix + "/bytes/" + std::to_string(100 + i));
    const keepalive_run run = keepalive_gets(m.open, origin_authority(), paths);
    EXPECT_EQ(run.answered, 10) << m.mode;
    EXPECT_EQ(run.failures, 0) << m.mode;
    EXPECT_EQ(run.connections, m.connections) << m.mode;
    if (m.connections > 1) {
      EXPECT_EQ(run.closes_told, run.connections) << m.mode;
    }
  }
}

TEST_F(ChainClients, TheClientsDestinationWins) {
  start_through(S5, *microsocks);
  const std::string port = std::to_string(origin->port);
  // curl resolves the name itself and asks for the address it was given;
  // the Host line names a host that resolves nowhere.
  const struct {
    const char* what;
    std::vector<std::string> args;
  } curls[] = {
      {"curl --resolve over SOCKS5",
       {"--socks5", program.url(), "--resolve", "site.invalid:" + port + ":" + kOrigin,
        "http://site.invalid:" + port + "/bytes/64"}},
      {"an absolute URL over its Host line",
       {"-x", "http://" + program.url(), "-H", "Host: other.invalid", url("/bytes/64")}},
  };
  for (const auto& c : curls) {
    const std::string body = out("body");
    ASSERT_EQ(run_curl(c.args, body, 30), 0) << c.what << ": " << read_file(body + ".err");
    EXPECT_EQ(read_file(body).size(), 64u) << c.what;
  }
  // A SOCKS client whose Host line has another name and no port.
  const int fd = socks5_to_origin();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_all(fd, std::string("GET /bytes/32 HTTP/1.1\r\nHost: other.invalid\r\n\r\n")));
  const std::string reply = read_http_reply(fd, 10000);
  close(fd);
  EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
}

// A client whose bytes are not one plain HTTP request is never given a plain
// HTTP proxy as its last hop: it is told at once when the chain has no other,
// and the pick takes another protocol where the link allows one.
TEST_F(ChainClients, PlainHttpLastHopCarriesOnlyPlainHttp) {
  start_through(HTTP, *tinyproxy);
  int fd = connect_to(program.ip, program.port, 5000);
  ASSERT_GE(fd, 0);
  const std::string target = origin_authority();
  ASSERT_TRUE(send_all(fd, "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n"));
  const std::string page = read_http_reply(fd, 1000);
  close(fd);
  EXPECT_EQ(page.compare(0, 12, "HTTP/1.0 502"), 0) << page;
  EXPECT_NE(page.find("plain HTTP"), std::string::npos) << page;

  fd = socks5_to_origin();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_all(fd, std::string("\x16\x03\x01\x00\x05hello", 10)));
  bool closed = false;
  read_to_close(fd, 1000, &closed);
  close(fd);
  EXPECT_TRUE(closed) << "a SOCKS client with other data is closed at once";
  EXPECT_NE(program.log().find("not built: the last proxy of the chain can only be a plain HTTP"),
            std::string::npos)
      << program.log();

  // A plain HTTP request still goes through the plain HTTP proxy.
  const std::string body = out("body");
  ASSERT_EQ(run_curl({"-x", "http://" + program.url(), url("/bytes/64")}, body, 30), 0)
      << read_file(body + ".err");
  EXPECT_EQ(read_file(body).size(), 64u);

  // A SOCKS client's HTTP request goes where the SOCKS request said, not
  // where its Host line points (nothing listens there).
  fd = socks5_to_origin();
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_all(fd, std::string("GET /bytes/16 HTTP/1.1\r\nHost: 127.0.0.2:9\r\n\r\n")));
  const std::string through = read_http_reply(fd, 10000);
  close(fd);
  EXPECT_EQ(through.rfind("HTTP/1.1 200", 0), 0u) << through;

  // A link that picks the fastest of a plain HTTP proxy and a SOCKS5 one
  // gives a tunnel the SOCKS5 proxy.
  program.stop();
  ASSERT_TRUE(program.change([&] {
    db_exec("%s", sql_chain_clear());
    chain_db_add_proxy(tinyproxy->ip.c_str(), tinyproxy->port, HTTP, 10);
    chain_db_add_proxy(microsocks->ip.c_str(), microsocks->port, S5, 50);
    chain_db_add_link(1, 2, HTTP | S5 | PT_ANONYMOUS | PT_TRANSPARENT);
  }));
  ASSERT_TRUE(program.start()) << program.log();
  fd = tunnel_to_origin();
  ASSERT_GE(fd, 0) << program.log();
  ASSERT_TRUE(send_all(fd, "GET /bytes/16 HTTP/1.1\r\nHost: " + target + "\r\n\r\n"));
  const std::string reply = read_http_reply(fd, 10000);
  close(fd);
  EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
}

}  // namespace
