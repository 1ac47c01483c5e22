// The running program lets nobody into the panel without its token, and
// texts from clients reach its refusal pages only escaped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/panel_support.h"
#include "tests/support/program.h"

namespace {

class PanelGate : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    program = new program_instance;
    ASSERT_TRUE(program->make_home("127.0.0.1") && program->start({}, 5000));
    token = program->registry_text("root");
    ASSERT_EQ(token.size(), 32u);
    port = std::to_string(program->port);
  }
  static void TearDownTestSuite() {
    program->stop();
    delete program;
  }

  // Sends raw bytes on a new connection and collects what comes back
  // until the program closes or wait_ms pass.
  static std::string exchange(const std::string& bytes, int wait_ms = 600) {
    int s = connect_local(program->port, wait_ms);
    EXPECT_GE(s, 0);
    if (s < 0) return "";
    send_all(s, bytes);
    // A SOCKS reply may stand before the HTTP head.
    std::string reply = read_http_reply(s, wait_ms);
    close(s);
    return reply;
  }
  static std::string get(const std::string& target, const std::string& host_line) {
    return exchange("GET " + target + " HTTP/1.1\r\n" + host_line + "\r\n\r\n");
  }
  static std::string local_host() { return "Host: 127.0.0.1:" + port; }

  // Anything only the panel gives away: its pages, scripts, images, the
  // status table, the about page, the push channel or the token itself.
  static bool leaks(const std::string& reply) {
    static const char* const marks[] = {
        "top_menu",   "ajax_callback", "net_status", "About Merovane", "I(0,",
        "javascript", "image/gif",     "image/png",  "302 Found",      "connections in use",
        "function ",  "{chain:",       "Location:"};
    for (const char* m : marks)
      if (reply.find(m) != std::string::npos) return true;
    return reply.find(token) != std::string::npos;
  }
  static std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
  }
  static std::string percent(const std::string& s) {
    std::string out;
    char part[4];
    for (unsigned char c : s) {
      snprintf(part, sizeof part, "%%%02X", c);
      out += part;
    }
    return out;
  }

  static program_instance* program;
  static std::string token, port;
};

program_instance* PanelGate::program = nullptr;
std::string PanelGate::token, PanelGate::port;

TEST_F(PanelGate, TheTokenOpensThePanel) {
  // The control: with the token the same requests are served, so the
  // refusals below are not a panel that serves nobody.
  EXPECT_TRUE(leaks(get("/" + token + "/", local_host())));
  EXPECT_TRUE(leaks(get("/" + token + "/script.js", local_host())));
  EXPECT_TRUE(
      leaks(get("http://127.0.0.1:" + port + "/" + token + "/netstatus.html", local_host())));
}

// A page served under the token path hands the path to no other site.
TEST_F(PanelGate, PagesUnderTheTokenSendNoReferrer) {
  std::string page = get("/" + token + "/no-such-file.html", local_host());
  ASSERT_NE(page.find("File not found"), std::string::npos) << page;
  int links = 0;
  for (size_t at = page.find("<a "); at != std::string::npos; at = page.find("<a ", at + 1)) {
    std::string tag = page.substr(at, page.find('>', at) - at);
    EXPECT_NE(tag.find("rel=\"noreferrer"), std::string::npos) << tag;
    ++links;
  }
  EXPECT_GT(links, 0);
}

TEST_F(PanelGate, NoFileWithoutTheToken) {
  const char* const names[] = {"",
                               "index.html",
                               "flow.html",
                               "script.js",
                               "style.css",
                               "ajax",
                               "about.html",
                               "netstatus.html",
                               "loading.gif",
                               "no.png",
                               "refresh.png",
                               "yes.png",
                               "INDEX.HTML",
                               "favicon.ico/../index.html"};
  for (const char* name : names) {
    for (const std::string& target :
         {std::string("/") + name, std::string("/x/") + name, std::string("/merovane/") + name}) {
      std::string reply = get(target, local_host());
      EXPECT_FALSE(leaks(reply)) << target << "\n" << reply;
    }
  }
  std::string post = exchange("POST /ajax HTTP/1.1\r\n" + local_host() +
                              "\r\nContent-Length: 13\r\n\r\ntype=settings");
  EXPECT_FALSE(leaks(post)) << post;
}

