// The panel served by the running program over real sockets.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "panel/server.h"
#include "tests/support/panel_support.h"
#include "tests/support/program.h"

namespace {

class PanelHttp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    program = new program_instance;
    ASSERT_TRUE(program->make_home("127.0.0.1") && program->start({}, 5000));
    root = program->registry_text("root");
    ASSERT_EQ(root.size(), 32u);
  }
  static void TearDownTestSuite() {
    program->stop();
    delete program;
  }

  static int open_panel() {
    int s = connect_local(program->port, 3000);
    EXPECT_GE(s, 0);
    return s;
  }
  // Sends a request and reads one reply (time limit of wait_ms).
  static std::string exchange(const std::string& request, int wait_ms = 3000) {
    int s = open_panel();
    send_all(s, request);
    std::string reply = read_http_reply(s, wait_ms);
    close(s);
    return reply;
  }
  static std::string get(const std::string& target, int wait_ms = 3000) {
    return exchange("GET " + target + " HTTP/1.1\r\n" + host() + "\r\n\r\n", wait_ms);
  }
  static std::string host() { return "Host: localhost:" + std::to_string(program->port); }
  static std::string path(const std::string& rest) { return "/" + root + rest; }
  // The reply carries exactly the body its head announces.
  static bool complete(const std::string& reply) {
    size_t at = reply.find("Content-Length: ");
    return at != std::string::npos &&
           std::stoul(reply.substr(at + 16)) == panel_test_body(reply).size() &&
           !panel_test_body(reply).empty();
  }

  static program_instance* program;
  static std::string root;
};

program_instance* PanelHttp::program = nullptr;
std::string PanelHttp::root;

TEST_F(PanelHttp, IconWithoutThePanelPath) {
  std::string reply = get("/favicon.ico");
  EXPECT_NE(reply.find("Content-Type: image/x-icon\r\n"), std::string::npos) << reply;
  std::string icon = panel_test_body(reply);
  ASSERT_GE(icon.size(), 22u);
  EXPECT_EQ(icon[4], 1);
  EXPECT_EQ(icon[6], 32);
  EXPECT_EQ(icon[7], 32);
}

