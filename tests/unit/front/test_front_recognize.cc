// Client request recognition, state by state, on byte buffers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "chain/errorpage.h"
#include "chain/negotiate.h"
#include "engine/slot.h"
#include "front/access.h"
#include "front/recognize.h"
#include "platform/clock.h"
#include "tests/support/front_hooks.h"

namespace {

// Name table of the fake resolver; no test here asks a real resolver.
char own_name[256];
int fake_resolve(const char* host, uint32_t* addrs, int max) {
  if (max < 1) return 0;
  in_addr a{};
  if (inet_pton(AF_INET, host, &a) == 1) {
    addrs[0] = a.s_addr;
    return 1;
  }
  const char* ip = nullptr;
  if (strcmp(host, own_name) == 0) ip = "127.0.1.1";
  if (strcmp(host, "localhost") == 0) ip = "127.0.0.1";
  if (strcmp(host, "peer.test") == 0 || strcmp(host, "other.test") == 0) ip = "127.0.0.9";
  if (ip == nullptr) return 0;
  inet_pton(AF_INET, ip, &a);
  addrs[0] = a.s_addr;
  return 1;
}

int failing_resolve(const char*, uint32_t*, int) {
  return 0;
}

// What the hand-over functions saw.
int chain_calls = 0;
size_t chain_offset = 99;
int panel_calls = 0;
int panel_result = 0;
void fake_chain_start(int, size_t offset) {
  ++chain_calls;
  chain_offset = offset;
}
int fake_panel(int) {
  ++panel_calls;
  return panel_result;
}

constexpr int IDX = 5;
constexpr uint16_t PANEL_PORT = 8080;

class Recognize : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static char home[] = "/tmp/mv_front_XXXXXX";
    ASSERT_NE(mkdtemp(home), nullptr);
    std::string reg = std::string(home) + "/registry";
    FILE* f = fopen(reg.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("root=sz:s3cretpath\n", f);
    fclose(f);
    setenv("MEROVANE_HOME", home, 1);
    gethostname(own_name, sizeof own_name);
    own_name[sizeof own_name - 1] = 0;
  }

  void SetUp() override {
    recognize_set_resolver(fake_resolve);
    own_addresses_forget();
    recognize_set_calls(fake_panel, fake_chain_start);
    listen_port = PANEL_PORT;
    chain_calls = 0;
    chain_offset = 99;
    panel_calls = 0;
    panel_result = 0;
    // These slots have no peer: the panel's own client rule is tested with
    // real sockets (test_front_access, test_security_clients).
    access_configure_with("127.0.0.1", nullptr, true);
    ASSERT_TRUE(front_slot_place(IDX, fd));
  }

  void TearDown() override {
    front_slot_clear(IDX, fd);
    recognize_set_calls(nullptr, nullptr);
    recognize_set_resolver(nullptr);
    own_addresses_forget();
    access_configure_with("127.0.0.1", nullptr, false);
  }

  conn_slot& slot() { return conn_table[IDX]; }

  // Appends bytes to the client's input and runs the handler, like an 'R'.
  void feed(const std::string& bytes) {
    ASSERT_TRUE(stream_append(slot().in, bytes.data(), static_cast<uint32_t>(bytes.size())));
    client_recognize(IDX);
  }
  // Bytes queued for the client since the last call.
  std::string sent() {
    std::string s(reinterpret_cast<char*>(slot().out.data), slot().out.len);
    stream_consume(slot().out, slot().out.len);
    return s;
  }
  std::string input() const {
    return std::string(reinterpret_cast<char*>(conn_table[IDX].in.data), conn_table[IDX].in.len);
  }
  std::string route() const { return reinterpret_cast<const char*>(conn_table[IDX].route); }
  bool closing() const { return (conn_table[IDX].flags & SLOT_CLOSE_REQUESTED) != 0; }

  int fd = -1;
};