TEST_F(PanelGate, NearMissesOfTheToken) {
  std::string t = token;
  std::string flipped = t;
  flipped[5] = static_cast<char>(toupper(static_cast<unsigned char>(flipped[5])) == flipped[5]
                                     ? tolower(static_cast<unsigned char>(flipped[5]))
                                     : toupper(static_cast<unsigned char>(flipped[5])));
// g++ 12 reports a false -Wrestrict inside `const char* + std::string&&`
// at -O2 and above (GCC bug 105329).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
  std::vector<std::string> targets = {
      "/" + upper(t) + "/",         // case variant of the whole path
      "/" + t.substr(0, 31) + "/",  // prefix
      "/" + t.substr(1) + "/",      // the token without its first byte
      "/" + t + "x/",               // suffix
      "/" + t + "%2F",              // encoded slash
      "/x" + t + "/",
      "/" + percent(t) + "/",  // %-encoded token
      "/" + percent(t.substr(0, 1)) + t.substr(1) + "/",
      "/./" + t + "/",  // traversal forms
      "//" + t + "/",
      "/x/../" + t + "/",
      "/favicon.ico/../" + t + "/script.js",
      "/" + t.substr(0, 16) + "/" + t.substr(16) + "/",
      "/?" + t + "/",
      "/#" + t + "/",
      "/index.html?root=" + t,
  };
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic pop
#endif
  if (flipped != t) targets.push_back("/" + flipped + "/");
  for (const std::string& target : targets) {
    std::string reply = get(target, local_host());
    EXPECT_FALSE(leaks(reply)) << target << "\n" << reply;
  }
}

TEST_F(PanelGate, HostHeaderAndAbsoluteForms) {
  const std::string p = port;
  std::vector<std::pair<std::string, std::string>> requests = {
      {"/", "Host: 127.0.0.1:" + p + "/" + token + "/"},
      {"/index.html", "Host: localhost:" + p + "\r\nHost: 127.0.0.1:" + p + "/" + token},
      {"/x", "X-Forwarded-Host: 127.0.0.1:" + p + "/" + token + "/"},
      {"/" + token, "Host: 127.0.0.1:" + p + "\r\nReferer: /" + token + "/"},  // no slash: redirect
      {"http://127.0.0.1:" + p + "/index.html", local_host()},
      {"http://127.0.0.1:" + p + "/x/" + token + "/", local_host()},
      {"http://127.0.0.1:" + p + "@127.0.0.1:" + p + "/" + token + "/", local_host()},
      {"https://127.0.0.1:" + p + "/" + token + "/", local_host()},
      {"ftp://127.0.0.1:" + p + "/" + token + "/", local_host()},
      {"http:/127.0.0.1:" + p + "script.js", local_host()},
      {"127.0.0.1:" + p + "/" + token + "/", local_host()},
      {"*", local_host()},
  };
  for (size_t i = 0; i < requests.size(); ++i) {
    std::string reply = get(requests[i].first, requests[i].second);
    if (i == 3) {
      // The token itself is in the path here: the redirect to the slash
      // form is the one answer, and it goes only to who named the token.
      EXPECT_NE(reply.find("302 Found"), std::string::npos) << reply;
      continue;
    }
    EXPECT_FALSE(leaks(reply)) << requests[i].first << "\n" << reply;
  }
}