TEST_F(PanelHttp, RedirectIndexAndFileTypes) {
  std::string redirect = get(path(""));
  EXPECT_EQ(redirect.rfind("HTTP/1.0 302 Found\r\n", 0), 0u) << redirect;
  EXPECT_NE(redirect.find("Location: /" + root + "/\r\n"), std::string::npos);

  std::string index = get(path("/"));
  EXPECT_NE(index.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
  EXPECT_TRUE(complete(index));
  EXPECT_NE(index.find("id=\"top_menu\""), std::string::npos);

  std::string css = get(path("/STYLE.CSS"));
  EXPECT_NE(css.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
  EXPECT_TRUE(complete(css));
  EXPECT_EQ(css.find("<html"), std::string::npos);
  std::string js = get(path("/script.js"));
  EXPECT_NE(js.find("Content-Type: text/javascript; charset=utf-8"), std::string::npos);
  EXPECT_TRUE(complete(js));
  EXPECT_NE(js.find("ajax_callback"), std::string::npos);

  EXPECT_NE(get(path("/x.json")).find("File not found"), std::string::npos);
  EXPECT_NE(get(path("/no-such-file.html")).find("File not found"), std::string::npos);
}

TEST_F(PanelHttp, RequestsThatAreNotServed) {
  // A wrong panel path is no panel request: at most the front end's refusal
  // of a local destination comes back, never a panel file.
  for (const std::string& target :
       {std::string("/0123456789abcdef0123456789abcdef/"), "/" + root.substr(0, 31) + "/",
        "/" + root + "x/", "/" + root.substr(0, 31) + "X/favicon.ico"}) {
    std::string reply = get(target, 500);
    EXPECT_EQ(reply.find("top_menu"), std::string::npos) << target;
    EXPECT_EQ(reply.find("image/x-icon"), std::string::npos) << target;
    EXPECT_TRUE(reply.empty() || reply.find("Loopback is not alowed") != std::string::npos ||
                reply.rfind("HTTP/1.0 404 Not Found\r\n", 0) == 0)
        << reply;
  }
  EXPECT_EQ(exchange("ABCDEFGHIJKLMNO " + path("/") + " HTTP/1.1\r\n" + host() + "\r\n\r\n", 500),
            "");
}

TEST_F(PanelHttp, PostIsAnsweredWhenTheWholeBodyArrived) {
  std::string body = "type=nothing&pad=" + std::string(83, 'x');
  ASSERT_EQ(body.size(), 100u);
  int s = open_panel();
  send_all(s, "POST " + path("/ajax") + " HTTP/1.1\r\n" + host() +
                  "\r\nContent-Length: 100\r\n\r\n" + body.substr(0, 60));
  EXPECT_EQ(read_http_reply(s, 400), "");
  send_all(s, body.substr(60));
  std::string reply = read_http_reply(s, 3000);
  EXPECT_EQ(panel_test_body(reply), "ajax_callback(\"ping\",null);") << reply;
  close(s);
}

TEST_F(PanelHttp, AjaxWithoutTypeAndSettings) {
  std::string reply = exchange("POST " + path("/ajax") + " HTTP/1.1\r\n" + host() +
                               "\r\nContent-Length: 3\r\n\r\na=1");
  EXPECT_NE(reply.find("Content-Type: text/javascript"), std::string::npos);
  EXPECT_EQ(panel_test_body(reply), "ajax_callback(\"ping\",null);");
  reply = exchange("POST " + path("/ajax") + " HTTP/1.1\r\n" + host() +
                   "\r\nContent-Length: 13\r\n\r\ntype=settings");
  EXPECT_EQ(panel_test_body(reply).rfind("ajax_callback(\"settings\",{chain:[[", 0), 0u) << reply;
}

TEST_F(PanelHttp, SecondRequestInOneReadIsDropped) {
  int s = open_panel();
  send_all(s, "GET " + path("/script.js") + " HTTP/1.1\r\n" + host() + "\r\n\r\n" + "GET " +
                  path("/style.css") + " HTTP/1.1\r\n" + host() + "\r\n\r\n");
  std::string reply = read_http_reply(s, 3000);
  EXPECT_TRUE(complete(reply));
  EXPECT_NE(reply.find("ajax_callback"), std::string::npos);
  EXPECT_EQ(read_http_reply(s, 400), "");
  close(s);
}

TEST_F(PanelHttp, FlowChannelAndStatusPage) {
  int flow = open_panel();
  send_all(flow, "GET " + path("/flow.html") + " HTTP/1.1\r\n" + host() + "\r\n\r\n");
  std::string opened = read_http_reply(flow, 1000);
  EXPECT_EQ(opened.rfind("HTTP/1.1 200 Ok\r\n", 0), 0u) << opened;
  EXPECT_NE(opened.find("Connection: keep-alive"), std::string::npos);
  EXPECT_NE(opened.find("<script type=\"text/javascript\">I(0,\"0.0.0.0\");</script>\n"),
            std::string::npos);

  std::string status = panel_test_body(get(path("/netstatus.html")));
  EXPECT_NE(status.find("<td>Listen</td>"), std::string::npos) << status;
  EXPECT_NE(status.find("<td>flow.html</td>"), std::string::npos) << status;
  EXPECT_NE(status.find("<td>netstatus.html</td>"), std::string::npos) << status;
  EXPECT_NE(status.find("3 of 2048 connections in use (0%)"), std::string::npos) << status;
  close(flow);
}

// After a reply the panel ends the connection unless the client asked to
// keep it; a kept connection serves the next request.
TEST_F(PanelHttp, ConnectionEndsAfterTheReplyUnlessKeptAlive) {
  int s = open_panel();
  send_all(s, "GET " + path("/script.js") + " HTTP/1.1\r\n" + host() + "\r\n\r\n");
  EXPECT_TRUE(complete(read_http_reply(s, 3000)));
  bool closed = false;
  EXPECT_EQ(read_to_close(s, 5000, &closed), "");
  EXPECT_TRUE(closed);
  close(s);

  s = open_panel();
  send_all(s, "GET " + path("/script.js") + " HTTP/1.1\r\n" + host() +
                  "\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_TRUE(complete(read_http_reply(s, 3000)));
  // The next two in one write: both are answered, then the connection ends.
  send_all(s, "GET " + path("/style.css") + " HTTP/1.1\r\n" + host() +
                  "\r\nConnection: Keep-Alive\r\n\r\nGET " + path("/script.js") + " HTTP/1.1\r\n" +
                  host() + "\r\n\r\n");
  closed = false;
  std::string both = read_to_close(s, 5000, &closed);
  EXPECT_TRUE(closed);
  size_t second = both.find("HTTP/1.0 200 Ok\r\n", 1);
  ASSERT_NE(second, std::string::npos) << both.substr(0, 300);
  EXPECT_TRUE(complete(both.substr(0, second)));
  EXPECT_TRUE(complete(both.substr(second)));
  close(s);
}

// A request under the panel's port that names nothing it serves gets a 404
// and the connection ends.
TEST_F(PanelHttp, WrongTargetsGetNotFoundAndClose) {
  for (const std::string& request :
       {"GET /" + root + "x/ HTTP/1.1\r\n" + host() + "\r\n\r\n",
        "GET https://localhost:" + std::to_string(program->port) + path("/") + " HTTP/1.1\r\n" +
            host() + "\r\n\r\n",
        "DELETE " + path("/") + " HTTP/1.1\r\n" + host() + "\r\n\r\n"}) {
    SCOPED_TRACE(request);
    int s = open_panel();
    send_all(s, request);
    bool closed = false;
    std::string reply = read_to_close(s, 5000, &closed);
    EXPECT_EQ(reply.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("File not found"), std::string::npos);
    EXPECT_TRUE(closed);
    close(s);
  }
}

// A POST whose head and body together pass 1 MiB, its last bytes late, is
// read to its end and answered; a declared body above 1 MiB is refused.
TEST_F(PanelHttp, BodyOfTheFullLimitIsReadToItsEnd) {
  std::string body = "type=nothing&pad=";
  body += std::string(PANEL_REQUEST_LIMIT - body.size(), 'x');
  int s = open_panel();
  send_all(s, "POST " + path("/ajax") + " HTTP/1.1\r\n" + host() + "\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, body.size() - 100));
  EXPECT_EQ(read_http_reply(s, 500), "");
  send_all(s, body.substr(body.size() - 100));
  std::string reply = read_http_reply(s, 5000);
  EXPECT_EQ(panel_test_body(reply), "ajax_callback(\"ping\",null);") << reply.substr(0, 200);
  close(s);

  s = open_panel();
  send_all(s, "POST " + path("/ajax") + " HTTP/1.1\r\n" + host() +
                  "\r\nContent-Length: " + std::to_string(PANEL_REQUEST_LIMIT + 1) + "\r\n\r\nx");
  // A body past the limit is told so before the connection closes.
  bool closed = false;
  const std::string refused = read_to_close(s, 5000, &closed);
  EXPECT_EQ(refused.rfind("HTTP/1.0 413 Content Too Large\r\n", 0), 0u) << refused;
  EXPECT_TRUE(closed);
  close(s);
}

// A long list is imported in batches with the engine serving others in
// between: a request sent after the upload is answered before it, and the
// upload's reply (on a kept connection) still carries the counts and is
// followed by the request sent right behind it.
TEST_F(PanelHttp, LongUploadLetsOtherRequestsThrough) {
  std::string list;
  for (int i = 0; i < 20000; ++i)  // loopback: the checker may try them
    list += "127.8." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) + ":8080%0A";
  const std::string body = "type=upload_proxy&list=" + list;
  int upload = open_panel();
  send_all(upload, "POST " + path("/ajax") + " HTTP/1.1\r\n" + host() +
                       "\r\nConnection: keep-alive\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n" + body + "GET " +
                       path("/style.css") + " HTTP/1.1\r\n" + host() + "\r\n\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the import under way
  const std::string other = get(path("/script.js"), 10000);
  EXPECT_TRUE(complete(other));
  // The upload has not answered yet: the other request went first.
  char probe = 0;
  EXPECT_LT(recv(upload, &probe, 1, MSG_PEEK | MSG_DONTWAIT), 0) << "the upload answered first";
  bool closed = false;
  const std::string replies = read_to_close(upload, 30000, &closed);
  close(upload);
  EXPECT_TRUE(closed);
  EXPECT_NE(replies.find("ajax_callback(\"upload_proxy\",{count:20000, added:20000});"),
            std::string::npos)
      << replies.substr(0, 400);
  const size_t second = replies.find("HTTP/1.0 200 Ok\r\n", 1);
  ASSERT_NE(second, std::string::npos) << "the request behind it got no reply";
  EXPECT_NE(replies.find(".netstatus", second), std::string::npos);
}

}  // namespace
