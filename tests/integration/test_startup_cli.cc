// The command line and the daemon's manners as a user meets them: the
// GNU-style words, refusal of unknown arguments, SIGHUP, the user's files,
// an interrupted uninstall, a failed install, the panel at any listen
// address and the listening line without the token.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "db/db.h"
#include "tests/support/startup_env.h"

namespace {

using namespace startup_test;

const std::string TOKEN = "0f3c9a2b5d7e41a68c1b2d3e4f506172";
const std::string OTHER_TOKEN = "a1b2c3d4e5f60718293a4b5c6d7e8f90";

class Cli : public ::testing::Test, public recorded_home {
 protected:
  std::unique_ptr<program_run> run(const std::vector<std::string>& args, int expected = 0) {
    auto p = start(args);
    EXPECT_TRUE(p->wait(20000)) << "did not end";
    EXPECT_EQ(p->status, expected) << p->err();
    return p;
  }
  int prepare_listener(const std::string& dir, const char* ip) {
    int port = free_port(ip);
    write_file(dir + "/registry", "root=sz:" + TOKEN + "\nlisten_port=dword:" +
                                      std::to_string(port) + "\nlisten_ip=sz:" + ip + "\n");
    return port;
  }
  std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

// The reply to a GET of path on ip:port.
std::string get_reply(const char* ip, int port, const std::string& path) {
  int fd = connect_to(ip, static_cast<uint16_t>(port), 3000);
  if (fd < 0) return "no connection";
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + ip + ":" + std::to_string(port) +
                        "\r\nConnection: close\r\n\r\n";
  send_all(fd, request);
  std::string reply = read_http_reply(fd, 5000);
  close(fd);
  return reply;
}

// True when the reply is the panel page itself.
bool is_panel_page(const std::string& reply) {
  return reply.find("200") != std::string::npos && reply.find("top_title") != std::string::npos;
}

TEST_F(Cli, UnknownArgumentsPrintUsageAndTouchNothing) {
  const std::vector<std::string> before = entries(home.dir);
  struct refused {
    std::vector<std::string> args;
    std::string unknown;
  };
  const refused cases[] = {{{"--port", "9090"}, "--port"},
                           {{"runn"}, "runn"},
                           {{"/foo"}, "/foo"},
                           {{"run", "--verbose"}, "--verbose"},
                           {{"install", "x"}, "x"}};
  for (const refused& c : cases) {
    auto p = run(c.args, 2);
    EXPECT_NE(p->err().find("unknown argument \"" + c.unknown + "\""), std::string::npos)
        << p->err();
    EXPECT_NE(p->err().find("Usage: merovane"), std::string::npos) << p->err();
    EXPECT_EQ(p->out(), "");
  }
  EXPECT_EQ(read_file(calls), "");
  EXPECT_EQ(read_file(opened), "");
  // Only the output files of the runs were added: no registry, lock, unit or data.
  for (const std::string& name : entries(home.dir)) {
    bool known = std::find(before.begin(), before.end(), name) != before.end();
    EXPECT_TRUE(known || name.find("out") != std::string::npos ||
                name.find("err") != std::string::npos)
        << name;
  }
  EXPECT_FALSE(file_exists(home.path("registry")));
  EXPECT_FALSE(file_exists(home.path("merovane.lock")));
  EXPECT_FALSE(file_exists(units));
}

TEST_F(Cli, WordsAndHomeOptionChooseTheModes) {
  temp_home other;
  const char* ip = "127.0.0.71";
  int port = prepare_listener(other.dir, ip);
  auto server = start({"--home", other.dir, "run"});
  ASSERT_TRUE(poll_until([&] { return can_connect(ip, port); }, 10000)) << server->err();
  EXPECT_TRUE(file_exists(other.path("merovane/settings.db")));
  EXPECT_FALSE(file_exists(home.path("registry")));  // MEROVANE_HOME lost to --home
  auto help = run({"--home=" + other.dir, "--help"});
  EXPECT_NE(help->out().find(other.path("registry")), std::string::npos) << help->out();
  EXPECT_NE(help->out().find("ctl chain"), std::string::npos);
  server->stop();
  EXPECT_EQ(server->status, 0);
  EXPECT_EQ(read_file(calls), "");

  auto uninstall = run({"uninstall", "--home", other.dir});
  EXPECT_FALSE(file_exists(other.path("registry")));
  EXPECT_FALSE(file_exists(other.path("merovane/settings.db")));
}

TEST_F(Cli, SighupReadsTheRegistryAgainAndKeepsRunning) {
  const char* ip = "127.0.0.72";
  int port = prepare_listener(home.dir, ip);
  auto server = start({"run"});
  ASSERT_TRUE(poll_until([&] { return can_connect(ip, port); }, 10000)) << server->err();
  EXPECT_TRUE(is_panel_page(get_reply(ip, port, "/" + TOKEN + "/")));
  // A new token written by hand is taken up on SIGHUP, without a restart.
  write_file(home.path("registry"), "root=sz:" + OTHER_TOKEN + "\nlisten_port=dword:" +
                                        std::to_string(port) + "\nlisten_ip=sz:" + ip + "\n");
  ASSERT_EQ(kill(server->pid, SIGHUP), 0);
  ASSERT_TRUE(poll_until(
      [&] {
        return server->err().find("SIGHUP: registry and settings read again; still running") !=
               std::string::npos;
      },
      5000))
      << server->err();
  EXPECT_FALSE(server->wait(300)) << "ended on SIGHUP";
  EXPECT_TRUE(can_connect(ip, port));
  EXPECT_TRUE(is_panel_page(get_reply(ip, port, "/" + OTHER_TOKEN + "/")));
  EXPECT_FALSE(is_panel_page(get_reply(ip, port, "/" + TOKEN + "/")));
  server->stop();
  EXPECT_EQ(server->status, 0);
}

// Under systemd (the service mode) the signal arrives at the main thread
// that waits for signals: it reloads there too, and the service goes on.
TEST_F(Cli, SighupInServiceModeKeepsTheServiceRunning) {
  const char* ip = "127.0.0.75";
  int port = prepare_listener(home.dir, ip);
  auto service = start({"service"});
  ASSERT_TRUE(poll_until([&] { return can_connect(ip, port); }, 10000)) << service->err();
  ASSERT_EQ(kill(service->pid, SIGHUP), 0);
  ASSERT_TRUE(poll_until(
      [&] {
        return service->err().find("SIGHUP: registry and settings read again") != std::string::npos;
      },
      5000))
      << service->err();
  EXPECT_TRUE(can_connect(ip, port));
  service->stop();
  EXPECT_EQ(service->status, 0);
}

TEST_F(Cli, PanelAtTheListenAddressAndTheLineWithoutToken) {
  const char* ip = "127.0.0.44";
  int port = prepare_listener(home.dir, ip);
  auto server = start({"run"});
  ASSERT_TRUE(poll_until([&] { return can_connect(ip, port); }, 10000)) << server->err();
  EXPECT_TRUE(is_panel_page(get_reply(ip, port, "/" + TOKEN + "/")));
  EXPECT_NE(get_reply(ip, port, "/" + TOKEN + "/script.js").find("text/javascript"),
            std::string::npos);
  std::string address = "http://127.0.0.44:" + std::to_string(port) + "/";
  auto url = run({"ctl", "url"});
  EXPECT_EQ(url->out(), address + TOKEN + "/\n");
  // Standard error is a file: the token stays out of the listening line.
  ASSERT_TRUE(poll_until([&] { return server->err().find("panel") != std::string::npos; }, 5000));
  EXPECT_NE(server->err().find("panel " + address + "<token>/"), std::string::npos)
      << server->err();
  EXPECT_EQ(server->err().find(TOKEN), std::string::npos) << server->err();
  server->stop();
}

TEST_F(Cli, InterruptedUninstallDeletesNothing) {
  const char* ip = "127.0.0.73";
  int port = prepare_listener(home.dir, ip);
  auto server = start({"run"});
  ASSERT_TRUE(poll_until([&] { return can_connect(ip, port); }, 10000)) << server->err();
  ASSERT_TRUE(poll_until([&] { return file_exists(home.path("merovane/settings.db")); }, 5000));
  auto uninstall = start({"uninstall"});
  EXPECT_FALSE(uninstall->wait(1000)) << "did not wait for the running instance";
  ASSERT_EQ(kill(uninstall->pid, SIGINT), 0);  // Ctrl+C
  ASSERT_TRUE(uninstall->wait(3000)) << "Ctrl+C did not end the wait";
  EXPECT_EQ(uninstall->status, 1);
  EXPECT_NE(uninstall->err().find("uninstall interrupted"), std::string::npos) << uninstall->err();
  EXPECT_EQ(read_file(home.path("registry")).find("root=sz:" + TOKEN), 0u);
  EXPECT_TRUE(file_exists(home.path("merovane/settings.db")));
  EXPECT_TRUE(can_connect(ip, port));
  server->stop();
  EXPECT_EQ(server->status, 0);
}

TEST_F(Cli, FailedInstallLeavesNoUnit) {
  // No service manager at all.
  env[1] = "MEROVANE_SYSTEMCTL=" + home.path("no-such-systemctl");
  auto missing = run({});
  EXPECT_NE(missing->err().find("installation failed"), std::string::npos) << missing->err();
  EXPECT_FALSE(file_exists(units + "/merovane.service"));
  // A manager that refuses to enable the unit.
  env[1] = "MEROVANE_SYSTEMCTL=" + home.path("systemctl");
  write_recorder(home.path("systemctl"), calls, status, "enable");
  write_file(status, "1");
  auto refused = run({"install"});
  EXPECT_FALSE(file_exists(units + "/merovane.service"));
}

TEST_F(Cli, LogCleanupKeepsTheUsersFilesAndFolderModes) {
  const char* ip = "127.0.0.74";
  int port = prepare_listener(home.dir, ip);
  chmod(home.dir.c_str(), 0755);
  std::string logs = home.path("logs");
  std::filesystem::create_directories(logs);
  chmod(logs.c_str(), 0755);
  std::filesystem::create_directories(home.path("merovane"));
  std::string db = home.path("merovane/settings.db");
  write_file(home.path("registry"), read_file(home.path("registry")) + "DB=sz:" + db + "\n");
  ASSERT_TRUE(db_open(db.c_str()));
  db_init_schema();
  char dir[260];
  std::snprintf(dir, sizeof dir, "%s", logs.c_str());
  setting_str("log_dir", dir, sizeof dir, 1);
  db_close();
  write_file(logs + "/2024.txt", "the user's notes");
  write_file(logs + "/123456.txt", "the user's too");
  write_file(logs + "/0000098.txt", "a connection's log");
  auto server = start({"run"});
  ASSERT_TRUE(poll_until([&] { return can_connect(ip, port); }, 10000)) << server->err();
  server->stop();
  EXPECT_EQ(server->status, 0);
  EXPECT_FALSE(file_exists(logs + "/0000098.txt"));
  EXPECT_TRUE(file_exists(logs + "/2024.txt"));
  EXPECT_TRUE(file_exists(logs + "/123456.txt"));
  // Folders the user chose keep their modes; the program's own is private.
  EXPECT_EQ(file_mode(home.dir), 0755u);
  EXPECT_EQ(file_mode(logs), 0755u);
  EXPECT_EQ(file_mode(home.path("merovane")), 0700u);
  EXPECT_EQ(file_mode(home.path("registry")), 0600u);
}

}  // namespace
