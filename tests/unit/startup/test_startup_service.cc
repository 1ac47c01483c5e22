// Service: the unit text, install and removal through a recording
// systemctl stand-in, the notifications, and the command-line switches.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "engine/slot.h"
#include "platform/notify.h"
#include "platform/stop.h"
#include "startup/runmodes.h"
#include "startup/service.h"
#include "tests/support/startup_env.h"

namespace {

using namespace startup_test;

TEST(ServiceUnit, SystemUnitText) {
  char text[4096];
  size_t n = service_unit_text(text, sizeof text, "/opt/merovane/bin/merovane", nullptr, true);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(std::string(text, n),
            "[Unit]\n"
            "Description=Merovane\n"
            "StartLimitIntervalSec=120\n"
            "StartLimitBurst=3\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=\"/opt/merovane/bin/merovane\" /srv\n"
            "Restart=on-failure\n"
            "RestartSec=60\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");
}

TEST(ServiceUnit, UserUnitCarriesHomeAndQuotesSpecialCharacters) {
  char text[4096];
  size_t n = service_unit_text(text, sizeof text, "/home/a b/100%/\"x\"$y", "/data/m", false);
  ASSERT_GT(n, 0u);
  std::string unit(text, n);
  EXPECT_NE(unit.find("Environment=\"MEROVANE_HOME=/data/m\"\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("ExecStart=\"/home/a b/100%%/\\\"x\\\"$$y\" /srv\n"), std::string::npos)
      << unit;
  EXPECT_NE(unit.find("WantedBy=default.target\n"), std::string::npos);
  EXPECT_EQ(service_unit_text(text, sizeof text, "relative/path", nullptr, true), 0u);
  EXPECT_EQ(service_unit_text(text, sizeof text, "/a\nExecStartPre=/bin/x", nullptr, true), 0u);
  EXPECT_EQ(service_unit_text(text, 64, "/a", nullptr, true), 0u);
}

TEST(ServiceUnit, UserUnitCarriesTheXdgHomesItWasInstalledWith) {
  char text[4096];
  size_t n = service_unit_text(text, sizeof text, "/usr/bin/merovane", nullptr, false,
                               "/home/u/conf dir", "/home/u/.local/share");
  ASSERT_GT(n, 0u);
  std::string unit(text, n);
  EXPECT_NE(unit.find("Environment=\"XDG_CONFIG_HOME=/home/u/conf dir\"\n"), std::string::npos)
      << unit;
  EXPECT_NE(unit.find("Environment=\"XDG_DATA_HOME=/home/u/.local/share\"\n"), std::string::npos)
      << unit;
  EXPECT_LT(unit.find("XDG_DATA_HOME"), unit.find("ExecStart="));
  // MEROVANE_HOME covers every path; a system unit uses fixed paths.
  n = service_unit_text(text, sizeof text, "/usr/bin/merovane", "/data/m", false, "/c", "/d");
  EXPECT_EQ(std::string(text, n).find("XDG_"), std::string::npos);
  n = service_unit_text(text, sizeof text, "/usr/bin/merovane", nullptr, true, "/c", "/d");
  EXPECT_EQ(std::string(text, n).find("XDG_"), std::string::npos);
}

class Service : public ::testing::Test {
 protected:
  temp_home home;
  std::string calls, status, units;
  void SetUp() override {
    calls = home.path("calls");
    status = home.path("status");
    units = home.path("units");
    write_recorder(home.path("systemctl"), calls, status);
    setenv("MEROVANE_SYSTEMCTL", home.path("systemctl").c_str(), 1);
    setenv("MEROVANE_UNIT_DIR", units.c_str(), 1);
    unsetenv("MEROVANE_HOME");
  }
  void TearDown() override {
    unsetenv("MEROVANE_SYSTEMCTL");
    unsetenv("MEROVANE_UNIT_DIR");
  }
  std::string user() const { return geteuid() == 0 ? "" : "--user "; }
};

TEST_F(Service, InstallWritesEnablesAndStarts) {
  int code = -1;
  EXPECT_EQ(service_install(&code, true), 0);
  EXPECT_EQ(code, SERVICE_OK);
  EXPECT_EQ(read_file(calls), user() + "daemon-reload\n" + user() + "enable merovane.service\n" +
                                  user() + "start merovane.service\n");
  std::string unit = read_file(units + "/merovane.service");
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(unit.find(" /srv\n"), std::string::npos);
  EXPECT_EQ(file_mode(units + "/merovane.service"), 0644u);
}

TEST_F(Service, ResultCodesOfInstall) {
  int code = 0;
  write_recorder(home.path("systemctl"), calls, status, "start");
  write_file(status, "3");
  EXPECT_EQ(service_install(&code, false), 3);
  EXPECT_EQ(code, SERVICE_START_FAILED);
  write_recorder(home.path("systemctl"), calls, status, "daemon-reload");
  EXPECT_EQ(service_install(&code, false), 3);
  EXPECT_EQ(code, SERVICE_NO_MANAGER);
  setenv("MEROVANE_SYSTEMCTL", home.path("no-such-systemctl").c_str(), 1);
  EXPECT_NE(service_install(&code, false), 0);
  EXPECT_EQ(code, SERVICE_NO_MANAGER);
  setenv("MEROVANE_UNIT_DIR", (home.path("status") + "/sub").c_str(), 1);  // under a file
  EXPECT_NE(service_install(&code, false), 0);
  EXPECT_EQ(code, SERVICE_NOT_CREATED);
}

TEST_F(Service, RemovalOfMissingStoppedAndFailingUnits) {
  int code = -1;
  EXPECT_EQ(service_remove(&code), 0);  // not installed
  EXPECT_EQ(code, SERVICE_OK);
  EXPECT_EQ(read_file(calls), "");
  ASSERT_EQ(service_install(&code, false), 0);
  write_file(calls, "");
  EXPECT_EQ(service_remove(&code), 0);
  EXPECT_EQ(code, SERVICE_OK);
  EXPECT_EQ(read_file(calls), user() + "stop merovane.service\n" + user() +
                                  "disable merovane.service\n" + user() + "daemon-reload\n");
  EXPECT_FALSE(file_exists(units + "/merovane.service"));
  // A unit the manager does not know (exit 5) still counts as removed.
  ASSERT_EQ(service_install(&code, false), 0);
  write_recorder(home.path("systemctl"), calls, status, "stop");
  write_file(status, "5");
  EXPECT_EQ(service_remove(&code), 0);
  EXPECT_EQ(code, SERVICE_OK);
  // Any other stop failure is reported, and the unit still goes.
  write_file(status, "");
  ASSERT_EQ(service_install(&code, false), 0);
  write_file(status, "1");
  EXPECT_EQ(service_remove(&code), 1);
  EXPECT_EQ(code, SERVICE_STOP_FAILED);
  EXPECT_FALSE(file_exists(units + "/merovane.service"));
}

TEST(ServiceNotify, ReadyAndStoppingReachTheNotifySocket) {
  temp_home home;
  std::string sock_path = home.path("notify");
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock_path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(notify_send("READY=1"));
  setenv("NOTIFY_SOCKET", sock_path.c_str(), 1);
  EXPECT_TRUE(notify_send("READY=1"));
  char buf[64] = {};
  EXPECT_EQ(recv(fd, buf, sizeof buf, 0), 7);
  EXPECT_STREQ(buf, "READY=1");
  stop_flag.store(0);
  service_control(4);  // interrogate: nothing changes, nothing reported
  EXPECT_EQ(stop_flag.load(), 0u);
  service_control(SERVICE_CONTROL_STOP);
  EXPECT_EQ(stop_flag.load(), 1u);
  EXPECT_EQ(service_state(), SERVICE_STOPPED);
  std::memset(buf, 0, sizeof buf);
  EXPECT_EQ(recv(fd, buf, sizeof buf, MSG_DONTWAIT), 10);
  EXPECT_STREQ(buf, "STOPPING=1");
  stop_flag.store(0);
  unsetenv("NOTIFY_SOCKET");
  close(fd);
}

TEST(ServiceNotify, AbstractSocketName) {
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  char name[64];
  int n = std::snprintf(name, sizeof name, "merovane-test-%d", getpid());
  std::memcpy(addr.sun_path + 1, name, static_cast<size_t>(n));
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n)),
            0);
  setenv("NOTIFY_SOCKET", (std::string("@") + name).c_str(), 1);
  EXPECT_TRUE(notify_send("STOPPING=1"));
  char buf[32] = {};
  EXPECT_EQ(recv(fd, buf, sizeof buf, MSG_DONTWAIT), 10);
  unsetenv("NOTIFY_SOCKET");
  close(fd);
}

