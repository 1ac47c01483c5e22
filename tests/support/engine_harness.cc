#include "tests/support/engine_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "engine/loop.h"
#include "startup/server.h"

engine_harness::engine_harness() {
  server_attach_all();
  engine_init();
  port = engine_listen("127.0.0.1", 0);
}

engine_harness::~engine_harness() {
  engine_shutdown();
  server_attach_all();
}

bool engine_harness::run_until(const std::function<bool()>& pred, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    engine_cycle(5);
  }
  return true;
}

void engine_harness::run_for(int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) engine_cycle(5);
}

int connect_client(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

int listen_local(uint16_t* port_out) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 128) != 0) {
    close(fd);
    return -1;
  }
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port_out = ntohs(addr.sin_port);
  return fd;
}

bool write_all(int fd, const void* data, size_t n) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool read_exact(int fd, void* data, size_t n, int ms) {
  auto* p = static_cast<uint8_t*>(data);
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (n > 0) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    end - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) return false;
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, left) <= 0) return false;
    ssize_t r = recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

int slot_of_client(int client_fd) {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  getsockname(client_fd, reinterpret_cast<sockaddr*>(&local), &len);
  for (int i = SLOT_COUNT - 1; i > 0; --i) {
    if (conn_table[i].sock == -1) continue;
    sockaddr_in peer{};
    socklen_t plen = sizeof peer;
    if (getpeername(conn_table[i].sock, reinterpret_cast<sockaddr*>(&peer), &plen) == 0 &&
        peer.sin_port == local.sin_port)
      return i;
  }
  return -1;
}

long resident_kib() {
  FILE* f = fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, f) != nullptr)
    if (strncmp(line, "VmRSS:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
  fclose(f);
  return kib;
}

int occupied_slots() {
  int n = 0;
  for (const auto& slot : conn_table)
    if (slot.sock != -1) ++n;
  return n;
}
