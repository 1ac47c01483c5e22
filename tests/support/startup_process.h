// Test helper of the startup area: runs the built program with its own
// environment, its output in files, and waits for it with bounded polls.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace startup_test {

struct program_run {
  pid_t pid = -1;
  int status = -1;  // exit code once ended, -1 while running or killed
  std::string out_path, err_path;
  std::string out() const;
  std::string err() const;
  // Polls until the process has ended, at most timeout_ms; true when ended.
  bool wait(int timeout_ms);
  void stop();  // SIGTERM, then waits up to 10 s (SIGKILL after that)
  ~program_run();
};

// Starts MEROVANE_BIN with args; env entries "NAME=value" are added to (or
// replace) the test's environment. Output goes to files in out_dir.
program_run* program_start(const std::vector<std::string>& args,
                           const std::vector<std::string>& env, const std::string& out_dir);

// Polls a condition every 20 ms for at most timeout_ms.
template <class F>
bool poll_until(F condition, int timeout_ms);

// A TCP port on ip that nothing listens on right now.
int free_port(const char* ip);
// True when a TCP connection to ip:port is accepted.
bool can_connect(const char* ip, int port);

template <class F>
bool poll_until(F condition, int timeout_ms) {
  for (int waited = 0; waited <= timeout_ms; waited += 20) {
    if (condition()) return true;
    usleep(20000);
  }
  return condition();
}

}  // namespace startup_test
