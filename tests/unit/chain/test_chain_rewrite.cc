// Rewriting of the first plain HTTP request and the destination reply check.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "chain/rewrite.h"
#include "chain/route.h"
#include "platform/clock.h"

namespace {

std::string rewrite(const std::string& request, int* result = nullptr, bool keep_target = false) {
  stream s{};
  stream_append(s, request.data(), static_cast<uint32_t>(request.size()));
  s.total = 77;
  const int r = rewrite_request(s, keep_target);
  if (result) *result = r;
  std::string out(reinterpret_cast<const char*>(s.data), s.len);
  EXPECT_EQ(s.total, 77u);
  stream_free(s);
  return out;
}

TEST(Rewrite, ProxyRequestBecomesOriginFormHttp10) {
  int r = 0;
  EXPECT_EQ(rewrite("GET http://host/path HTTP/1.1\r\nProxy-Connection: keep-alive\r\n"
                    "Host: host\r\n\r\n",
                    &r),
            "GET /path HTTP/1.0\r\nHost: host\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(r, 1);
}

TEST(Rewrite, KeepAliveValueBecomesClose) {
  EXPECT_EQ(rewrite("GET http://h.example/a?b HTTP/1.1\r\nHost: h.example\r\n"
                    "Connection: keep-alive\r\nAccept: */*\r\n\r\n"),
            "GET /a?b HTTP/1.0\r\nHost: h.example\r\nConnection: close\r\nAccept: */*\r\n\r\n");
}

TEST(Rewrite, ConnectionUpgradeStays) {
  EXPECT_EQ(rewrite("GET /ws HTTP/1.1\r\nHost: h\r\nConnection: Upgrade\r\nUpgrade: x\r\n\r\n"),
            "GET /ws HTTP/1.0\r\nHost: h\r\nConnection: Upgrade\r\nUpgrade: x\r\n\r\n");
}

// An origin answers an absolute target with 404 as often as not: with a
// port or without, and without a path, it gets the origin form.
TEST(Rewrite, TargetWithPortOrWithoutPathGetsOriginForm) {
  EXPECT_EQ(rewrite("GET http://host:8080/path HTTP/1.1\r\nHost: host:8080\r\n"
                    "Keep-Alive: 300\r\n\r\n"),
            "GET /path HTTP/1.0\r\nHost: host:8080\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(rewrite("GET http://host:8080/p?q=http://x:1/ HTTP/1.1\r\nHost: host:8080\r\n\r\n"),
            "GET /p?q=http://x:1/ HTTP/1.0\r\nHost: host:8080\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(rewrite("GET http://host HTTP/1.1\r\nHost: host\r\n\r\n"),
            "GET / HTTP/1.0\r\nHost: host\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(rewrite("GET http://host:81 HTTP/1.1\r\nHost: host:81\r\n\r\n"),
            "GET / HTTP/1.0\r\nHost: host:81\r\nConnection: close\r\n\r\n");
  // Something that only looks like a port is left alone.
  EXPECT_EQ(rewrite("GET http://host:x/p HTTP/1.1\r\nHost: host\r\n\r\n"),
            "GET http://host:x/p HTTP/1.0\r\nHost: host\r\nConnection: close\r\n\r\n");
}

TEST(Rewrite, HttpsTargetsStay) {
  EXPECT_EQ(rewrite("GET https://host/p HTTP/1.1\r\nHost: host\r\n\r\n"),
            "GET https://host/p HTTP/1.0\r\nHost: host\r\nConnection: close\r\n\r\n");
}

TEST(Rewrite, LfOnlyRequestGetsLf) {
  EXPECT_EQ(rewrite("GET http://host/ HTTP/1.1\nHost: host\nProxy-Connection: keep-alive\n\n"),
            "GET / HTTP/1.0\nHost: host\nConnection: close\n\n");
}

TEST(Rewrite, LastProxyPlainHttpKeepsAbsoluteTarget) {
  EXPECT_EQ(rewrite("GET http://host/path HTTP/1.1\r\nHost: host\r\n\r\n", nullptr, true),
            "GET http://host/path HTTP/1.0\r\nHost: host\r\nConnection: close\r\n\r\n");
}

TEST(Rewrite, BodyBehindTheHeadIsNeverEdited) {
  const std::string body = "Connection: keep-alive\r\nProxy-Connection: x\r\nHTTP/1.1\r\n";
  EXPECT_EQ(rewrite("POST http://host/up HTTP/1.1\r\nHost: host\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\n\r\n" + body),
            "POST /up HTTP/1.0\r\nHost: host\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\nConnection: close\r\n\r\n" + body);
}

TEST(Rewrite, IncompleteOrShortWaitsAndNonHttpIsDone) {
  int r = -1;
  EXPECT_EQ(rewrite("GET http://host/ HTTP/1.1\r\nHost: ho", &r),
            "GET http://host/ HTTP/1.1\r\nHost: ho");
  EXPECT_EQ(r, 0);
  rewrite("GET / HTT", &r);
  EXPECT_EQ(r, 0);
  const std::string tls("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 15);
  EXPECT_EQ(rewrite(tls, &r), tls);
  EXPECT_EQ(r, 1);
}

TEST(ResponseIsError, StatusRanges) {
  auto err = [](const char* t) {
    return response_is_error(reinterpret_cast<const uint8_t*>(t), strlen(t));
  };
  EXPECT_EQ(err("HTTP/1.1 404 Not Found\r\n"), 1);
  EXPECT_EQ(err("HTTP/1.0 302 Found\r\n"), 0);
  EXPECT_EQ(err("HTTP/1.0 200 OK\r\n"), 0);
  EXPECT_EQ(err("http / 1.1  500 x"), 1);
  EXPECT_EQ(err("HTTP/1.1 101 Switching"), 1);
  EXPECT_EQ(err("HTTP/1.1 399 x\r\n"), 0);
  EXPECT_EQ(err("HTTP/1.1 4"), 1);  // ten bytes are enough for the test itself
  EXPECT_EQ(err("HTTP/1.1 "), 0);   // fewer than 10 bytes: not checked
  EXPECT_EQ(err("HTTP/1 404 x"), 0);
  EXPECT_EQ(err("SSH-2.0-OpenSSH"), 0);
}

// relay_hook on a chain pair laid out in the slot table (no sockets needed).
class RelayHook : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_fake_enable(50000, 1700000000000ull);
    force_http_10_reset();
    memset(&conn_table[1900], 0, sizeof(conn_slot) * 2);
    route_record& ro = route_of(1900);
    ro.side = 0;
    ro.hop_count = 2;
    ro.hop_index = 1;
    ro.check_reply = 3;
    ro.established = 1;
    ro.hops[0] = hop{0x10, 1080, 0x0500007F};
    ro.hops[1] = hop{0xFFFF, 80, 0x0900007F};
    route_of(1901).side = 1;
  }
  void TearDown() override {
    stream_free(conn_table[1900].in);
    stream_free(conn_table[1901].in);
    memset(&conn_table[1900], 0, sizeof(conn_slot) * 2);
    conn_table[1900].sock = conn_table[1901].sock = -1;
    clock_fake_disable();
  }
  static void put(int index, const std::string& b) {
    stream_append(conn_table[index].in, b.data(), static_cast<uint32_t>(b.size()));
  }
  static std::string in_of(int index) {
    return std::string(reinterpret_cast<const char*>(conn_table[index].in.data),
                       conn_table[index].in.len);
  }
};

TEST_F(RelayHook, RewritesOnceAndChecksTheFirstReply) {
  put(1901, "GET http://h/x HTTP/1.1\r\nHost: h\r\n\r\n");
  relay_hook(1901, 1900);  // either order of the pair
  EXPECT_EQ(in_of(1901), "GET /x HTTP/1.0\r\nHost: h\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(route_of(1901).rewritten, 1);
  stream_free(conn_table[1901].in);
  put(1901, "GET http://h/y HTTP/1.1\r\nHost: h\r\n\r\n");  // a later request passes unchanged
  relay_hook(1900, 1901);
  EXPECT_EQ(in_of(1901), "GET http://h/y HTTP/1.1\r\nHost: h\r\n\r\n");

  put(1900, "HTTP/1.1 ");  // not more than 10 bytes yet
  relay_hook(1900, 1901);
  EXPECT_EQ(route_of(1900).check_reply, 3);
  put(1900, "404 Not Found\r\n");
  relay_hook(1900, 1901);
  EXPECT_EQ(route_of(1900).check_reply, 0);
  EXPECT_EQ(route_of(1900).failed, 1);
}

TEST_F(RelayHook, NotAtTheDestinationOrSettingOffLeavesRequest) {
  route_of(1900).hop_index = 0;
  put(1901, "GET http://h/x HTTP/1.1\r\nHost: h\r\n\r\n");
  relay_hook(1900, 1901);
  EXPECT_EQ(route_of(1901).rewritten, 0);
  EXPECT_EQ(in_of(1901), "GET http://h/x HTTP/1.1\r\nHost: h\r\n\r\n");
  route_of(1901).side = 0;  // two outbound sides: not a pair this hook knows
  route_of(1900).hop_index = 1;
  relay_hook(1900, 1901);
  EXPECT_EQ(route_of(1901).rewritten, 0);
}

}  // namespace