const std::string SOCKS5_OK("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10);
const std::string SOCKS4_OK("\x00\x5a\x00\x00\x00\x00\x00\x00", 8);
const std::string SOCKS5_REFUSED("\x05\x01\x00\x01\x00\x00\x00\x00\x00\x00", 10);
const std::string SOCKS4_REFUSED("\x00\x5b\x00\x00\x00\x00\x00\x00", 8);

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

bool is_page(const std::string& out, const char* marker) {
  return out.rfind("HTTP/1.0 200 Ok\r\n", 0) == 0 && out.find(marker) != std::string::npos &&
         out.find("</html>") != std::string::npos;
}

// --- state 1/2: SOCKS5 -----------------------------------------------------

TEST_F(Recognize, Socks5GreetingThenIpv4Request) {
  feed(bytes({5, 1, 0}));
  EXPECT_EQ(sent(), bytes({5, 0}));
  EXPECT_EQ(slot().kind, slot_kind::socks_request);
  EXPECT_EQ(slot().proto, PROTO_SOCKS5);
  EXPECT_EQ(slot().in.len, 0u);

  feed(bytes({5, 1, 0, 1, 127, 0, 0, 9, 0x1f, 0x90}));
  EXPECT_EQ(sent(), "");  // the reply waits for the chain
  EXPECT_EQ(slot().kind, slot_kind::chain);
  EXPECT_STREQ(slot().dest_host, "127.0.0.9");
  EXPECT_EQ(slot().dest_port, 8080);
  EXPECT_EQ(chain_calls, 1);  // the chain starts at the request
}

TEST_F(Recognize, Socks5NameRequestInPieces) {
  feed(bytes({5, 2, 0, 1}));  // two methods offered: all of the greeting is taken
  EXPECT_EQ(sent(), bytes({5, 0}));
  std::string req = bytes({5, 1, 0, 3, 9}) + "peer.test" + bytes({0x01, 0xbb});
  feed(req.substr(0, 8));
  EXPECT_EQ(sent(), "");
  EXPECT_EQ(slot().kind, slot_kind::socks_request);
  feed(req.substr(8));
  EXPECT_EQ(sent(), "");
  EXPECT_STREQ(slot().dest_host, "peer.test");
  EXPECT_EQ(slot().dest_port, 443);
  EXPECT_EQ(slot().kind, slot_kind::chain);
}

TEST_F(Recognize, Socks5GreetingRequestAndDataInOneRead) {
  std::string all = bytes({5, 1, 0}) + bytes({5, 1, 0, 1, 127, 0, 0, 9, 0, 80}) + "\x16\x03\x01";
  feed(all);
  EXPECT_EQ(sent(), bytes({5, 0}));
  EXPECT_EQ(slot().kind, slot_kind::chain);
  EXPECT_EQ(chain_calls, 1);
  EXPECT_EQ(chain_offset, 0u);
  EXPECT_EQ(input(), "\x16\x03\x01");  // data behind the request is kept for the chain
}

TEST_F(Recognize, Socks5UnusableDestinations) {
  feed(bytes({5, 1, 0}));
  sent();
  feed(bytes({5, 1, 0, 1, 10, 0, 0, 0, 0, 80}));
  std::string out = sent();
  ASSERT_EQ(out.substr(0, 10), SOCKS5_REFUSED);
  EXPECT_TRUE(is_page(out.substr(10), "Unsupported SOCK command."));
  EXPECT_NE(out.find("Destination address: <code><i>unknown</i></code>"), std::string::npos);
  EXPECT_NE(out.find("Dump: <code></code>"), std::string::npos);
  EXPECT_EQ(route(), "Wrong destination: host ");
  EXPECT_EQ(slot().kind, slot_kind::error);
  EXPECT_EQ(slot().in.len, 0u);
  EXPECT_EQ(chain_calls, 0);
}

TEST_F(Recognize, Socks5PortZeroAndUnknownAddressType) {
  feed(bytes({5, 1, 0}) + bytes({5, 1, 0, 1, 127, 0, 0, 9, 0, 0}));
  EXPECT_EQ(route(), "Wrong destination:  port");
  EXPECT_EQ(slot().kind, slot_kind::error);

  TearDown();
  SetUp();
  // IPv6 (type 4) is a destination like any other; the unspecified address is none.
  std::string v6 =
      bytes({5, 1, 0}) + bytes({5, 1, 0, 4}) + std::string(16, '\x01') + bytes({0, 80});
  feed(v6);
  EXPECT_STREQ(slot().dest_host, "101:101:101:101:101:101:101:101");
  EXPECT_EQ(slot().dest_port, 80);
  EXPECT_EQ(slot().kind, slot_kind::chain);

  TearDown();
  SetUp();
  feed(bytes({5, 1, 0}) + bytes({5, 1, 0, 4}) + std::string(16, '\0') + bytes({0, 80}));
  EXPECT_EQ(route(), "Wrong destination: host ");
  EXPECT_EQ(slot().kind, slot_kind::error);

  TearDown();
  SetUp();
  feed(bytes({5, 1, 0}) + bytes({5, 1, 0, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(route(), "Wrong destination: host port");
  EXPECT_EQ(slot().kind, slot_kind::error);
}

// IPv6 in brackets from the HTTP forms; a broken one leaves no host.
TEST_F(Recognize, Ipv6InConnectUrlAndHostLine) {
  feed("CONNECT [2001:db8::7]:443 HTTP/1.1\r\n\r\n");
  EXPECT_STREQ(slot().dest_host, "2001:db8::7");
  EXPECT_EQ(slot().dest_port, 443);
  EXPECT_EQ(chain_calls, 1);

  TearDown();
  SetUp();
  feed("GET http://[2001:db8::7]:8080/x HTTP/1.1\r\n\r\n");
  EXPECT_STREQ(slot().dest_host, "2001:db8::7");
  EXPECT_EQ(slot().dest_port, 8080);

  TearDown();
  SetUp();
  feed("GET /x HTTP/1.1\r\nHost: [2001:db8::8]:81\r\n\r\n");
  EXPECT_STREQ(slot().dest_host, "2001:db8::8");
  EXPECT_EQ(slot().dest_port, 81);

  TearDown();
  SetUp();
  feed("GET /x HTTP/1.1\r\nHost: [2001:zz8::8]:81\r\n\r\n");
  EXPECT_STREQ(slot().dest_host, "");
  EXPECT_EQ(chain_calls, 0);
}

// --- state 2: SOCKS4 and 4a -------------------------------------------------

TEST_F(Recognize, Socks4aName) {
  feed(bytes({4, 1, 0, 0x50, 0, 0, 0, 1}) + "u" + bytes({0}) + "peer.test" + bytes({0}));
  EXPECT_EQ(sent(), "");
  EXPECT_EQ(slot().proto, PROTO_SOCKS4);
  EXPECT_STREQ(slot().dest_host, "peer.test");
  EXPECT_EQ(slot().dest_port, 80);
  EXPECT_EQ(slot().kind, slot_kind::chain);
  EXPECT_EQ(slot().in.len, 0u);
}

TEST_F(Recognize, Socks4AddressAndSplitUserId) {
  feed(bytes({4, 1, 0x1f, 0x90, 127, 0, 0, 9}) + "us");
  EXPECT_EQ(sent(), "");  // the user-id has not ended yet
  EXPECT_EQ(slot().kind, slot_kind::socks_request);
  feed("er" + bytes({0}) + "GET");
  EXPECT_EQ(sent(), "");
  EXPECT_STREQ(slot().dest_host, "127.0.0.9");
  EXPECT_EQ(slot().dest_port, 8080);
  EXPECT_EQ(input(), "GET");
}

TEST_F(Recognize, Socks4ZeroAddressWithoutName) {
  feed(bytes({4, 1, 0, 0x50, 0, 0, 0, 0}) + "u" + bytes({0}));
  std::string out = sent();
  ASSERT_EQ(out.substr(0, 8), SOCKS4_REFUSED);
  EXPECT_TRUE(is_page(out.substr(8), "Unsupported SOCK command."));
  EXPECT_EQ(route(), "Wrong destination: host ");
  EXPECT_EQ(slot().kind, slot_kind::error);
}

TEST_F(Recognize, Socks4NameTooLong) {
  feed(bytes({4, 1, 0, 0x50, 0, 0, 0, 1, 0}) + std::string(200, 'a') + bytes({0}));
  EXPECT_EQ(route(), "Wrong destination: host ");
}

TEST_F(Recognize, SocksRequestThatNeverEndsIsRefused) {
  feed(bytes({4, 1, 0, 0x50, 127, 0, 0, 9}));
  feed(std::string(RECOGNIZE_INPUT_LIMIT - 8, 'x'));  // exactly the limit: still waiting
  EXPECT_EQ(slot().kind, slot_kind::socks_request);
  EXPECT_EQ(sent(), "");
  feed("x");
  EXPECT_EQ(slot().kind, slot_kind::error);
  std::string out = sent();
  EXPECT_TRUE(is_page(out, "Unsupported SOCK command."));
  EXPECT_NE(out.find("Dump: <code>04 01 00 50 7f 00 00 09 78 "), std::string::npos);
  EXPECT_LT(out.size(), 4000u);
  EXPECT_EQ(route(), "SOCKS request too long");
  EXPECT_EQ(slot().in.len, 0u);
}

// --- state 3/4: HTTP ----------------------------------------------------------

TEST_F(Recognize, GetAbsoluteUrlWithPortAndHost) {
  std::string req = "GET http://peer.test:8080/index.html HTTP/1.1\r\nHost: peer.test:8080\r\n\r\n";
  feed(req);
  EXPECT_EQ(slot().proto, PROTO_HTTP);
  EXPECT_STREQ(slot().dest_host, "peer.test");
  EXPECT_EQ(slot().dest_port, 8080);
  EXPECT_EQ(chain_calls, 1);
  EXPECT_EQ(chain_offset, 3u);
  EXPECT_EQ(input(), req);  // forwarded as it came
  EXPECT_EQ(sent(), "");
  EXPECT_EQ(slot().kind, slot_kind::chain);
}

TEST_F(Recognize, HostLineNamesAnOriginFormRequest) {
  feed("POST /form HTTP/1.1\r\nHost: other.test:81\r\nHost: peer.test:82\r\n\r\nbody");
  EXPECT_STREQ(slot().dest_host, "other.test");
  EXPECT_EQ(slot().dest_port, 81);
  EXPECT_EQ(chain_offset, 4u);
}

TEST_F(Recognize, SchemesAndPortWrap) {
  feed("GET HTTPS://peer.test/ HTTP/1.1\r\n\r\n");
  EXPECT_EQ(slot().dest_port, 443);
  TearDown();
  SetUp();
  feed("GET ftp://peer.test/f HTTP/1.1\r\n\r\n");
  EXPECT_EQ(slot().dest_port, 21);
  TearDown();
  SetUp();
  feed("GET http://peer.test:65617/ HTTP/1.1\r\n\r\n");
  EXPECT_EQ(slot().dest_port, 81);  // accumulated in 16 bits
}

TEST_F(Recognize, ConnectConsumesHeadAndWaitsForTheChain) {
  feed("CONNECT peer.test:443 HTTP/1.1\r\nHost: peer.test:443\r\n\r\n\x16\x03");
  EXPECT_EQ(slot().proto, PROTO_CONNECT);
  EXPECT_STREQ(slot().dest_host, "peer.test");
  EXPECT_EQ(slot().dest_port, 443);
  EXPECT_EQ(chain_offset, 0u);
  EXPECT_EQ(chain_calls, 1);
  EXPECT_EQ(input(), "\x16\x03");
  // The success head waits until the chain stands.
  EXPECT_EQ(sent(), "");
  std::string out = chain_tunnel_head();
  EXPECT_EQ(out.rfind("HTTP/1.", 0), 0u);
  EXPECT_NE(out.find(" 200 "), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 4), "\r\n\r\n");
}

TEST_F(Recognize, RelativeTargetWithoutHostGetsNoChain) {
  feed("GET /x HTTP/1.0\r\n\r\n");
  EXPECT_STREQ(slot().dest_host, "");
  EXPECT_EQ(slot().dest_port, 80);
  EXPECT_EQ(chain_calls, 0);
  EXPECT_TRUE(closing());
  EXPECT_EQ(slot().kind, slot_kind::error);
}

TEST_F(Recognize, SchemeWithoutSlashIsWrongUrl) {
  std::string req = "GET http:peer.test/ HTTP/1.0\r\n\r\n";
  feed(req);
  std::string out = sent();
  EXPECT_TRUE(is_page(out, "Wrong HTTP request."));
  EXPECT_NE(out.find("GET http:peer.test/ HTTP/1.0<br><br>"), std::string::npos);
  EXPECT_EQ(route(), "Wrong HTTP url");
  EXPECT_EQ(slot().dest_port, 0);
  EXPECT_EQ(slot().kind, slot_kind::error);
  EXPECT_EQ(chain_calls, 0);
}

TEST_F(Recognize, IncompleteHeadWaitsUntouched) {
  std::string part = "GET http://peer.test/ HTTP/1.1\r\nHost: peer.test\r\n";
  feed(part);
  EXPECT_EQ(slot().kind, slot_kind::first_data);
  EXPECT_EQ(input(), part);
  EXPECT_EQ(sent(), "");
  EXPECT_EQ(chain_calls, 0);
  feed("\r\n");
  EXPECT_EQ(chain_calls, 1);
  EXPECT_EQ(input(), part + "\r\n");
}

TEST_F(Recognize, EndlessHeadIsRefused) {
  feed("GET /");
  feed(std::string(RECOGNIZE_INPUT_LIMIT - 5, 'a'));  // exactly the limit: still waiting
  EXPECT_EQ(slot().kind, slot_kind::first_data);
  EXPECT_EQ(sent(), "");
  feed("a");
  EXPECT_EQ(slot().kind, slot_kind::error);
  std::string out = sent();
  EXPECT_TRUE(is_page(out, "Wrong HTTP request."));
  EXPECT_NE(out.find("<code>GET /aaa"), std::string::npos);
  EXPECT_LT(out.size(), 4000u);
  EXPECT_EQ(route(), "HTTP request head too long");
  EXPECT_EQ(slot().in.len, 0u);
  EXPECT_EQ(chain_calls, 0);
}

// A request cut anywhere ends exactly as the same request in one piece:
// incomplete data waits, it never fails.
struct recognised {
  slot_kind kind;
  std::string host;
  uint16_t port;
  std::string route;
  std::string sent;
  std::string input;
  int chain_calls;
  size_t chain_offset;
  int panel_calls;
};

TEST_F(Recognize, SplitRequestsEndAsWhole) {
  const std::string cases[] = {
      "GET http://peer.test:8081/x HTTP/1.1\r\nHost: peer.test:8081\r\n\r\n",
      "  get / HTTP/1.0\nHost: other.test\n\n",
      "CONNECT peer.test:443 HTTP/1.1\r\n\r\n",
      "MKCALENDAR /c HTTP/1.1\r\nHost: peer.test\r\n\r\n",
      "GET /s3cretpath/index.html HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n",
      "GET /other/ HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n",
      bytes({5, 1, 0, 5, 1, 0, 3, 9}) + "peer.test" + bytes({0, 80}) + "\x16\x03\x01",
      bytes({4, 1, 0, 80, 0, 0, 0, 1}) + "user" + bytes({0}) + "peer.test" + bytes({0}) +
          "GET / HTTP/1.1\r\nHost: other.test\r\n\r\n",
      bytes({4, 1, 0, 80, 0, 0, 0, 1, 0}) + "peer.test" + bytes({0}) + "\x16",
  };
  auto outcome = [&] {
    return recognised{slot().kind, slot().dest_host, slot().dest_port, route(),    sent(),
                      input(),     chain_calls,      chain_offset,     panel_calls};
  };
  for (const std::string& req : cases) {
    SCOPED_TRACE(req);
    TearDown();
    SetUp();
    feed(req);
    recognised whole = outcome();
    EXPECT_GT(static_cast<uint16_t>(whole.kind), 4u);
    for (size_t cut = 1; cut < req.size(); ++cut) {
      SCOPED_TRACE(cut);
      TearDown();
      SetUp();
      feed(req.substr(0, cut));
      if (static_cast<uint16_t>(slot().kind) <= 5) feed(req.substr(cut));
      recognised split = outcome();
      EXPECT_EQ(split.kind, whole.kind);
      EXPECT_EQ(split.host, whole.host);
      EXPECT_EQ(split.port, whole.port);
      EXPECT_EQ(split.route, whole.route);
      EXPECT_EQ(split.sent, whole.sent);
      EXPECT_EQ(split.chain_calls, whole.chain_calls);
      EXPECT_EQ(split.chain_offset, whole.chain_offset);
      EXPECT_EQ(split.panel_calls, whole.panel_calls);
      // Non-HTTP first data goes on at once; the rest follows through the chain.
      if (split.input != whole.input) {
        EXPECT_EQ(split.input + req.substr(cut), whole.input);
      }
    }
  }
}

TEST_F(Recognize, MethodCutShortWaits) {
  for (const char* start : {"G", "GE", "GET", "  GE", " ", "conn"}) {
    SCOPED_TRACE(start);
    TearDown();
    SetUp();
    feed(start);
    EXPECT_EQ(slot().kind, slot_kind::first_data);
    EXPECT_EQ(sent(), "");
    EXPECT_FALSE(closing());
  }
  // Bytes that cannot begin a method are not HTTP: an HTTP client without a
  // destination is closed.
  TearDown();
  SetUp();
  feed("GEX");
  EXPECT_EQ(slot().kind, slot_kind::error);
  EXPECT_TRUE(closing());
}

TEST_F(Recognize, Socks4aCutAfterUserIdWaitsForName) {
  feed(bytes({4, 1, 0, 80, 0, 0, 0, 1}) + "u" + bytes({0}));
  EXPECT_EQ(slot().kind, slot_kind::socks_request);
  EXPECT_EQ(sent(), "");
  feed("peer.te");
  EXPECT_EQ(sent(), "");
  feed("st" + bytes({0}));
  EXPECT_EQ(sent(), "");
  EXPECT_STREQ(slot().dest_host, "peer.test");
  EXPECT_EQ(slot().kind, slot_kind::chain);
}

// --- state 4: local destinations and the panel ---------------------------------

TEST_F(Recognize, PanelRequestGoesToPanel) {
  feed("GET /s3cretpath/index.html HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n");
  EXPECT_EQ(panel_calls, 1);
  EXPECT_EQ(slot().kind, slot_kind::web);
  EXPECT_EQ(chain_calls, 0);

  TearDown();
  SetUp();
  panel_result = 1;
  feed("GET /favicon.ICO HTTP/1.1\r\nHost: localhost:8080\r\n\r\n");
  EXPECT_EQ(panel_calls, 1);
  EXPECT_EQ(slot().kind, slot_kind::web_push);

  // Listening on every interface, all of 127.0.0.0/8 reaches the panel.
  TearDown();
  SetUp();
  listen_address = 0;
  feed("GET http://127.0.1.1:8080/s3cretpath/ HTTP/1.1\r\n\r\n");
  listen_address = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(panel_calls, 1);
}

TEST_F(Recognize, OtherLocalRequestsAreRefused) {
  const char* cases[] = {
      "GET /other/ HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n",
      "GET /s3cretpath/ HTTP/1.1\r\nHost: 127.0.0.1:8081\r\n\r\n",
      "GET /s3cretpat HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n",
      "GET /s3cretpath HTTP/1.1\r\nHost: localhost\r\n\r\n",
      "CONNECT localhost:8080 HTTP/1.1\r\n\r\n",
  };
  for (const char* req : cases) {
    SCOPED_TRACE(req);
    TearDown();
    SetUp();
    feed(req);
    std::string out = sent();
    EXPECT_TRUE(is_page(out, "Loopback is not alowed"));
    EXPECT_EQ(route(), "Destination is localhost");
    EXPECT_EQ(slot().kind, slot_kind::error);
    EXPECT_EQ(panel_calls, 0);
    EXPECT_EQ(chain_calls, 0);
  }
}

TEST_F(Recognize, SocksToLoopbackWithNonHttpDataWaitsForChain) {
  feed(bytes({5, 1, 0}) + bytes({5, 1, 0, 1, 127, 0, 0, 1, 0x01, 0xbb}));
  sent();
  std::string hello("\x16\x03\x01\x02\x00\x01\x00", 7);
  feed(hello);
  EXPECT_EQ(chain_calls, 1);
  EXPECT_EQ(chain_offset, 0u);
  EXPECT_EQ(input(), hello);
  EXPECT_EQ(slot().kind, slot_kind::chain);
  EXPECT_STREQ(slot().dest_host, "127.0.0.1");
}

// A SOCKS client handed back to recognition after an early reply (its last
// link gives only plain HTTP proxies, which need the request) is read on;
// its request's Host line never moves the SOCKS destination.
TEST_F(Recognize, SocksClientHttpRequestKeepsTheSocksDestination) {
  feed(bytes({4, 1, 0x1f, 0x90, 127, 0, 0, 9, 0}));
  sent();
  EXPECT_EQ(chain_calls, 1);
  slot().kind = slot_kind::first_data;
  feed("GET / HTTP/1.1\r\nHost: other.test:99\r\n\r\n");
  EXPECT_EQ(chain_calls, 2);
  EXPECT_STREQ(slot().dest_host, "127.0.0.9");
  EXPECT_EQ(slot().dest_port, 8080);
  EXPECT_EQ(chain_offset, 3u);
}

TEST_F(Recognize, ClientHostIsEscapedInPage) {
  feed(bytes({5, 1, 0}));
  sent();
  std::string name = "<b>x";
  feed(bytes({5, 1, 0, 3, static_cast<int>(name.size())}) + name + bytes({0, 0}));
  std::string out = sent();
  EXPECT_EQ(out.find("<b>x"), std::string::npos);
  EXPECT_NE(out.find("&lt;b&gt;x"), std::string::npos);
}

// --- verbs, host characters and own addresses ---------------------------------

TEST(RecognizeHelpers, VerbOffset) {
  auto v = [](const std::string& s) {
    return http_verb_offset(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  };
  EXPECT_EQ(v("GET / HTTP/1.1"), 3u);
  EXPECT_EQ(v("  get /"), 5u);
  EXPECT_EQ(v("CONNECT a:1 HTTP/1.1"), 7u);
  EXPECT_EQ(v("OPTIONS * HTTP/1.1"), 7u);
  EXPECT_EQ(v("GET"), 0u);
  EXPECT_EQ(v("GET "), 3u);
  EXPECT_EQ(v("GETX / HTTP/1.1"), 0u);
  EXPECT_EQ(v("\r\nGET / HTTP/1.1"), 0u);
  EXPECT_EQ(v(""), 0u);
  EXPECT_EQ(v("    "), 0u);
  EXPECT_EQ(http_verb_offset(nullptr, 5), 0u);
  std::string list = http_verb_list();
  for (const char* m : {"CONNECT", "GET", "POST", "HEAD", "PUT", "DELETE", "OPTIONS", "PATCH"})
    EXPECT_NE(("\n" + list + "\n").find(std::string("\n") + m + "\n"), std::string::npos) << m;
}

TEST(RecognizeHelpers, HostChars) {
  for (int c : {'a', 'Z', '0', '9', '.', '-', '_'}) EXPECT_EQ(is_host_char(c), 1) << c;
  for (int c : {int{':'}, int{'/'}, int{' '}, int{'@'}, int{'['}, 0, 0xC9, int{'~'}})
    EXPECT_EQ(is_host_char(c), 0) << c;
}

TEST(RecognizeHelpers, LocalAddressesWithoutNameResolution) {
  // No name resolves: 127.0.0.1, 0.0.0.0 and the interfaces still count.
  recognize_set_resolver(failing_resolve);
  own_addresses_forget();
  listen_address = htonl(INADDR_LOOPBACK);
  const uint32_t* own = own_addresses();
  EXPECT_EQ(own[0], htonl(INADDR_LOOPBACK));
  EXPECT_EQ(is_local_host("127.0.0.1"), 1);
  EXPECT_EQ(is_local_host("0.0.0.0"), 1);
  for (const uint32_t* o = own; *o != 0; ++o) {
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, o, text, sizeof text);
    EXPECT_EQ(is_local_host(text), 1) << text;
  }
  // Listening on 127.0.0.1 only, other loopback aliases are remote hosts.
  EXPECT_EQ(is_local_host("127.0.0.9"), 0);
  EXPECT_EQ(is_local_host("unresolvable.test"), 0);
  EXPECT_EQ(is_local_host(""), 0);
  recognize_set_resolver(nullptr);
  own_addresses_forget();
}

TEST(RecognizeHelpers, LocalAddressesFollowTheListener) {
  recognize_set_resolver(fake_resolve);
  own_addresses_forget();
  listen_port = 8080;
  // Every interface: all of 127.0.0.0/8 is this machine.
  listen_address = 0;
  for (const char* host : {"127.0.0.2", "127.255.1.9", "127.0.0.1", "localhost"})
    EXPECT_EQ(is_local_host(host), 1) << host;
  // A name is never looked up here: the chain tests the address it finds
  // when it looks the name up itself ("remote_dns" off).
  EXPECT_EQ(is_local_host("peer.test"), 0);
  EXPECT_EQ(is_own_listener("127.0.0.2", 8080), 1);
  EXPECT_EQ(is_own_listener("peer.test", 8080), 0);
  EXPECT_EQ(is_own_listener("127.0.0.2", 8081), 0);
  EXPECT_EQ(is_own_listener("192.0.2.7", 8080), 0);
  // One address: that one, 127.0.0.1 and the interfaces.
  in_addr a{};
  inet_pton(AF_INET, "127.0.0.20", &a);
  listen_address = a.s_addr;
  EXPECT_EQ(is_local_host("127.0.0.20"), 1);
  EXPECT_EQ(is_local_host("127.0.0.1"), 1);
  EXPECT_EQ(is_local_host("127.0.0.21"), 0);
  EXPECT_EQ(is_own_listener("127.0.0.20", 8080), 1);
  EXPECT_EQ(is_own_listener("0.0.0.0", 8080), 1);
  EXPECT_EQ(is_own_listener("127.0.0.1", 8080), 0);  // nothing of ours listens there
  listen_address = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(is_local_host("peer.test"), 0);
  EXPECT_EQ(is_own_listener("localhost", 8080), 1);
  // IPv6 forms through the program's own resolver (numeric: no lookup leaves
  // the machine).
  recognize_set_resolver(nullptr);
  EXPECT_EQ(is_local_host("::1"), 1);
  EXPECT_EQ(is_local_host("::ffff:127.0.0.1"), 1);
  EXPECT_EQ(is_local_host("::ffff:192.0.2.1"), 0);
  EXPECT_EQ(is_local_host("2001:db8::1"), 0);
  own_addresses_forget();
}

TEST_F(Recognize, SocksIntoOurOwnListenerIsClosed) {
  // Non-HTTP bytes to our own address and port would come straight back.
  feed(bytes({5, 1, 0}) + bytes({5, 1, 0, 1, 127, 0, 0, 1, 0x1f, 0x90}));
  sent();
  feed("\x16\x03\x01");
  EXPECT_EQ(chain_calls, 0);
  EXPECT_EQ(slot().kind, slot_kind::error);
  EXPECT_TRUE(closing());
  EXPECT_EQ(route(), "Destination is localhost");
}

}  // namespace
