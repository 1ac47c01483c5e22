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

// What the first request becomes: the connection ends after one answer
// where that keeps the request valid, and the result says whether the
// client had meant to keep it.
struct rewrite_case {
  const char* what;
  const char* request;
  const char* expected;
  int result;
};
const rewrite_case kRewrites[] = {
    {"a proxy request becomes origin form, HTTP/1.0, close",
     "GET http://host/path HTTP/1.1\r\nProxy-Connection: keep-alive\r\nHost: host\r\n\r\n",
     "GET /path HTTP/1.0\r\nHost: host\r\nConnection: close\r\n\r\n", REWRITE_CLOSE_FORCED},
    {"a keep-alive value becomes close",
     "GET http://h.example/a?b HTTP/1.1\r\nHost: h.example\r\nConnection: keep-alive\r\n"
     "Accept: */*\r\n\r\n",
     "GET /a?b HTTP/1.0\r\nHost: h.example\r\nConnection: close\r\nAccept: */*\r\n\r\n",
     REWRITE_CLOSE_FORCED},
    {"other Connection tokens stay and close is added",
     "GET / HTTP/1.1\r\nHost: h\r\nConnection: TE\r\nTE: trailers\r\n\r\n",
     "GET / HTTP/1.0\r\nHost: h\r\nConnection: TE, close\r\nTE: trailers\r\n\r\n",
     REWRITE_CLOSE_FORCED},
    {"an upgrade keeps its version and its Connection line",
     "GET /ws HTTP/1.1\r\nHost: h\r\nConnection: Upgrade\r\nUpgrade: x\r\n\r\n",
     "GET /ws HTTP/1.1\r\nHost: h\r\nConnection: Upgrade\r\nUpgrade: x\r\n\r\n", REWRITE_DONE},
    {"a browser's websocket request asks keep-alive and upgrade at once",
     "GET http://h/ws HTTP/1.1\r\nHost: h\r\nConnection: keep-alive, Upgrade\r\n"
     "Upgrade: websocket\r\nProxy-Connection: keep-alive\r\n\r\n",
     "GET /ws HTTP/1.1\r\nHost: h\r\nConnection: keep-alive, Upgrade\r\nUpgrade: websocket\r\n\r\n",
     REWRITE_DONE},
    {"an Upgrade line alone is an upgrade", "GET / HTTP/1.1\nHost: h\nUpgrade: h2c\n\n",
     "GET / HTTP/1.1\nHost: h\nUpgrade: h2c\n\n", REWRITE_DONE},
    {"a chunked body keeps HTTP/1.1 and asks for the close",
     "POST /up HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
     "POST /up HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
     "5\r\nhello\r\n0\r\n\r\n",
     REWRITE_CLOSE_FORCED},
    {"a request waiting for 100 Continue keeps HTTP/1.1",
     "POST /up HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\nExpect: 100-Continue\r\n\r\n",
     "POST /up HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\nExpect: 100-Continue\r\n"
     "Connection: close\r\n\r\n",
     REWRITE_CLOSE_FORCED},
    {"HTTP/1.0 without keep-alive closes anyway", "GET / HTTP/1.0\r\nHost: h\r\n\r\n",
     "GET / HTTP/1.0\r\nHost: h\r\nConnection: close\r\n\r\n", REWRITE_DONE},
    {"HTTP/1.0 with keep-alive is made to close",
     "GET / HTTP/1.0\r\nHost: h\r\nConnection: Keep-Alive\r\n\r\n",
     "GET / HTTP/1.0\r\nHost: h\r\nConnection: close\r\n\r\n", REWRITE_CLOSE_FORCED},
    {"a CONNECT for a proxy at the destination stays",
     "CONNECT h:443 HTTP/1.1\r\nHost: h:443\r\n\r\n",
     "CONNECT h:443 HTTP/1.1\r\nHost: h:443\r\n\r\n", REWRITE_DONE},
    {"a client asking close gets what it asked",
     "GET / HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n",
     "GET / HTTP/1.0\r\nHost: h\r\nConnection: close\r\n\r\n", REWRITE_DONE},
};

TEST(Rewrite, FirstRequestTable) {
  for (const rewrite_case& c : kRewrites) {
    int r = -1;
    EXPECT_EQ(rewrite(c.request, &r), c.expected) << c.what;
    EXPECT_EQ(r, c.result) << c.what;
  }
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
  EXPECT_EQ(err("HTTP/1.1 101 Switching"), 0);  // interim answers are no refusal
  EXPECT_EQ(err("HTTP/1.1 100 Continue\r\n"), 0);
  EXPECT_EQ(err("HTTP/1.1 399 x\r\n"), 0);
  EXPECT_EQ(err("HTTP/1.1 4"), 1);  // ten bytes are enough for the test itself
  EXPECT_EQ(err("HTTP/1.1 "), 0);   // fewer than 10 bytes: not checked
  EXPECT_EQ(err("HTTP/1 404 x"), 0);
  EXPECT_EQ(err("SSH-2.0-OpenSSH"), 0);
}

// A plain HTTP last hop is given the client's destination in the target.
TEST(AbsoluteTarget, OriginFormGetsTheDestination) {
  const struct {
    const char* request;
    const char* expected;
    int result;
  } cases[] = {
      {"GET /x HTTP/1.1\r\nHost: other\r\n\r\nbody",
       "GET http://127.0.0.9:81/x HTTP/1.1\r\nHost: other\r\n\r\nbody", REWRITE_DONE},
      {"GET http://a/x HTTP/1.1\r\n\r\n", "GET http://a/x HTTP/1.1\r\n\r\n", REWRITE_DONE},
      {"OPTIONS * HTTP/1.1\r\n\r\n", "OPTIONS * HTTP/1.1\r\n\r\n", REWRITE_DONE},
      {"GET /x HTTP/1.1\r\nHo", "GET /x HTTP/1.1\r\nHo", REWRITE_WAIT},
      {"\x16\x03\x01 not http at all", "\x16\x03\x01 not http at all", REWRITE_DONE},
  };
  for (const auto& c : cases) {
    stream s{};
    stream_append(s, c.request, static_cast<uint32_t>(strlen(c.request)));
    EXPECT_EQ(absolute_target(s, "127.0.0.9:81"), c.result) << c.request;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.data), s.len), c.expected);
    stream_free(s);
  }
}

