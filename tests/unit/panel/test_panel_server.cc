// The panel's request parsing and routing, on slots whose replies are read
// back from their output streams.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/loop.h"
#include "engine/slot.h"
#include "log/push.h"
#include "maintenance/import.h"
#include "maintenance/scheduler.h"
#include "panel/assets.h"
#include "panel/server.h"
#include "platform/clock.h"
#include "tests/support/panel_support.h"

namespace {

constexpr char ROOT[] = "0f3c9a2b5d7e41a68c1b2d3e4f506172";

class PanelServer : public ::testing::Test {
 protected:
  void SetUp() override {
    panel_test_home(ROOT);
    panel_test_clear_table();
  }
  void TearDown() override { panel_test_clear_table(); }

  // Serves one request on slot 1; returns what was sent.
  std::string serve(const std::string& request, int* result = nullptr) {
    panel_test_slot(1, request);
    int r = panel_request(1);
    if (result) *result = r;
    return panel_test_output(1);
  }
  std::string get(const std::string& target) {
    return serve("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
  }
  static std::string path(const std::string& rest) { return std::string("/") + ROOT + rest; }
  static std::string asset(const char* name) {
    const embedded_file* f = embedded_find(name);
    return f ? std::string(reinterpret_cast<const char*>(f->data), f->size) : "";
  }
};

TEST_F(PanelServer, IconAtTheSiteRootWithoutThePanelPath) {
  std::string reply = get("/favicon.ico");
  ASSERT_NE(reply.find("HTTP/1.0 200 Ok\r\n"), std::string::npos);
  EXPECT_NE(reply.find("Content-Type: image/x-icon\r\n"), std::string::npos);
  std::string icon = panel_test_body(reply);
  ASSERT_GE(icon.size(), 22u);
  const unsigned char* b = reinterpret_cast<const unsigned char*>(icon.data());
  EXPECT_EQ(b[2] | b[3] << 8, 1);  // an icon file
  EXPECT_EQ(b[4] | b[5] << 8, 1);  // of one image
  EXPECT_EQ(b[6], 32);
  EXPECT_EQ(b[7], 32);
  uint32_t bytes = b[14] | b[15] << 8 | b[16] << 16 | static_cast<uint32_t>(b[17]) << 24;
  uint32_t offset = b[18] | b[19] << 8 | b[20] << 16 | static_cast<uint32_t>(b[21]) << 24;
  EXPECT_EQ(offset, 22u);
  EXPECT_EQ(bytes + 22, icon.size());
  EXPECT_NE(reply.find("Content-Length: " + std::to_string(icon.size()) + "\r\n"),
            std::string::npos);

  size_t size = 0;
  uint8_t* small = panel_icon(16, 16, &size);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(small[6], 16);
  free(small);
  EXPECT_EQ(panel_icon(48, 17, &size), nullptr);
}

TEST_F(PanelServer, PanelPathWithoutSlashIsRedirected) {
  std::string reply = get(path(""));
  EXPECT_EQ(reply.rfind("HTTP/1.0 302 Found\r\n", 0), 0u);
  EXPECT_NE(reply.find(std::string("Location: /") + ROOT + "/\r\n"), std::string::npos);

  panel_test_slot(1, "GET " + path("") + " HTTP/1.1\r\n\r\n");
  listen_port = 8123;
  panel_request_from(1, "localhost");
  EXPECT_NE(
      panel_test_output(1).find(std::string("Location: http://localhost:8123/") + ROOT + "/\r\n"),
      std::string::npos);
  // A host that is not a plain name is left out of the address.
  panel_test_slot(1, "GET " + path("") + " HTTP/1.1\r\n\r\n");
  panel_request_from(1, "evil\r\nSet-Cookie: x");
  EXPECT_NE(panel_test_output(1).find(std::string("Location: /") + ROOT + "/\r\n"),
            std::string::npos);
}

TEST_F(PanelServer, FilesAndTheirTypes) {
  std::string index = get(path("/"));
  EXPECT_NE(index.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(panel_test_body(index), asset("index.html"));
  EXPECT_EQ(panel_test_body(get(path("/index.html?x=1"))), asset("index.html"));
  // The same panel through a proxy-style absolute target.
  EXPECT_EQ(panel_test_body(get("http://localhost:8080" + path("/"))), asset("index.html"));

  std::string css = get(path("/STYLE.CSS"));
  EXPECT_NE(css.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(panel_test_body(css), asset("style.css"));
  std::string js = get(path("/script.js"));
  EXPECT_NE(js.find("Content-Type: text/javascript; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(panel_test_body(js), asset("script.js"));
  EXPECT_NE(get(path("/yes.png")).find("Content-Type: image/png\r\n"), std::string::npos);

  EXPECT_STREQ(panel_content_type("x.json"), "text/javascript");
  EXPECT_STREQ(panel_content_type("a.gif"), "image/gif");
  EXPECT_STREQ(panel_content_type("a.js.png"), "image/png");
  EXPECT_EQ(panel_content_type("style.css"), nullptr);

  // The slot keeps what it served for the status page.
  const panel_slot_record& rec = *reinterpret_cast<const panel_slot_record*>(conn_table[1].route);
  EXPECT_STREQ(rec.method, "GET");
  EXPECT_STREQ(rec.file, "yes.png");
}

TEST_F(PanelServer, UnknownFileAndWrongRequests) {
  std::string missing = get(path("/nothing.html"));
  EXPECT_NE(missing.find("File not found"), std::string::npos);
  EXPECT_NE(get(path("/ajax")).find("File not found"), std::string::npos);  // GET of ajax

  // A request that names nothing served gets the same page.
  int result = 7;
  EXPECT_NE(serve("GET /0f3c9a2b5d7e41a68c1b2d3e4f506173/ HTTP/1.1\r\n\r\n", &result)
                .find("File not found"),
            std::string::npos);
  EXPECT_EQ(result, 0);
  for (const std::string& wrong : {
           std::string("GET /0f3c9a2b5d7e41a68c1b2d3e4f50617/ HTTP/1.1\r\n\r\n"),
           "GET " + std::string("/") + ROOT + "x/ HTTP/1.1\r\n\r\n",
           std::string("GET / HTTP/1.1\r\n\r\n"),
           std::string("GET /0F3C9A2B5D7E41A68C1B2D3E4F506172/ HTTP/1.1\r\n\r\n"),  // case
           "GET https://localhost:8080" + path("/") + " HTTP/1.1\r\n\r\n",
           "ABCDEFGHIJKLMNO " + path("/") + " HTTP/1.1\r\n\r\n",
           "GETGETGETGETGET " + path("/") + " HTTP/1.1\r\n\r\n",
           "PUT " + path("/") + " HTTP/1.1\r\n\r\n",
           "GET\t" + path("/") + " HTTP/1.1\r\n\r\n",
           "GET x" + path("/") + " HTTP/1.1\r\n\r\n",
       }) {
    SCOPED_TRACE(wrong);
    std::string reply = serve(wrong);
    EXPECT_EQ(reply.rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u);
    EXPECT_NE(reply.find("File not found"), std::string::npos);
  }
  EXPECT_EQ(serve("GET /"), "");                               // too short to decide
  EXPECT_EQ(serve("GET " + path("/") + " HTTP/1.1\r\n"), "");  // head not complete
}

TEST_F(PanelServer, WaitsForTheWholeHeadAndBody) {
  std::string body = "type=settings&" + std::string(86, 'x');
  ASSERT_EQ(body.size(), 100u);
  std::string head =
      "POST " + path("/ajax") + " HTTP/1.1\r\nHost: localhost\r\n" + "content-LENGTH:  100\r\n\r\n";
  int result = 7;
  EXPECT_EQ(serve(head.substr(0, 20), &result), "");
  panel_test_more(1, head.substr(20));
  panel_test_more(1, body.substr(0, 60));
  EXPECT_EQ(panel_request(1), 0);
  EXPECT_EQ(panel_test_output(1), "");
  EXPECT_EQ(conn_table[1].in.len, head.size() + 60);
  panel_test_more(1, body.substr(60));
  panel_request(1);
  std::string reply = panel_test_output(1);
  EXPECT_NE(reply.find("Content-Type: text/javascript; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(panel_test_body(reply).rfind("ajax_callback(\"settings\",{", 0), 0u);
  EXPECT_EQ(conn_table[1].in.len, 0u);
}

TEST_F(PanelServer, AjaxWithoutACommandGetsThePing) {
  std::string body = "x=1";
  std::string reply =
      serve("POST " + path("/ajax") + " HTTP/1.1\r\nContent-Length: 3\r\n\r\n" + body);
  EXPECT_EQ(panel_test_body(reply), "ajax_callback(\"ping\",null);");
  EXPECT_NE(reply.find("Content-Length: 27\r\n"), std::string::npos);
  reply = serve("POST " + path("/ajax?type=recheck_proxy&ip=1&port=2") + " HTTP/1.1\r\n\r\n");
  EXPECT_EQ(panel_test_body(reply), "ajax_callback(\"ping\",null);");
  reply = serve("POST " + path("/ajax?type=Settings") + " HTTP/1.1\r\n\r\n");
  EXPECT_EQ(panel_test_body(reply), "ajax_callback(\"ping\",null);");  // names are exact
  // Only "ajax" takes commands.
  reply = serve("POST " + path("/index.html") + " HTTP/1.1\r\n\r\n");
  EXPECT_NE(reply.find("File not found"), std::string::npos);
  reply = serve("POST " + path("/AJAX") + " HTTP/1.1\r\n\r\n");
  EXPECT_NE(reply.find("File not found"), std::string::npos);
}

TEST_F(PanelServer, SecondRequestInOneReadIsDropped) {
  std::string one = "GET " + path("/script.js") + " HTTP/1.1\r\n\r\n";
  std::string two = "GET " + path("/style.css") + " HTTP/1.1\r\n\r\n";
  std::string reply = serve(one + two);
  EXPECT_EQ(panel_test_body(reply), asset("script.js"));
  EXPECT_EQ(conn_table[1].in.len, 0u);
}

TEST_F(PanelServer, FlowChannelStaysOpenWithTheAddressLine) {
  clock_fake_enable(5000, 1'600'000'000'000ull);
  public_addr = 0x04030201;  // 1.2.3.4
  panel_push_time = 0;
  int result = 0;
  std::string reply = serve("GET " + path("/flow.html") + " HTTP/1.1\r\n\r\n", &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(panel_push_time, 5000u);
  EXPECT_EQ(reply.rfind("HTTP/1.1 200 Ok\r\n", 0), 0u);
  EXPECT_NE(reply.find("Connection: keep-alive\r\n"), std::string::npos);
  EXPECT_EQ(reply.find("Content-Length"), std::string::npos);
  std::string expected =
      asset("flow.html") + "<script type=\"text/javascript\">I(67305985,\"1.2.3.4\");</script>\n";
  EXPECT_EQ(panel_test_body(reply), expected);
  public_addr = 0;
  clock_fake_disable();
}

TEST_F(PanelServer, AboutAndStatusPages) {
  std::string about = panel_test_body(get(path("/about.html")));
  // The version of the build, the one --version prints.
  EXPECT_NE(about.find(std::string("<h2>Merovane ") + MEROVANE_VERSION + "</h2>"),
            std::string::npos)
      << about;

  panel_test_slot(0, "");
  conn_table[0].kind = slot_kind::listen;
  snprintf(reinterpret_cast<char*>(conn_table[0].route), ROUTE_SIZE, "Listening");
  std::string status = get(path("/netstatus.html") + "?t=1");
  EXPECT_NE(status.find("Listening"), std::string::npos);
  EXPECT_NE(status.find("2 of 2048"), std::string::npos);
  EXPECT_NE(status.find("netstatus.html"), std::string::npos);
}

TEST_F(PanelServer, OversizedRequestsAreRefused) {
  std::string head =
      "GET " + path("/") + " HTTP/1.1\r\nX: " + std::string(PANEL_REQUEST_LIMIT, 'a');
  EXPECT_EQ(serve(head), "");
  EXPECT_TRUE(conn_table[1].flags & SLOT_CLOSE_REQUESTED);

  std::string post = "POST " + path("/ajax") + " HTTP/1.1\r\nContent-Length: 2000000\r\n\r\nx";
  EXPECT_EQ(serve(post).rfind("HTTP/1.0 413 Content Too Large\r\n", 0), 0u);
  EXPECT_TRUE(conn_table[1].flags & SLOT_CLOSE_REQUESTED);
  post = "POST " + path("/ajax") + " HTTP/1.1\r\nContent-Length: -5\r\n\r\nx";
  EXPECT_EQ(serve(post), "");
  EXPECT_TRUE(conn_table[1].flags & SLOT_CLOSE_REQUESTED);

  // A head that is not complete yet, below the limit, is waited for.
  EXPECT_EQ(serve("GET " + path("/") + " HTTP/1.1\r\nHost: x\r\n"), "");
  EXPECT_FALSE(conn_table[1].flags & SLOT_CLOSE_REQUESTED);
}

// With eight imports waiting an upload is refused with a reason rather
// than queued without bound; the counts come once the queue moves.
TEST_F(PanelServer, UploadWithEightImportsWaitingIsRefused) {
  ASSERT_TRUE(panel_test_db());
  for (int i = 0; i < IMPORT_JOBS; ++i)
    ASSERT_TRUE(import_start("10.9.9.9:8080", 0, nullptr, 0, ""));
  const std::string body = "type=upload_proxy&list=10.9.9.10:8080";
  const std::string reply =
      serve("POST " + path("/ajax") + " HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_EQ(panel_test_body(reply),
            "ajax_callback(\"upload_proxy\",{error:\"the program is importing other lists; try "
            "again\"});\n");
  for (int cycle = 0; cycle < 20 && import_pending() > 0; ++cycle) engine_cycle(0);
  EXPECT_EQ(import_pending(), 0);
}

}  // namespace
