// Minimal entry point: "merovane /run" runs the server in the foreground
// until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "engine/loop.h"
#include "engine/slot.h"

namespace {
void on_stop_signal(int) { stop_flag.store(1); }
}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);
  bool run = false;
  for (int i = 1; i < argc; ++i)
    if (strcasecmp(argv[i], "/run") == 0) run = true;
  if (!run) {
    std::fprintf(stderr, "usage: merovane /run\n");
    return 1;
  }
  server_run();
  return 0;
}