TEST(CommandLine, SwitchesIgnoreCaseAndPositionAndUninstallWins) {
  EXPECT_EQ(mode_of(""), run_mode::launcher);
  EXPECT_EQ(mode_of(nullptr), run_mode::launcher);
  EXPECT_EQ(mode_of("/install"), run_mode::launcher);
  EXPECT_EQ(mode_of("x/RUNy"), run_mode::foreground);
  EXPECT_EQ(mode_of("/Srv"), run_mode::service);
  EXPECT_EQ(mode_of("/srv /run"), run_mode::foreground);
  EXPECT_EQ(mode_of("/run /srv /UNINSTALL"), run_mode::uninstall);
}

TEST(CommandLine, ProgramPathIsNoPartOfTheSwitches) {
  char line[64];
  char prog[] = "/opt/run/merovane";
  char a[] = "a", b[] = "/srv";
  char* argv[] = {prog, a, b, nullptr};
  ASSERT_TRUE(command_line_of(3, argv, line, sizeof line));
  EXPECT_STREQ(line, "a /srv");
  EXPECT_EQ(mode_of(line), run_mode::service);
  ASSERT_TRUE(command_line_of(1, argv, line, sizeof line));
  EXPECT_EQ(mode_of(line), run_mode::launcher);
  EXPECT_FALSE(command_line_of(3, argv, line, 4));
}

