#include "startup/ctl.h"

#include <cstdio>
#include <cstring>

#include "startup/runmodes.h"

namespace {
constexpr int CTL_DONE = 0;
constexpr int CTL_REFUSED = 1;

int ctl_url() {
  char address[256];
  panel_address(address, sizeof address);
  std::printf("%s\n", address);
  return CTL_DONE;
}
}  // namespace

int ctl_main(int argc, char** argv) {
  if (argc < 1 || argv[0] == nullptr) {
    std::fprintf(stderr, "merovane ctl: a command is needed (see merovane --help)\n");
    return CTL_REFUSED;
  }
  if (std::strcmp(argv[0], "url") == 0) return ctl_url();
  std::fprintf(stderr, "merovane ctl: unknown command \"%s\" (see merovane --help)\n", argv[0]);
  return CTL_REFUSED;
}
