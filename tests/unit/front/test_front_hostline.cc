// Where recognition looks for the Host line: only in the request head, never
// in a body or in tunnel bytes that arrive in the same read.
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

TEST_F(HostLine, HostLineInTheHeadStillWins) {
  feed("GET http://a.test/ HTTP/1.1\nHost: b.test:82\n\nHost: a.test:83\n");
  EXPECT_EQ(chain_calls, 1);
  EXPECT_STREQ(conn_table[IDX].dest_host, "b.test");
  EXPECT_EQ(conn_table[IDX].dest_port, 80);
}

}  // namespace
