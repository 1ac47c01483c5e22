// The program's run modes end to end: launcher, foreground, uninstall and
// the single-instance rules, with every file below a private MEROVANE_HOME
// and recording stand-ins for systemctl and the browser opener.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "db/db.h"
#include "platform/lockfile.h"
#include "tests/support/startup_env.h"

namespace {

using namespace startup_test;

const std::string TOKEN = "0f3c9a2b5d7e41a68c1b2d3e4f506172";

class Program : public ::testing::Test, public recorded_home {
 protected:
  std::unique_ptr<program_run> run(const std::vector<std::string>& args) {
    auto p = start(args);
    EXPECT_TRUE(p->wait(20000)) << "did not end";
    EXPECT_EQ(p->status, 0) << p->err();
    return p;
  }
  std::string registry() { return read_file(home.path("registry")); }
  // Registry for a foreground server on its own loopback address.
  int prepare_listener(const char* ip) {
    int port = free_port(ip);
    write_file(home.path("registry"), "root=sz:" + TOKEN + "\nlisten_port=dword:" +
                                          std::to_string(port) + "\nlisten_ip=sz:" + ip + "\n");
    return port;
  }
  std::string user() const { return geteuid() == 0 ? "" : "--user "; }
};

TEST_F(Program, HelpAndVersionChooseNoMode) {
  auto help = run({"--help"});
  EXPECT_NE(help->out().find("/uninstall"), std::string::npos);
  EXPECT_NE(help->out().find("/run"), std::string::npos);
  EXPECT_NE(help->out().find("/srv"), std::string::npos);
  EXPECT_NE(help->out().find("MEROVANE_HOME"), std::string::npos);
  EXPECT_NE(help->out().find(home.path("registry")), std::string::npos);
  auto h = run({"/uninstall", "-h"});
  EXPECT_EQ(h->out(), help->out());
  auto version = run({"--version"});
  unsigned major = 0, minor = 0, patch = 0;
  EXPECT_EQ(std::sscanf(version->out().c_str(), "merovane %u.%u.%u\n", &major, &minor, &patch), 3)
      << version->out();
  EXPECT_EQ(read_file(calls), "");
  EXPECT_FALSE(file_exists(home.path("registry")));
  EXPECT_FALSE(file_exists(home.path("merovane")));
}

TEST_F(Program, LauncherInstallsStartsAndOpensThePanel) {
  auto p = run({});
  std::string reg = registry();
  ASSERT_EQ(reg.find("root=sz:"), 0u) << reg;
  std::string root = reg.substr(8, reg.find('\n') - 8);
  ASSERT_EQ(root.size(), 32u) << reg;
  EXPECT_EQ(root.find_first_not_of("0123456789abcdef"), std::string::npos) << root;
  EXPECT_NE(reg.find("listen_port=dword:8080\n"), std::string::npos);
  EXPECT_NE(reg.find("listen_ip=sz:127.0.0.1\n"), std::string::npos);
  EXPECT_EQ(file_mode(home.path("registry")), 0600u);
  EXPECT_EQ(read_file(calls), user() + "daemon-reload\n" + user() + "enable merovane.service\n" +
                                  user() + "start merovane.service\n");
  std::string unit = read_file(units + "/merovane.service");
  EXPECT_NE(unit.find("ExecStart=\"" + std::string(std::getenv("MEROVANE_BIN")) + "\" /srv\n"),
            std::string::npos)
      << unit;
  EXPECT_NE(unit.find("Environment=\"MEROVANE_HOME=" + home.dir + "\"\n"), std::string::npos);
  std::string address = "http://localhost:8080/" + root + "/";
  EXPECT_EQ(p->out(), address + "\n");
  EXPECT_TRUE(poll_until([&] { return read_file(opened) == address + "\n"; }, 5000))
      << read_file(opened);
}

TEST_F(Program, LauncherKeepsRootAndRewritesATextPort) {
  write_file(home.path("registry"), "root=sz:" + TOKEN + "\nlisten_port=sz:9000\n");
  auto p = run({"/install"});
  EXPECT_EQ(registry(), "root=sz:" + TOKEN + "\nlisten_port=dword:8080\nlisten_ip=sz:127.0.0.1\n");
  EXPECT_EQ(p->out(), "http://localhost:8080/" + TOKEN + "/\n");
}

TEST_F(Program, FailingStartRemovesTheServiceAgain) {
  write_recorder(home.path("systemctl"), calls, status, "start");
  write_file(status, "1");
  auto p = run({});
  EXPECT_EQ(read_file(calls), user() + "daemon-reload\n" + user() + "enable merovane.service\n" +
                                  user() + "start merovane.service\n" + user() +
                                  "stop merovane.service\n" + user() +
                                  "disable merovane.service\n" + user() + "daemon-reload\n");
  EXPECT_FALSE(file_exists(units + "/merovane.service"));
  EXPECT_NE(p->err().find("102"), std::string::npos) << p->err();
}

TEST_F(Program, LauncherWithoutRootSaysServiceIsNotInstalled) {
  std::filesystem::create_directories(home.path("registry") + "/blocked");  // unwritable
  auto p = run({});
  EXPECT_NE(p->err().find("Service is not installed"), std::string::npos) << p->err();
  EXPECT_EQ(p->out(), "");
  usleep(300000);
  EXPECT_EQ(read_file(opened), "");
}

TEST_F(Program, RunAnywhereInAnyCaseServesUntilStopped) {
  const char* ip = "127.0.0.61";
  int port = prepare_listener(ip);
  auto p = start({"now/RUNplease"});
  // Standard error is a file here, as in a journal: the address without the token.
  std::string address = "http://" + std::string(ip) + ":" + std::to_string(port) + "/";
  ASSERT_TRUE(poll_until([&] { return can_connect(ip, port); }, 10000)) << p->err();
  EXPECT_NE(p->err().find("panel " + address + "<token>/ (\"merovane ctl url\" prints it)\n"),
            std::string::npos)
      << p->err();
  EXPECT_EQ(p->err().find(TOKEN), std::string::npos) << p->err();
  EXPECT_EQ(read_file(calls), "");  // the foreground mode leaves the service alone
  p->stop();
  EXPECT_EQ(p->status, 0);
  EXPECT_FALSE(can_connect(ip, port));
}

TEST_F(Program, UninstallWaitsForTheRunningInstanceThenRemovesEverything) {
  const char* ip = "127.0.0.62";
  int port = prepare_listener(ip);
  auto server = start({"/run"});
  ASSERT_TRUE(poll_until([&] { return can_connect(ip, port); }, 10000)) << server->err();
  std::filesystem::create_directories(units);
  write_file(units + "/merovane.service", "[Unit]\n");
  auto uninstall = start({"/uninstall"});
  EXPECT_FALSE(uninstall->wait(1500)) << "did not wait for the running instance";
  EXPECT_TRUE(file_exists(home.path("registry")));
  server->stop();
  ASSERT_TRUE(uninstall->wait(5000));
  EXPECT_EQ(uninstall->status, 0);
  EXPECT_NE(uninstall->err().find('\a'), std::string::npos);
  EXPECT_EQ(read_file(calls), user() + "stop merovane.service\n" + user() +
                                  "disable merovane.service\n" + user() + "daemon-reload\n");
  EXPECT_FALSE(file_exists(units + "/merovane.service"));
  EXPECT_FALSE(file_exists(home.path("registry")));
  EXPECT_FALSE(file_exists(home.path("merovane/settings.db")));
  EXPECT_FALSE(file_exists(home.path("merovane")));
}

TEST_F(Program, UninstallWithDatabaseElsewhereRemovesNoDirectory) {
  std::filesystem::create_directories(home.path("elsewhere"));
  std::filesystem::create_directories(home.path("merovane"));
  write_file(home.path("elsewhere/my.db"), "x");
  write_file(home.path("registry"),
             "root=sz:" + TOKEN + "\nDB=sz:" + home.path("elsewhere/my.db") + "\n");
  auto p = run({"/UNINSTALL", "/run"});
  EXPECT_FALSE(file_exists(home.path("elsewhere/my.db")));
  EXPECT_TRUE(file_exists(home.path("elsewhere")));
  EXPECT_TRUE(file_exists(home.path("merovane")));
  EXPECT_FALSE(file_exists(home.path("registry")));
  EXPECT_EQ(read_file(calls), "");  // no unit installed: nothing to stop
}

TEST_F(Program, SecondRunLeavesTheFirstServing) {
  const char* ip = "127.0.0.63";
  int port = prepare_listener(ip);
  auto first = start({"/run"});
  ASSERT_TRUE(poll_until([&] { return can_connect(ip, port); }, 10000)) << first->err();
  auto second = start({"/run"});
  // The second one cannot have the port (nor the database the first holds).
  ASSERT_TRUE(poll_until(
      [&] { return second->err().find("Merovane: cannot") != std::string::npos; }, 10000))
      << second->err();
  EXPECT_TRUE(can_connect(ip, port));
  second->stop();
  EXPECT_EQ(second->status, 0);
  EXPECT_TRUE(can_connect(ip, port));
  EXPECT_FALSE(first->wait(0));
  first->stop();
  EXPECT_EQ(first->status, 0);
}

// An instance that found another one running at its start (here the test
// holds the lock) cleans up at its database open but not at its exit.
TEST_F(Program, CleanupAtExitOnlyWhenNoOtherInstanceRan) {
  const char* ip = "127.0.0.64";
  int port = prepare_listener(ip);
  std::string logs = home.path("logs");
  std::filesystem::create_directories(logs);
  std::filesystem::create_directories(home.path("merovane"));
  std::string db = home.path("merovane/settings.db");
  write_file(home.path("registry"), registry() + "DB=sz:" + db + "\n");
  if (!db_open(db.c_str())) GTEST_SKIP() << "no database layer yet";
  db_init_schema();
  char dir[260];
  std::snprintf(dir, sizeof dir, "%s", logs.c_str());
  setting_str("log_dir", dir, sizeof dir, 1);
  db_close();

  int other = instance_lock_take(home.path("merovane.lock").c_str());
  ASSERT_GE(other, 0);
  write_file(logs + "/0000097.txt", "from an earlier run");
  auto second = start({"/run"});
  ASSERT_TRUE(poll_until([&] { return can_connect(ip, port); }, 10000)) << second->err();
  EXPECT_FALSE(file_exists(logs + "/0000097.txt")) << "cleanup at the database open";
  write_file(logs + "/0000099.txt", "left by a connection");
  write_file(logs + "/2024-05.txt", "traffic");
  second->stop();
  EXPECT_EQ(second->status, 0);
  EXPECT_TRUE(file_exists(logs + "/0000099.txt"));
  instance_lock_release(other);

  auto only = start({"/run"});
  ASSERT_TRUE(poll_until([&] { return can_connect(ip, port); }, 10000)) << only->err();
  write_file(logs + "/0000100.txt", "left by a connection");
  only->stop();
  EXPECT_EQ(only->status, 0);
  EXPECT_FALSE(file_exists(logs + "/0000100.txt"));
  EXPECT_TRUE(file_exists(logs + "/2024-05.txt"));
}

TEST_F(Program, ServiceModeReportsReadyAndStoppingAroundTheEngine) {
  const char* ip = "127.0.0.65";
  int port = prepare_listener(ip);
  std::string sock_path = home.path("notify");
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock_path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  env.back() = "NOTIFY_SOCKET=" + sock_path;
  auto service = start({"/srv"});
  char buf[64] = {};
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ASSERT_EQ(recv(fd, buf, sizeof buf - 1, 0), 7) << service->err();
  EXPECT_STREQ(buf, "READY=1");
  ASSERT_TRUE(poll_until([&] { return can_connect(ip, port); }, 10000)) << service->err();
  service->stop();
  EXPECT_EQ(service->status, 0) << service->err();
  std::memset(buf, 0, sizeof buf);
  ASSERT_EQ(recv(fd, buf, sizeof buf - 1, MSG_DONTWAIT), 10);
  EXPECT_STREQ(buf, "STOPPING=1");
  EXPECT_FALSE(can_connect(ip, port));
  EXPECT_EQ(read_file(calls), "");
  close(fd);
}

}  // namespace