TEST_F(PanelGate, MethodsAndHeadLinesOfOtherShapes) {
  const std::string t = token;
  std::vector<std::string> requests = {
      "GET /index.html\r\n\r\n",  // HTTP/0.9-like: no version, no Host
      "GET /\n\n",
      "GET /script.js\n\n",
      "GET\t/" + t + "/ HTTP/1.1\r\n" + local_host() + "\r\n\r\n",
      "HEAD /" + t + "/ HTTP/1.1\r\n" + local_host() + "\r\n\r\n",
      "OPTIONS /" + t + "/ajax HTTP/1.1\r\n" + local_host() + "\r\n\r\n",
      "PUT /" + t + "/ajax HTTP/1.1\r\n" + local_host() +
          "\r\nContent-Length: 13\r\n\r\ntype=settings",
      "CONNECT 127.0.0.1:" + port + " HTTP/1.1\r\n" + local_host() + "\r\n\r\nGET /" + t +
          "/ HTTP/1.1\r\n\r\n",
      "POST /x HTTP/1.1\r\n" + local_host() +
          "\r\nContent-Length: 24\r\n\r\ntype=settings&root=" + t.substr(0, 5),
  };
  for (const std::string& r : requests) {
    std::string reply = exchange(r);
    // A refusal page may echo the client's own head back; nothing else of
    // the panel may come with it.
    std::string cut = reply;
    size_t echo = cut.find("HTTP headers received");
    if (echo != std::string::npos) cut.erase(echo);
    EXPECT_FALSE(leaks(cut)) << r << "\n" << reply;
    EXPECT_EQ(reply.find("top_menu"), std::string::npos) << r;
  }
}

// A SOCKS client that names this program as its destination meets the same
// gate as a browser.
TEST_F(PanelGate, ThroughASocksHandshake) {
  const uint16_t p = program->port;
  std::string socks5 = std::string("\x05\x01\x00", 3) + std::string("\x05\x01\x00\x01", 4) +
                       std::string("\x7f\x00\x00\x01", 4) +
                       std::string(1, static_cast<char>(p >> 8)) +
                       std::string(1, static_cast<char>(p & 0xFF));
  std::string socks4a = std::string("\x04\x01", 2) + std::string(1, static_cast<char>(p >> 8)) +
                        std::string(1, static_cast<char>(p & 0xFF)) +
                        std::string("\x00\x00\x00\x01u\x00localhost\x00", 16);
  for (const std::string& greeting : {socks5, socks4a}) {
    for (const std::string& target :
         {std::string("/"), std::string("/index.html"), std::string("/") + upper(token) + "/",
          "/" + token + "x/script.js"}) {
      std::string reply =
          exchange(greeting + "GET " + target + " HTTP/1.1\r\n" + local_host() + "\r\n\r\n");
      EXPECT_FALSE(leaks(reply)) << target << "\n" << reply;
    }
    std::string served =
        exchange(greeting + "GET /" + token + "/ HTTP/1.1\r\n" + local_host() + "\r\n\r\n");
    EXPECT_NE(served.find("top_menu"), std::string::npos);
    // Not HTTP at all: the bytes never reach the panel.
    std::string raw = exchange(greeting + "\x16\x03\x01/" + token + "/ ", 400);
    EXPECT_FALSE(leaks(raw.substr(std::min<size_t>(raw.size(), 10)))) << raw;
  }
}

// Destination names and request heads from clients come back in refusal
// pages only as text, never as markup.
TEST_F(PanelGate, RefusalPagesEscapeClientText) {
  const std::string name = "<img src=x onerror=alert(1)>\"'@DUMP";
  std::string request = std::string("\x05\x01\x00", 3) + std::string("\x05\x01\x00\x03", 4) +
                        std::string(1, static_cast<char>(name.size())) + name +
                        std::string("\x00\x00", 2);  // port 0: refused
  std::string page = exchange(request);
  ASSERT_NE(page.find("Unsupported SOCK command"), std::string::npos) << page;
  EXPECT_EQ(page.find("<img"), std::string::npos) << page;
  EXPECT_NE(page.find("&lt;img src=x onerror=alert(1)&gt;&quot;&#39;&#64;DUMP"), std::string::npos)
      << page;

  std::string head = "GET http:</code><script>alert(1)</script> HTTP/1.1\r\nX: <b>&\r\n\r\n";
  page = exchange(head);
  ASSERT_NE(page.find("Wrong HTTP request"), std::string::npos) << page;
  EXPECT_EQ(page.find("<script>"), std::string::npos) << page;
  EXPECT_EQ(page.find("<b>"), std::string::npos) << page;
  EXPECT_NE(page.find("&lt;/code&gt;&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos)
      << page;
  EXPECT_NE(page.find("X: &lt;b&gt;&amp;"), std::string::npos) << page;
}

}  // namespace
