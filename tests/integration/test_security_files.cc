// What the running program leaves on disk and on the network for others
// on the machine: private registry, data folder and database files, and a
// listener on the loopback address unless the user chose otherwise.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "tests/support/startup_env.h"

namespace {

using namespace startup_test;

const std::string TOKEN = "7a1c9e3b5d2f40618b9cad0e1f2a3b4c";

// Local address (hex as in /proc/net/tcp, "" when none) of the socket
// listening on port.
std::string listener_address(int port) {
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(tcp, line)) {
    char local[64] = "", remote[64] = "", state[8] = "";
    unsigned slot = 0;
    if (std::sscanf(line.c_str(), " %u: %63s %63s %7s", &slot, local, remote, state) != 4) continue;
    std::string l = local;
    if (std::string(state) == "0A" && l.size() == 13 && l.substr(8) == wanted)
      return l.substr(0, 8);
  }
  return "";
}

class Files : public ::testing::Test {
 protected:
  temp_home home;
  mode_t saved_umask = 0;
  void SetUp() override {
    // The usual default: files readable by all unless made otherwise.
    saved_umask = umask(022);
  }
  void TearDown() override { umask(saved_umask); }

  std::unique_ptr<program_run> start(const char* mode, int port) {
    auto p = std::unique_ptr<program_run>(
        program_start({mode}, {"MEROVANE_HOME=" + home.dir, "NOTIFY_SOCKET="}, home.dir));
    EXPECT_TRUE(poll_until([&] { return can_connect("127.0.0.1", port); }, 10000)) << p->err();
    return p;
  }
  std::string db() const { return home.path("merovane/settings.db"); }
};

TEST_F(Files, FreshHomeGivesPrivateFilesAndALoopbackListener) {
  chmod(home.dir.c_str(), 0755);  // a home made by hand with the usual modes
  int port = free_port("127.0.0.1");
  write_file(home.path("registry"), "listen_port=dword:" + std::to_string(port) + "\n");
  chmod(home.path("registry").c_str(), 0644);
  {
    auto p = start("/run", port);
    EXPECT_EQ(listener_address(port), "0100007F");
    ASSERT_TRUE(poll_until([&] { return file_exists(db()); }, 5000));
    EXPECT_EQ(file_mode(home.path("registry")), 0600u);
    EXPECT_EQ(file_mode(home.dir), 0755u);  // the user's folder keeps its mode
    EXPECT_EQ(file_mode(home.path("merovane")), 0700u);
    EXPECT_EQ(file_mode(db()), 0600u);
    if (file_exists(db() + "-wal")) {
      EXPECT_EQ(file_mode(db() + "-wal"), 0600u);
    }
    if (file_exists(db() + "-shm")) {
      EXPECT_EQ(file_mode(db() + "-shm"), 0600u);
    }
    p->stop();
    EXPECT_EQ(p->status, 0) << p->err();
  }
  EXPECT_NE(read_file(home.path("registry")).find("listen_ip=sz:127.0.0.1\n"), std::string::npos);
}

TEST_F(Files, LooseModesMadeEarlierAreTightened) {
  int port = free_port("127.0.0.1");
  write_file(home.path("registry"), "root=sz:" + TOKEN + "\nlisten_port=dword:" +
                                        std::to_string(port) + "\nlisten_ip=sz:127.0.0.1\n");
  {
    auto p = start("/run", port);
    ASSERT_TRUE(poll_until([&] { return file_exists(db()); }, 5000));
    p->stop();
  }
  // Everything made readable for others, as an older copy or a careless
  // hand would leave it; a complete registry is read but not rewritten.
  std::string registry = read_file(home.path("registry"));
  for (const std::string& dir : {home.dir, home.path("merovane")}) chmod(dir.c_str(), 0755);
  for (const std::string& file : {home.path("registry"), db(), db() + "-wal", db() + "-shm"})
    if (file_exists(file)) chmod(file.c_str(), 0644);
  {
    auto p = start("/run", port);
    EXPECT_EQ(file_mode(home.path("registry")), 0600u);
    EXPECT_EQ(file_mode(home.dir), 0755u);  // chosen by the user: not ours to change
    EXPECT_EQ(file_mode(home.path("merovane")), 0700u);
    EXPECT_EQ(file_mode(db()), 0600u);
    for (const std::string& file : {db() + "-wal", db() + "-shm"})
      if (file_exists(file)) {
        EXPECT_EQ(file_mode(file), 0600u) << file;
      }
    p->stop();
    EXPECT_EQ(p->status, 0) << p->err();
  }
  EXPECT_EQ(read_file(home.path("registry")), registry);
}

// The service mode writes no defaults: a registry without "listen_ip"
// still keeps the proxy and its panel on the loopback address.
TEST_F(Files, ServiceWithoutAnAddressListensOnLoopback) {
  int port = free_port("127.0.0.1");
  write_file(home.path("registry"),
             "root=sz:" + TOKEN + "\nlisten_port=dword:" + std::to_string(port) + "\n");
  auto p = start("/srv", port);
  EXPECT_EQ(listener_address(port), "0100007F");
  p->stop();
  EXPECT_EQ(p->status, 0) << p->err();
}

}  // namespace
