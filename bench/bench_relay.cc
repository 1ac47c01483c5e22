// Relay benchmark: the engine accepts clients and relays each one, through a
// linked outbound slot, to a fixed target on loopback. A load generator
// measures MB/s for 1 and 4 streams in each direction, and connections per
// second with p50/p99 latency; socat in the same role is measured in the
// same run. Everything stays on 127.0.0.1 and every loop is bounded.
//
//   bench_relay [seconds-per-figure]   (default 3)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/loop.h"
#include "engine/slot.h"
#include "platform/stop.h"
#include "tests/support/net.h"
#include "tests/support/program.h"

namespace {
using clock_type = std::chrono::steady_clock;

uint16_t target_port = 0;
std::atomic<bool> target_stop{false};

// The target: for each connection, the first byte says what to do:
// 'u' sink everything (upload), 'd' send forever (download), 'e' echo one
// small message and close (connection rate).
void target_serve(int listen_fd) {
  while (!target_stop) {
    pollfd pfd{listen_fd, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) continue;
    int fd = accept(listen_fd, nullptr, nullptr);
    if (fd < 0) continue;
    std::thread([fd] {
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      char mode = 0;
      if (recv(fd, &mode, 1, 0) != 1) {
        close(fd);
        return;
      }
      std::vector<char> buf(256 * 1024, 'x');
      if (mode == 'u') {
        while (recv(fd, buf.data(), buf.size(), 0) > 0) {
        }
      } else if (mode == 'd') {
        while (send(fd, buf.data(), buf.size(), MSG_NOSIGNAL) > 0) {
        }
      } else {
        char msg[64];
        ssize_t n = recv(fd, msg, sizeof msg, 0);
        if (n > 0) send(fd, msg, static_cast<size_t>(n), MSG_NOSIGNAL);
      }
      close(fd);
    }).detach();
  }
}

void on_client(int index, char letter) {
  if (letter != 'R' || conn_table[index].link_sock > 0) return;
  int out = slot_create_linked(index);
  if (out < 0) {
    slot_abort(index);
    return;
  }
  conn_table[out].kind = slot_kind::download;
  slot_connect(out, htonl(INADDR_LOOPBACK), target_port);
}
void on_outbound(int index, char letter) {
  if (letter == 'C') slot_relay(index);
}
void on_relay(int index, char) {
  slot_relay(index);
}

// MB/s through the proxy on `port` with `streams` parallel connections.
double throughput(uint16_t port, int streams, char mode, double seconds) {
  std::atomic<uint64_t> bytes{0};
  std::vector<std::thread> workers;
  auto end = clock_type::now() + std::chrono::duration<double>(seconds);
  auto start = clock_type::now();
  for (int s = 0; s < streams; ++s) {
    workers.emplace_back([&, mode] {
      int fd = connect_local(port);
      if (fd < 0) return;
      send(fd, &mode, 1, MSG_NOSIGNAL);
      std::vector<char> buf(256 * 1024, 'y');
      timeval tv{0, 200000};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
      while (clock_type::now() < end) {
        ssize_t n = mode == 'u' ? send(fd, buf.data(), buf.size(), MSG_NOSIGNAL)
                                : recv(fd, buf.data(), buf.size(), 0);
        if (n == 0) break;
        if (n > 0) bytes += static_cast<uint64_t>(n);
      }
      close(fd);
    });
  }
  for (auto& w : workers) w.join();
  double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
  return static_cast<double>(bytes.load()) / elapsed / 1e6;
}

struct rate_result {
  double per_second;
  double p50_ms, p99_ms;
};

// Sequential connect, one small exchange, close: connections per second.
rate_result connection_rate(uint16_t port, double seconds) {
  std::vector<double> lat;
  auto start = clock_type::now();
  auto end = start + std::chrono::duration<double>(seconds);
  while (clock_type::now() < end && lat.size() < 200000) {
    auto t0 = clock_type::now();
    int fd = connect_local(port);
    if (fd < 0) continue;
    send(fd, "e", 1, MSG_NOSIGNAL);
    send(fd, "ping", 4, MSG_NOSIGNAL);
    char buf[8];
    timeval tv{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    size_t got = 0;
    while (got < 4) {
      ssize_t n = recv(fd, buf + got, 4 - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    close(fd);
    if (got == 4)
      lat.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - t0).count());
  }
  double elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
  std::sort(lat.begin(), lat.end());
  rate_result r{static_cast<double>(lat.size()) / elapsed, 0, 0};
  if (!lat.empty()) {
    r.p50_ms = lat[lat.size() / 2];
    r.p99_ms = lat[std::min(lat.size() - 1, lat.size() * 99 / 100)];
  }
  return r;
}

struct figures {
  double up1, up4, down1, down4;
  rate_result rate;
};

figures measure(uint16_t port, double seconds) {
  figures f{};
  f.up1 = throughput(port, 1, 'u', seconds);
  f.up4 = throughput(port, 4, 'u', seconds);
  f.down1 = throughput(port, 1, 'd', seconds);
  f.down4 = throughput(port, 4, 'd', seconds);
  f.rate = connection_rate(port, seconds);
  return f;
}

void print_row(const char* name, const figures& f) {
  printf("| %-9s | %9.0f | %9.0f | %9.0f | %9.0f | %8.0f | %7.3f | %7.3f |\n", name, f.up1, f.up4,
         f.down1, f.down4, f.rate.per_second, f.rate.p50_ms, f.rate.p99_ms);
}
}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? atof(argv[1]) : 3.0;
  signal(SIGPIPE, SIG_IGN);
  int tfd = listen_on("127.0.0.1", 0, &target_port, 1024);
  std::thread target(target_serve, tfd);

  // The engine on its own thread.
  engine_init();
  uint16_t engine_port = engine_listen("127.0.0.1", 0);
  slot_attach(slot_kind::fresh, on_client);
  slot_attach(slot_kind::download, on_outbound);
  slot_attach(slot_kind::relay, on_relay);
  std::thread engine([] {
    while (stop_flag.load() == 0) engine_cycle(50);
  });

  figures direct = measure(target_port, seconds);
  figures ours = measure(engine_port, seconds);

  // socat in the same role.
  uint16_t socat_port = free_port();
  char listen_arg[64], connect_arg[64];
  snprintf(listen_arg, sizeof listen_arg,
           "TCP-LISTEN:%u,bind=127.0.0.1,fork,reuseaddr,backlog=1024", socat_port);
  snprintf(connect_arg, sizeof connect_arg, "TCP:127.0.0.1:%u,nodelay", target_port);
  pid_t socat = spawn_child({"socat", listen_arg, connect_arg}, "/dev/null");
  wait_listening("127.0.0.1", socat_port, 3000);
  figures peer = measure(socat_port, seconds);
  stop_child(socat, 5000);

  stop_flag.store(1);
  engine.join();
  engine_shutdown();
  target_stop = true;
  target.join();

  printf("Relay benchmark, %.1f s per figure, loopback\n\n", seconds);
  printf(
      "| path      | up 1 MB/s | up 4 MB/s | dn 1 MB/s | dn 4 MB/s | conn/s   | p50 ms  | p99 ms  "
      "|\n");
  printf(
      "|-----------|-----------|-----------|-----------|-----------|----------|---------|---------|"
      "\n");
  print_row("direct", direct);
  print_row("merovane", ours);
  print_row("socat", peer);
  return 0;
}
