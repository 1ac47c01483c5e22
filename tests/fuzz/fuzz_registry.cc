// Fuzzes the registry-file reader: the input becomes the file in a scratch
// home, then every value the program reads from it is read back, and now and
// then one value is rewritten (which must keep every other line readable).
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "util/registry.h"

namespace {

std::string registry_path;

void setup_home() {
  fuzz_forbid_sockets();
  registry_path = fuzz_scratch_home("registry") + "/registry";
}

void write_registry(const uint8_t* data, size_t size) {
  int fd = open(registry_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) abort();
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n <= 0) abort();
    data += n;
    size -= static_cast<size_t>(n);
  }
  close(fd);
}

void read_all_values() {
  static const char* const names[] = {"root", "listen_port", "listen_ip", "DB", "x"};
  for (const char* name : names) {
    uint8_t buf[64];
    uint32_t type = 99;
    size_t size = 0;
    for (size_t cap : {size_t{0}, size_t{1}, size_t{4}, size_t{41}, sizeof buf}) {
      size = 0;
      if (reg_get(name, &type, buf, cap, &size)) {
        if (size > cap) abort();
        if (type == REG_DWORD && size != 4) abort();
        if (type != REG_DWORD && (size == 0 || buf[size - 1] != 0)) abort();
      }
    }
  }
  uint32_t port = reg_listen_port();
  if (port == 0 || port > 65535) abort();
  char ip[48];
  reg_listen_ip(ip, sizeof ip);
  if (strnlen(ip, sizeof ip) >= sizeof ip) abort();
  reg_root_forget();
  const char* root = reg_root();
  if (strnlen(root, 40) >= 40) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (registry_path.empty()) setup_home();
  if (size == 0) return 0;
  uint8_t mode = data[0];
  write_registry(data + 1, size - 1);
  read_all_values();
  if ((mode & 7) == 7) {
    // A rewrite of one value keeps the others as they were.
    char before[48], after[48];
    reg_listen_ip(before, sizeof before);
    uint32_t port = 3128 + (mode >> 3);
    if (reg_set("listen_port", REG_DWORD, &port, sizeof port)) {
      if (reg_listen_port() != port) abort();
      reg_listen_ip(after, sizeof after);
      if (strcmp(before, after) != 0) abort();
    }
    read_all_values();
  }
  return 0;
}
