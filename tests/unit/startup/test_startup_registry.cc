// Registry file: typed values, defaults, the root token, atomic rewrite.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "tests/support/startup_env.h"
#include "util/registry.h"

namespace {

using namespace startup_test;

class Registry : public ::testing::Test {
 protected:
  temp_home home;
  std::string file;
  void SetUp() override {
    setenv("MEROVANE_HOME", home.dir.c_str(), 1);
    file = home.path("registry");
    reg_root_forget();
  }
  void TearDown() override {
    unsetenv("MEROVANE_HOME");
    reg_root_forget();
  }
  std::string text(const char* name) {
    char buf[600];
    uint32_t type = 0;
    size_t size = 0;
    if (!reg_get(name, &type, buf, sizeof buf, &size) || type != REG_SZ) return "<none>";
    return buf;
  }
};

bool is_token(const std::string& s) {
  if (s.size() != 32) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

TEST_F(Registry, FreshDefaultsWriteTokenPortAndAddressIntoPrivateFile) {
  EXPECT_FALSE(file_exists(file));
  reg_defaults();
  EXPECT_EQ(file_mode(file), 0600u);
  EXPECT_TRUE(is_token(text("root"))) << text("root");
  EXPECT_EQ(text("listen_ip"), "127.0.0.1");
  uint32_t port = 0, type = 0;
  size_t size = 0;
  ASSERT_TRUE(reg_get("listen_port", &type, &port, sizeof port, &size));
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(port, 8080u);
  std::string content = read_file(file);
  EXPECT_EQ(content.find("root=sz:"), 0u) << "root is written first:\n" << content;
  EXPECT_NE(content.find("\nlisten_port=dword:8080\n"), std::string::npos) << content;
  EXPECT_NE(content.find("\nlisten_ip=sz:127.0.0.1\n"), std::string::npos) << content;
  EXPECT_EQ(reg_root(), text("root"));
}

TEST_F(Registry, PortStoredAsTextCountsAsAbsentAndIsRewrittenAsNumber) {
  write_file(file, "listen_port=sz:9000\n");
  EXPECT_EQ(reg_listen_port(), 8080u);
  reg_defaults();
  EXPECT_EQ(reg_listen_port(), 8080u);
  EXPECT_NE(read_file(file).find("listen_port=dword:8080\n"), std::string::npos);
  EXPECT_EQ(read_file(file).find("sz:9000"), std::string::npos);
}

TEST_F(Registry, ExistingRootIsKeptAndPortsOutsideTheRangeFallBack) {
  const std::string token = "0f3c9a2b5d7e41a68c1b2d3e4f506172";
  write_file(file, "root=sz:" + token + "\nlisten_port=dword:70000\n");
  reg_defaults();
  reg_defaults();
  EXPECT_EQ(text("root"), token);
  EXPECT_STREQ(reg_root(), token.c_str());
  EXPECT_EQ(reg_listen_port(), 8080u);  // 70000 is no port
  write_file(file, "listen_port=dword:8123\n");
  EXPECT_EQ(reg_listen_port(), 8123u);
}

TEST_F(Registry, TokensDifferBetweenRunsAndEmptyTokenIsReplaced) {
  reg_defaults();
  std::string first = text("root");
  write_file(file, "root=sz:\n");
  reg_defaults();
  std::string second = text("root");
  EXPECT_TRUE(is_token(second));
  EXPECT_NE(first, second);
}

TEST_F(Registry, SetGetDeleteAndForeignLinesSurviveRewrites) {
  write_file(file, "# kept comment\nweird line without equals\nold=hex:00ff\n");
  const char value[] = "/srv/data/settings.db";
  EXPECT_TRUE(reg_set("DB", REG_SZ, value, sizeof value));
  EXPECT_EQ(text("DB"), value);
  EXPECT_EQ(text("db"), value);  // names ignore case
  // The value of another type is reported as such, not as text or number.
  char buf[32];
  uint32_t type = 99;
  size_t size = 0;
  ASSERT_TRUE(reg_get("old", &type, buf, sizeof buf, &size));
  EXPECT_EQ(type, REG_OTHER);
  // Too small a buffer: not read, and the buffer is zero-filled.
  char small[4] = {'x', 'x', 'x', 'x'};
  EXPECT_FALSE(reg_get("DB", &type, small, sizeof small, &size));
  EXPECT_EQ(std::memcmp(small, "\0\0\0\0", 4), 0);
  EXPECT_TRUE(reg_set("DB", REG_SZ, "x", 0));  // size 0 removes
  EXPECT_EQ(text("DB"), "<none>");
  std::string content = read_file(file);
  EXPECT_NE(content.find("# kept comment\n"), std::string::npos);
  EXPECT_NE(content.find("weird line without equals\n"), std::string::npos);
  EXPECT_NE(content.find("old=hex:00ff\n"), std::string::npos);
  EXPECT_EQ(file_mode(file), 0600u);
}

TEST_F(Registry, ValuesThatWouldBreakTheFileAreRefused) {
  const char injected[] = "127.0.0.1\nroot=sz:00000000000000000000000000000000";
  EXPECT_FALSE(reg_set("listen_ip", REG_SZ, injected, sizeof injected));
  EXPECT_FALSE(reg_set("a=b", REG_SZ, "x", 2));
  uint16_t short_number = 5;
  EXPECT_FALSE(reg_set("listen_port", REG_DWORD, &short_number, sizeof short_number));
  EXPECT_EQ(read_file(file), "");
}

TEST_F(Registry, OversizedFileIsNeitherReadNorTruncated) {
  std::string big = "root=sz:0f3c9a2b5d7e41a68c1b2d3e4f506172\n" + std::string(70000, '#') + "\n";
  write_file(file, big);
  EXPECT_EQ(text("root"), "<none>");
  EXPECT_FALSE(reg_set("DB", REG_SZ, "x", 2));
  EXPECT_EQ(read_file(file), big);
}

TEST_F(Registry, DeleteAllRemovesTheFileAndReadsFallBack) {
  reg_defaults();
  EXPECT_TRUE(reg_delete_all());
  EXPECT_FALSE(file_exists(file));
  EXPECT_TRUE(file_exists(home.dir));  // the directory stays
  EXPECT_EQ(reg_listen_port(), 8080u);
  char ip[41] = "x";
  reg_listen_ip(ip, sizeof ip);
  EXPECT_STREQ(ip, "127.0.0.1");  // a missing value never opens every interface
  EXPECT_TRUE(reg_delete_all());  // nothing left to delete is fine
}

TEST_F(Registry, UnwritableRegistryLeavesAnEmptyRoot) {
  // A directory in the file's place makes every write fail.
  std::filesystem::create_directories(file + "/x");
  reg_defaults();
  EXPECT_STREQ(reg_root(), "");
  EXPECT_EQ(reg_listen_port(), 8080u);
}

}  // namespace
