// Client chains end to end through the running program: real upstream
// proxies (microsocks, danted, tinyproxy) in the database, curl as the
// client in each of its proxy protocols, and a local origin server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "chain/select.h"
#include "db/db.h"
#include "tests/support/chain_db.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"

namespace {

constexpr const char* kOrigin = "127.0.0.9";
constexpr const char* kProgram = "127.0.0.10";
constexpr uint16_t S4 = PT_SOCKS4, S5 = PT_SOCKS5, HTTP = PT_HTTP, HTTPS = PT_HTTPS;

std::unique_ptr<origin_server> origin;
std::unique_ptr<peer_process> microsocks, danted, tinyproxy;

class ChainProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    origin = std::make_unique<origin_server>();
    ASSERT_TRUE(origin->start(kOrigin));
    microsocks.reset(start_microsocks("127.0.0.5", free_port("127.0.0.5")));
    danted.reset(start_danted("127.0.0.6", free_port("127.0.0.6")));
    tinyproxy.reset(start_tinyproxy("127.0.0.7", free_port("127.0.0.7")));
  }
  static void TearDownTestSuite() {
    microsocks.reset();
    danted.reset();
    tinyproxy.reset();
    origin.reset();
  }
  void SetUp() override {
    ASSERT_TRUE(microsocks && danted && tinyproxy)
        << "a peer did not start (see " << scratch_dir() << ")";
  }

  program_instance program;

  // Starts the program with fixed-proxy links: {type, peer} in chain order.
  void start_with(std::initializer_list<std::pair<uint16_t, const peer_process*>> links) {
    ASSERT_TRUE(program.prepare(kProgram, [&] {
      int position = 1;
      for (const auto& [type, peer] : links)
        chain_db_add_link(position++, 5, type, ip_number(peer->ip.c_str()), peer->port);
    }));
    ASSERT_TRUE(program.start()) << program.log();
  }
  std::string url(const std::string& path) const {
    return "http://" + std::string(kOrigin) + ":" + std::to_string(origin->port) + path;
  }
  std::string out(const char* name) const { return program.home + "/" + name; }

  void expect_download(const std::vector<std::string>& client, uint64_t size) {
    const std::string file = out("download");
    ASSERT_EQ(run_curl(append(client, url("/bytes/" + std::to_string(size))), file), 0)
        << read_file(file + ".err");
    const std::string body = read_file(file);
    ASSERT_EQ(body.size(), size);
    EXPECT_EQ(pattern_mismatch(reinterpret_cast<const uint8_t*>(body.data()), 0, body.size()), -1);
    unlink(file.c_str());
  }
  void expect_upload(const std::vector<std::string>& client, uint64_t size) {
    const std::string data = out("upload.bin");
    {
      std::string bytes(size, '\0');
      pattern_fill(reinterpret_cast<uint8_t*>(bytes.data()), 0, size);
      FILE* f = fopen(data.c_str(), "wb");
      ASSERT_NE(f, nullptr);
      fwrite(bytes.data(), 1, bytes.size(), f);
      fclose(f);
    }
    const std::string file = out("upload-answer");
    ASSERT_EQ(run_curl(append(client, "-H", "Expect:", "--data-binary", "@" + data, url("/upload")),
                       file),
              0)
        << read_file(file + ".err");
    EXPECT_EQ(read_file(file), "ok " + std::to_string(size));
    unlink(data.c_str());
  }
  template <class... T>
  static std::vector<std::string> append(std::vector<std::string> v, T... more) {
    (v.push_back(more), ...);
    return v;
  }
  std::vector<std::string> socks5() const { return {"--socks5-hostname", program.url()}; }
  std::vector<std::string> socks4a() const { return {"--socks4a", program.url()}; }
  std::vector<std::string> http() const { return {"-x", "http://" + program.url()}; }
  std::vector<std::string> tunnel() const { return {"-p", "-x", "http://" + program.url()}; }
};

TEST_F(ChainProgram, OneSocks5ProxyCarriesBigBodiesExactly) {
  start_with({{S5, microsocks.get()}});
  expect_download(socks5(), 50u << 20);
  expect_upload(socks5(), 10u << 20);
}

