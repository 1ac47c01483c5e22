// Runs the panel's end-to-end tests in headless Chromium (tests/browser,
// node + playwright-core) against the built program. Prepares a private
// MEROVANE_HOME: the registry file, and a database seeded with a few typed
// proxies (one whose host name carries markup) and with settings that keep
// every address the program might contact on this machine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "db/db.h"
#include "tests/support/net.h"

namespace {

std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && v[0] != 0 ? v : fallback;
}

uint32_t ip_number(unsigned a, unsigned b, unsigned c, unsigned d) {
  return a + (b << 8) + (c << 16) + (d << 24);
}

// Proxies at loopback addresses where nothing listens: a check of any of
// them fails at once and never leaves the machine.
void seed_database(const std::string& path) {
  ASSERT_TRUE(db_open(path.c_str()));
  db_init_schema();
  struct row {
    uint32_t ip;
    int port, type, rank, age_min, timeout;
    const char* host;
  };
  const row rows[] = {
      {ip_number(127, 0, 20, 1), 1080, 0x10 | 0x08, 30, 3, 420, "socks.example.test"},
      {ip_number(127, 0, 20, 2), 3128, 0x20 | 0x40 | 0x02, 10, 50, 870, "web-cache.example.test"},
      {ip_number(127, 0, 20, 3), 8080, 0x40 | 0x04, 20, 240, 1310,
       "<img src=x onerror=window.__xss=1>"},
      {ip_number(127, 0, 20, 4), 1081, 0x01, 0, 0, 0, ""},
      {ip_number(127, 0, 20, 5), 9050, 0x10, 50, 1, 230, "relay.example.test"},
  };
  const uint32_t now = minute_clock();
  for (const row& r : rows) {
    db_exec("INSERT INTO proxy(ip,port,type,rank,t_ok,timeout,host) VALUES(%u,%d,%d,%d,%u,%d,%Q)",
            r.ip, r.port, r.type, r.rank, r.age_min ? now - static_cast<uint32_t>(r.age_min) : 0u,
            r.timeout, r.host);
  }
  // Lists and the checker would be reached here: loopback addresses where
  // nothing listens.
  char urls[] = "http://127.0.0.1:9/proxies.txt";
  setting_str("download_urls", urls, sizeof urls, 1);
  char checker[] = "http://127.0.83.80/judge";
  setting_str("url_checker", checker, sizeof checker, 1);
  // Only the checks the test asks for run, against a page where nothing
  // listens either.
  char sites[] = "http://127.0.0.1:9/ none";
  setting_str("check_sites", sites, sizeof sites, 1);
  setting_int("check_parallel", 0, 1);
  db_close();
}

TEST(FrontendBrowser, PanelEndToEndInChromium) {
  const std::string source = env_or("MEROVANE_SOURCE", ".");
  const std::string bin = env_or("MEROVANE_BIN", "");
  ASSERT_FALSE(bin.empty()) << "MEROVANE_BIN is not set";
  const std::string tests = source + "/tests/browser";
  ASSERT_TRUE(std::filesystem::exists(tests + "/node_modules/playwright-core"))
      << "run `npm ci` in tests/browser (tools/setup.sh does)";

  char tmpl[] = "/tmp/merovane-frontend-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string home = tmpl;
  std::filesystem::create_directories(home + "/merovane");
  seed_database(home + "/merovane/settings.db");

  const int port = free_port();
  ASSERT_GT(port, 0);
  const std::string root = "5f0c1e2d3b4a69788796a5b4c3d2e1f0";
  FILE* reg = std::fopen((home + "/registry").c_str(), "w");
  ASSERT_NE(reg, nullptr);
  std::fprintf(reg, "listen_port=dword:%d\nlisten_ip=sz:127.0.0.1\nroot=sz:%s\n", port,
               root.c_str());
  std::fclose(reg);
  chmod((home + "/registry").c_str(), 0600);

  const std::string cmd =
      "cd '" + tests + "' && MEROVANE_BIN='" + bin + "' MEROVANE_HOME='" + home +
      "' MEROVANE_PORT=" + std::to_string(port) + " MEROVANE_ROOT=" + root + " SCREENSHOT_DIR='" +
      env_or("SCREENSHOT_DIR", (source + "/docs/screenshots").c_str()) +
      "' timeout -k 10 420 node --test --test-concurrency=1 reply.test.js panel.test.js 2>&1";
  int status = std::system(cmd.c_str());
  std::filesystem::remove_all(home);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the browser tests failed (their output is above)";
}

}  // namespace