// The first final reply head of a connection whose close was forced says
// "Connection: close"; an unfinished head waits.
struct mark_case {
  const char* what;
  std::string reply;
  std::string expected;
  int done;
  uint32_t held;
};

TEST(ReplyMark, Table) {
  const std::string partial = "HTTP/1.1 200 OK\r\nContent-Le";
  const std::string endless = "HTTP/1.1 200 OK\r\n" + std::string(REPLY_HEAD_LIMIT, 'x');
  std::string lf_lines = "HTTP/1.1 200 OK";  // LF inside, CR LF at the end: each line end grows
  for (int i = 0; i < 5000; ++i) lf_lines += "\nab";
  lf_lines += "\r\n\r\n";
  const mark_case cases[] = {
      {"keep-alive lines give way to close",
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: keep-alive\r\n"
       "Keep-Alive: timeout=5\r\n\r\nok",
       "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok", REWRITE_DONE, 0},
      {"a head without a Connection line gets one", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
       "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 0\r\n\r\n", REWRITE_DONE, 0},
      {"a status line alone", "HTTP/1.0 200 OK\r\n\r\nbody",
       "HTTP/1.0 200 OK\r\nConnection: close\r\n\r\nbody", REWRITE_DONE, 0},
      {"LF line ends", "HTTP/1.1 204 No\nConnection: Keep-Alive\n\n",
       "HTTP/1.1 204 No\nConnection: close\n\n", REWRITE_DONE, 0},
      {"a 100 Continue is passed over",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nConnection: close\r\n"
       "Content-Length: 0\r\n\r\n",
       REWRITE_DONE, 0},
      {"a 100 Continue alone: the final head is still to come", "HTTP/1.1 100 Continue\r\n\r\n",
       "HTTP/1.1 100 Continue\r\n\r\n", REWRITE_WAIT, 0},
      {"an unfinished head waits", partial, partial, REWRITE_WAIT,
       static_cast<uint32_t>(partial.size())},
      {"behind a 100 Continue too", "HTTP/1.1 100 Continue\r\n\r\n" + partial,
       "HTTP/1.1 100 Continue\r\n\r\n" + partial, REWRITE_WAIT,
       static_cast<uint32_t>(partial.size())},
      {"a status line's first bytes wait", "HTT", "HTT", REWRITE_WAIT, 3},
      {"a switch of protocols stays", "HTTP/1.1 101 Switching\r\nUpgrade: websocket\r\n\r\n",
       "HTTP/1.1 101 Switching\r\nUpgrade: websocket\r\n\r\n", REWRITE_DONE, 0},
      {"bytes that are no reply go as they are", "SSH-2.0-OpenSSH_9\r\n", "SSH-2.0-OpenSSH_9\r\n",
       REWRITE_DONE, 0},
      {"a head past the limit goes unmarked", endless, endless, REWRITE_DONE, 0},
      {"so does one that would grow past it", lf_lines, lf_lines, REWRITE_DONE, 0},
  };
  for (const mark_case& c : cases) {
    stream s{};
    stream_append(s, c.reply.data(), static_cast<uint32_t>(c.reply.size()));
    s.total = 99;
    const reply_mark m = mark_reply_close(s);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.data), s.len), c.expected) << c.what;
    EXPECT_EQ(m.done, c.done) << c.what;
    EXPECT_EQ(m.held, c.held) << c.what;
    EXPECT_EQ(s.total, 99u) << c.what;
    stream_free(s);
  }
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
  EXPECT_EQ(route_of(1901).rewritten, REWRITE_CLOSE_FORCED);
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

TEST_F(RelayHook, ForcedCloseIsToldInTheFirstReplyHead) {
  put(1901, "GET /x HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(relay_hook(1900, 1901), 0u);
  EXPECT_EQ(route_of(1901).rewritten, REWRITE_CLOSE_FORCED);
  put(1900, "HTTP/1.1 200 OK\r\nConn");
  EXPECT_EQ(relay_hook(1900, 1901), 21u);  // the unfinished head waits
  put(1900, "ection: keep-alive\r\nContent-Length: 1\r\n\r\nx");
  EXPECT_EQ(relay_hook(1900, 1901), 0u);
  EXPECT_EQ(in_of(1900), "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\nx");
  EXPECT_EQ(route_of(1901).rewritten, REWRITE_DONE);
  stream_free(conn_table[1900].in);
  put(1900, "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n\r\n");  // only the first reply
  relay_hook(1900, 1901);
  EXPECT_EQ(in_of(1900), "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n\r\n");
}

TEST_F(RelayHook, TunnelBytesAreNeverRewritten) {
  conn_table[1901].proto = PROTO_CONNECT;
  const std::string inner = "GET /ws HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\n\r\n";
  put(1901, inner);
  relay_hook(1900, 1901);
  EXPECT_EQ(in_of(1901), inner);
  EXPECT_EQ(route_of(1901).rewritten, REWRITE_DONE);
  put(1900, "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(relay_hook(1900, 1901), 0u);
  EXPECT_EQ(in_of(1900), "HTTP/1.1 200 OK\r\nConnection: keep-alive\r\n\r\n");
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
