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

int occupied_slots() {
  int n = 0;
  for (const auto& slot : conn_table)
    if (slot.sock != -1) ++n;
  return n;
}
