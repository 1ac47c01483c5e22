#include "tests/support/startup_env.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace startup_test {

temp_home::temp_home() {
  char tmpl[] = "/tmp/merovane-test-XXXXXX";
  char* made = mkdtemp(tmpl);
  dir = made != nullptr ? made : "/tmp";
}

temp_home::~temp_home() {
  std::error_code ec;
  if (dir.rfind("/tmp/merovane-test-", 0) == 0) std::filesystem::remove_all(dir, ec);
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

unsigned file_mode(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 07777;
}

void write_recorder(const std::string& script, const std::string& log_path,
                    const std::string& status_path, const std::string& fail_on) {
  std::string text = "#!/bin/sh\necho \"$*\" >> '" + log_path + "'\n";
  text += "status=$(cat '" + status_path + "' 2>/dev/null)\n";
  text += "[ -n \"$status\" ] || exit 0\n";
  if (!fail_on.empty())
    text += "case \"$*\" in *" + fail_on + "*) exit $status;; esac\nexit 0\n";
  else
    text += "exit $status\n";
  write_file(script, text);
  chmod(script.c_str(), 0755);
}

recorded_home::recorded_home() {
  calls = home.path("systemctl-calls");
  status = home.path("systemctl-status");
  opened = home.path("opened");
  units = home.path("units");
  write_recorder(home.path("systemctl"), calls, status);
  write_recorder(home.path("opener"), opened, home.path("opener-status"));
  env = {"MEROVANE_HOME=" + home.dir, "MEROVANE_SYSTEMCTL=" + home.path("systemctl"),
         "MEROVANE_OPEN=" + home.path("opener"), "MEROVANE_UNIT_DIR=" + units, "NOTIFY_SOCKET="};
}

}  // namespace startup_test
