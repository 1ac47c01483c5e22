// Where a request goes: the client's own destination (the SOCKS request's,
// the CONNECT target, an absolute URL's authority) wins over the Host line,
// which names it only for an origin-form request; and the Host line is
// looked for only in the request head, never in a body or in tunnel bytes
// that arrive in the same read.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/slot.h"
#include "front/recognize.h"
#include "tests/support/front_hooks.h"

namespace {

int chain_calls = 0;
void fake_chain(int, size_t) {
  ++chain_calls;
}
int fake_panel(int) {
  return 0;
}

constexpr int IDX = 9;

class HostLine : public ::testing::Test {
 protected:
  void SetUp() override {
    recognize_set_resolver(front_table_resolve);
    own_addresses_forget();
    recognize_set_calls(fake_panel, fake_chain);
    listen_port = 8080;
    chain_calls = 0;
    ASSERT_TRUE(front_slot_place(IDX, fd));
  }
  void TearDown() override {
    front_slot_clear(IDX, fd);
    recognize_set_calls(nullptr, nullptr);
    recognize_set_resolver(nullptr);
    own_addresses_forget();
  }
  void feed(const std::string& bytes) {
    ASSERT_TRUE(
        stream_append(conn_table[IDX].in, bytes.data(), static_cast<uint32_t>(bytes.size())));
    client_recognize(IDX);
  }
  int fd = -1;
};

TEST_F(HostLine, ConnectTargetIsNotReplacedByTunnelBytes) {
  feed("CONNECT a.test:443 HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\nHost: b.test\r\n\r\n");
  EXPECT_EQ(chain_calls, 1);
  EXPECT_STREQ(conn_table[IDX].dest_host, "a.test");
  EXPECT_EQ(conn_table[IDX].dest_port, 443);
}

TEST_F(HostLine, BodyLineIsNotAHostHeader) {
  // A relative target and no Host line: nothing names a destination.
  feed("POST /form HTTP/1.0\r\nContent-Length: 15\r\n\r\nHost: b.test:81");
  EXPECT_EQ(chain_calls, 0);
  EXPECT_STREQ(conn_table[IDX].dest_host, "");
}

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out.push_back(static_cast<char>(b));
  return out;
}

struct destination_case {
  const char* what;
  std::string socks;  // the SOCKS handshake before the request, or ""
  std::string request;
  const char* host;
  uint16_t port;
  uint8_t proto;
};

TEST_F(HostLine, TheClientsDestinationWins) {
  const std::string socks4_8080 = bytes({4, 1, 0x1f, 0x90, 127, 0, 0, 9, 0});
  const std::string socks5_a = bytes({5, 1, 0, 5, 1, 0, 3, 6}) + "a.test" + bytes({0x1f, 0x90});
  const destination_case cases[] = {
      {"an absolute URL over the Host line", "",
       "GET http://a.test/ HTTP/1.1\nHost: b.test:82\n\nHost: a.test:83\n", "a.test", 80,
       PROTO_HTTP},
      {"an absolute URL's port", "", "GET http://a.test:8080/ HTTP/1.1\r\nHost: a.test\r\n\r\n",
       "a.test", 8080, PROTO_HTTP},
      {"origin form: the Host line", "", "GET / HTTP/1.1\r\nHost: b.test:81\r\n\r\n", "b.test", 81,
       PROTO_HTTP},
      {"origin form without a port", "", "GET / HTTP/1.1\r\nHost: b.test\r\n\r\n", "b.test", 80,
       PROTO_HTTP},
      {"a CONNECT target over the Host line", "",
       "CONNECT a.test:443 HTTP/1.1\r\nHost: b.test:80\r\n\r\n", "a.test", 443, PROTO_CONNECT},
      {"a SOCKS4 address over a Host line", socks4_8080,
       "GET / HTTP/1.1\r\nHost: b.test:99\r\n\r\n", "127.0.0.9", 8080, PROTO_SOCKS4},
      {"a SOCKS5 name over a Host line without a port", socks5_a,
       "GET / HTTP/1.1\r\nHost: b.test\r\n\r\n", "a.test", 8080, PROTO_SOCKS5},
      {"a SOCKS5 name over an absolute URL", socks5_a,
       "GET http://b.test:81/ HTTP/1.1\r\nHost: b.test:81\r\n\r\n", "a.test", 8080, PROTO_SOCKS5},
      {"a CONNECT inside a SOCKS connection is the destination's", socks5_a,
       "CONNECT b.test:443 HTTP/1.1\r\n\r\n", "a.test", 8080, PROTO_SOCKS5},
  };
  for (const destination_case& c : cases) {
    TearDown();
    SetUp();
    if (!c.socks.empty()) feed(c.socks);
    feed(c.request);
    EXPECT_EQ(chain_calls, 1) << c.what;
    EXPECT_STREQ(conn_table[IDX].dest_host, c.host) << c.what;
    EXPECT_EQ(conn_table[IDX].dest_port, c.port) << c.what;
    EXPECT_EQ(conn_table[IDX].proto, c.proto) << c.what;
    if (c.proto != PROTO_CONNECT) {  // forwarded as it came
      const std::string in(reinterpret_cast<const char*>(conn_table[IDX].in.data),
                           conn_table[IDX].in.len);
      EXPECT_EQ(in, c.request) << c.what;
    }
  }
}

}  // namespace