TEST_F(ChainProgram, Socks4ThenSocks5ForASocks4aClient) {
  start_with({{S4, danted.get()}, {S5, microsocks.get()}});
  expect_download(socks4a(), 3u << 20);
  expect_upload(socks4a(), 1u << 20);
  // The destination was reached from the last proxy.
  EXPECT_EQ(origin->last_peer(), "127.0.0.5");
}

TEST_F(ChainProgram, ThreeProxiesAndARewrittenPlainRequest) {
  start_with({{S5, microsocks.get()}, {S5, danted.get()}, {HTTPS, tinyproxy.get()}});
  const std::string file = out("head");
  ASSERT_EQ(run_curl(append(http(), "-H", "Connection: keep-alive", url("/head")), file), 0)
      << read_file(file + ".err");
  const std::string head = read_file(file);
  // A target with a port gets the origin form like one without; the
  // version is 1.0.
  EXPECT_EQ(head.rfind("GET /head HTTP/1.0\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("\r\nConnection: close\r\n"), std::string::npos) << head;
  EXPECT_EQ(head.find("keep-alive"), std::string::npos) << head;
  EXPECT_EQ(head.find("Proxy-Connection"), std::string::npos) << head;
  EXPECT_EQ(origin->last_peer(), "127.0.0.7");
  // A plain request with a body: the body is carried untouched.
  expect_upload(http(), 2u << 20);
  expect_download(http(), 20u << 20);
}

TEST_F(ChainProgram, PlainHttpProxyAsLastHopGetsTheAbsoluteTarget) {
  start_with({{S4, danted.get()}, {HTTP, tinyproxy.get()}});
  expect_download(http(), 10u << 20);
  // A SOCKS client is told "granted" first: the plain HTTP proxy needs its request.
  expect_download(socks5(), 1u << 20);
  expect_download(socks4a(), 1u << 20);
  const std::string file = out("head");
  ASSERT_EQ(run_curl(append(http(), url("/head")), file), 0) << read_file(file + ".err");
  EXPECT_EQ(read_file(file).rfind("GET /head HTTP/1.", 0), 0u) << read_file(file);
  EXPECT_EQ(origin->last_peer(), "127.0.0.7");
}

TEST_F(ChainProgram, ConnectTunnelThroughTwoProxies) {
  start_with({{HTTPS, tinyproxy.get()}, {S4, danted.get()}});
  expect_download(tunnel(), 20u << 20);
  expect_upload(tunnel(), 5u << 20);
  EXPECT_EQ(origin->last_peer(), "127.0.0.6");
}

TEST_F(ChainProgram, DeadProxyClosesTheClient) {
  const uint16_t dead = free_port("127.0.0.11");
  ASSERT_TRUE(program.prepare(kProgram, [&] {
    chain_db_add_link(1, 5, S5, ip_number("127.0.0.5"), microsocks->port);
    chain_db_add_link(2, 5, S5, ip_number("127.0.0.11"), dead);
  }));
  ASSERT_TRUE(program.start());
  const int served = origin->requests();
  const std::string file = out("dead");
  EXPECT_NE(run_curl(append(socks5(), url("/bytes/100")), file, 20), 0);
  EXPECT_EQ(origin->requests(), served);
  // The program stays up for the next client.
  program.stop();
  ASSERT_TRUE(program.change([&] {
    db_exec("%s", sql_chain_clear());
    chain_db_add_link(1, 5, S5, ip_number("127.0.0.5"), microsocks->port);
  }));
  ASSERT_TRUE(program.start());
  expect_download(socks5(), 1000);
}

TEST_F(ChainProgram, ProxiesChosenFromTheProxyTable) {
  ASSERT_TRUE(program.prepare(kProgram, [&] {
    chain_db_add_proxy("127.0.0.5", microsocks->port, S5, 10);
    chain_db_add_proxy("127.0.0.6", danted->port, S4 | S5 | PT_ANONYMOUS, 20);
    chain_db_add_link(1, 2, S5 | S4 | PT_ANONYMOUS);
    chain_db_add_link(2, 2, S5 | S4 | PT_ANONYMOUS);
  }));
  ASSERT_TRUE(program.start());
  expect_download(socks5(), 1u << 20);
  EXPECT_EQ(origin->last_peer(), "127.0.0.6");  // the second-fastest is last
}

}  // namespace
