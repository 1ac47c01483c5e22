#include "tests/support/maint_support.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

#include "engine/loop.h"
#include "engine/slot.h"
#include "maintenance/checker.h"
#include "maintenance/myip.h"
#include "maintenance/resolver.h"
#include "maintenance/scheduler.h"
#include "platform/clock.h"
#include "tests/support/engine_harness.h"

bool maint_drive(const std::function<bool()>& pred, uint32_t step_ms, int max_cycles, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (int i = 0; i < max_cycles; ++i) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    engine_cycle(2);
    if (clock_is_fake()) clock_advance(step_ms);
  }
  return pred();
}

bool maint_scripted_peer::start(const char* listen_ip, uint16_t listen_port,
                                std::function<void(int)> serve) {
  ip = listen_ip;
  handler = std::move(serve);
  listen_fd = listen_on(listen_ip, listen_port, &port, 64);
  if (listen_fd < 0) return false;
  stopping = false;
  acceptor = std::thread([this] {
    while (!stopping) {
      pollfd p{listen_fd, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++connections;
      handler(fd);
      close(fd);
    }
  });
  return true;
}

void maint_scripted_peer::stop() {
  stopping = true;
  if (acceptor.joinable()) acceptor.join();
  if (listen_fd >= 0) close(listen_fd);
  listen_fd = -1;
}

bool maint_push_channel::open(uint16_t engine_port) {
  fd = connect_local(engine_port);
  if (fd < 0) return false;
  auto find = [&] { return slot_of_client(fd); };
  if (!maint_drive([&] { return find() > 0; }, 0, 2000, 3000)) return false;
  conn_table[find()].kind = slot_kind::web_push;
  return true;
}

const std::string& maint_push_channel::poll() {
  for (;;) {
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) break;
    received.append(buf, static_cast<size_t>(n));
  }
  return received;
}

maint_push_channel::~maint_push_channel() {
  if (fd >= 0) close(fd);
}

bool maint_begin(db_temp& t, engine_harness*& h) {
  clock_fake_enable(1000000, static_cast<uint64_t>(time(nullptr)) * 1000u);
  if (!db_temp_open(t)) return false;
  h = new engine_harness();
  scheduler_reset();
  checker_reset();
  checker_location_reset();
  return true;
}

void maint_end(db_temp& t, engine_harness*& h) {
  resolver_stop();
  delete h;
  h = nullptr;
  checker_service_assume(checker_service::unknown);
  checker_location_reset();
  db_temp_close(t);
  clock_fake_disable();
}