TEST(CommandLine, WordsSwitchesHomeCtlAndTheFirstUnknownArgument) {
  auto of = [](std::vector<std::string> args) {
    args.insert(args.begin(), "merovane");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    arguments parsed = arguments_of(static_cast<int>(args.size()), argv.data());
    // Pointers into args do not outlive this call: keep what they said.
    std::string home = parsed.home != nullptr ? parsed.home : "";
    std::string unknown = parsed.unknown != 0 ? args[static_cast<size_t>(parsed.unknown)] : "";
    return std::tuple(parsed.mode, parsed.ctl ? parsed.ctl_first : 0, home, unknown, parsed.info);
  };
  using std::get;
  EXPECT_EQ(get<0>(of({})), run_mode::launcher);
  EXPECT_EQ(get<0>(of({"run"})), run_mode::foreground);
  EXPECT_EQ(get<0>(of({"service"})), run_mode::service);
  EXPECT_EQ(get<0>(of({"install"})), run_mode::launcher);
  EXPECT_EQ(get<0>(of({"run", "uninstall"})), run_mode::uninstall);  // as with the switches
  EXPECT_EQ(get<0>(of({"x/RUNy"})), run_mode::foreground);
  EXPECT_EQ(get<3>(of({"x/RUNy"})), "");
  EXPECT_EQ(get<2>(of({"--home", "/srv/m", "run"})), "/srv/m");
  EXPECT_EQ(get<0>(of({"--home", "/srv/m", "run"})), run_mode::foreground);  // DIR is no switch
  EXPECT_EQ(get<2>(of({"--home=/h"})), "/h");
  EXPECT_EQ(get<3>(of({"--home"})), "--home");  // without its folder
  EXPECT_EQ(get<3>(of({"--port", "9090"})), "--port");
  EXPECT_EQ(get<3>(of({"RUN"})), "RUN");  // the words are exact
  EXPECT_EQ(get<3>(of({"run", "/x", "y"})), "/x");
  // After "ctl" the arguments are the command's own.
  auto ctl = of({"--home", "/h", "ctl", "set", "--bogus"});
  EXPECT_EQ(get<1>(ctl), 4);
  EXPECT_EQ(get<3>(ctl), "");
  EXPECT_EQ(get<4>(of({"run", "--help"})), info_request::help);
  EXPECT_EQ(get<4>(of({"--version"})), info_request::version);
}

TEST(CommandLine, HelpAndVersionAreRecognisedBeforeAnyMode) {
  char prog[] = "merovane", help[] = "--help", h[] = "-h", ver[] = "--version", run[] = "/run";
  char* with_help[] = {prog, run, help, nullptr};
  char* with_h[] = {prog, h, nullptr};
  char* with_version[] = {prog, ver, nullptr};
  char* plain[] = {prog, run, nullptr};
  EXPECT_EQ(info_of(3, with_help), info_request::help);
  EXPECT_EQ(info_of(2, with_h), info_request::help);
  EXPECT_EQ(info_of(2, with_version), info_request::version);
  EXPECT_EQ(info_of(2, plain), info_request::none);
}

}  // namespace
