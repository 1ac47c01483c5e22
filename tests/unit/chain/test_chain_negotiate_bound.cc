// A CONNECT hop's reply head is bounded: one that passes 16 KiB fails the
// hop whether or not it has ended yet.
// A SOCKS5 hop's connect reply ends in a bound address of any of the three
// types; the whole reply is the proxy's, and only the bytes behind it stay
// for the relay.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "chain/negotiate.h"
#include "db/db.h"

namespace {

std::string sent;
int aborts = 0;
void capture_send(int, const void* data, int len) {
  sent.append(static_cast<const char*>(data), static_cast<size_t>(len));
}
void capture_abort(int) {
  ++aborts;
}

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

class Socks5Bound : public ::testing::Test {
 protected:
  stream in{};
  chain_state st{};
  hop hops[3] = {hop{PT_SOCKS5, 1080, 0x0500007F}, hop{HOP_END, 80, 0x0900007F}, hop{}};

  void SetUp() override {
    sent.clear();
    aborts = 0;
    chain_io = chain_io_ops{capture_send, capture_abort};
    step('C');
    reply(bytes({5, 0}));
    step();
  }
  void TearDown() override {
    stream_free(in);
    chain_io = chain_io_ops{slot_send, slot_abort};
  }
  void step(char letter = 'R') { chain_step(letter | CHAIN_QUIET, 7, in, hops, 2, st); }
  void reply(const std::string& b) { stream_append(in, b.data(), static_cast<uint32_t>(b.size())); }
  std::string left() const { return std::string(reinterpret_cast<const char*>(in.data), in.len); }
};

TEST_F(Socks5Bound, Ipv6BoundAddressIsNotRelayed) {
  reply(bytes({5, 0, 0, 4}) + std::string(16, '\x01') + bytes({0x1f, 0x90}) + "HTTP");
  step();
  EXPECT_TRUE(st.established);
  EXPECT_FALSE(st.failed);
  EXPECT_EQ(left(), "HTTP");
}

TEST_F(Socks5Bound, NameBoundAddressArrivingInPieces) {
  const std::string r = bytes({5, 0, 0, 3, 9}) + "peer.test" + bytes({0, 80});
  reply(r.substr(0, 10));  // ten bytes: an IPv4 reply would be complete here
  step();
  EXPECT_FALSE(st.established);
  reply(r.substr(10) + "data");
  step();
  EXPECT_TRUE(st.established);
  EXPECT_EQ(left(), "data");
}

TEST_F(Socks5Bound, Ipv4ReplyAsBefore) {
  reply(bytes({5, 0, 0, 1, 127, 0, 0, 9, 0, 80}) + "x");
  step();
  EXPECT_TRUE(st.established);
  EXPECT_EQ(left(), "x");
}

TEST_F(Socks5Bound, UnknownAddressTypeFails) {
  reply(bytes({5, 0, 0, 7, 1, 2, 3, 4, 5, 6, 7, 8}));
  step();
  EXPECT_TRUE(st.failed);
  EXPECT_FALSE(st.established);
  EXPECT_EQ(in.len, 0u);
}

class ConnectHead : public ::testing::Test {
 protected:
  stream in{};
  chain_state st{};
  hop hops[3] = {hop{PT_HTTPS, 3128, 0x0500007F}, hop{HOP_END, 443, 0x0900007F}, hop{}};

  void SetUp() override {
    sent.clear();
    aborts = 0;
    chain_io = chain_io_ops{capture_send, capture_abort};
    step('C');
  }
  void TearDown() override {
    stream_free(in);
    chain_io = chain_io_ops{slot_send, slot_abort};
  }
  void step(char letter = 'R') { chain_step(letter | CHAIN_QUIET, 7, in, hops, 2, st); }
  void reply(const std::string& b) { stream_append(in, b.data(), static_cast<uint32_t>(b.size())); }
  // A 200 head of exactly `size` bytes.
  static std::string head_of(size_t size) {
    std::string h = "HTTP/1.1 200 OK\r\nX: ";
    h += std::string(size - h.size() - 4, 'a');
    return h + "\r\n\r\n";
  }
};

TEST_F(ConnectHead, HeadUpToTheLimitIsAccepted) {
  ASSERT_NE(sent.find("CONNECT 127.0.0.9:443"), std::string::npos);
  reply(head_of(CONNECT_REPLY_HEAD_LIMIT) + "tls");
  step();
  EXPECT_TRUE(st.established);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(in.data), in.len), "tls");
}

TEST_F(ConnectHead, LongerHeadFailsTheHop) {
  reply(head_of(CONNECT_REPLY_HEAD_LIMIT + 1));
  step();
  EXPECT_TRUE(st.failed);
  EXPECT_FALSE(st.established);
}

TEST_F(ConnectHead, EndlessHeadFailsOnceItPassesTheLimit) {
  const std::string start = "HTTP/1.1 200 OK\r\n";
  reply(start);
  size_t total = start.size();
  while (total <= CONNECT_REPLY_HEAD_LIMIT) {
    EXPECT_FALSE(st.failed) << total;
    reply("X-Filler: 0123456789012345678901234567890123456789\r\n");
    total += 52;
    step();
  }
  EXPECT_TRUE(st.failed);
  EXPECT_EQ(in.len, 0u);
}

}  // namespace
