// Test helpers of the startup area: a private MEROVANE_HOME, small files,
// and recording scripts that stand for systemctl and the browser opener.
#pragma once

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/net.h"
#include "tests/support/program.h"

namespace startup_test {

// A fresh temporary directory, removed with everything in it on destruction.
struct temp_home {
  std::string dir;
  temp_home();
  ~temp_home();
  std::string path(const std::string& name) const { return dir + "/" + name; }
};

void write_file(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);
unsigned file_mode(const std::string& path);  // permission bits, 0 when missing

// Writes an executable script that appends its arguments, one call a line,
// to log_path and exits with the status in status_path (0 when that file
// is missing or empty). "fail_on" makes only calls whose arguments contain
// that word exit with the status.
void write_recorder(const std::string& script, const std::string& log_path,
                    const std::string& status_path, const std::string& fail_on = "");

// Polls a condition every 20 ms for at most timeout_ms.
template <class F>
bool poll_until(F condition, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 20) {
    if (condition()) return true;
    usleep(20000);
  }
  return condition();
}

// The program in a private home with systemctl and the browser opener
// replaced by recorders: what it would have run is in `calls` and `opened`,
// the units it would have installed in `units`.
struct recorded_home {
  temp_home home;
  std::string calls, status, opened, units;
  std::vector<std::string> env;
  recorded_home();
  std::unique_ptr<program_run> start(const std::vector<std::string>& args) {
    return std::unique_ptr<program_run>(program_start(args, env, home.dir));
  }
};

}  // namespace startup_test
