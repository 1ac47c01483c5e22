// Relay benchmark: the engine accepts clients and relays each one, through a
// linked outbound slot, to a fixed target on loopback, once on the copy
// path and once through pipes (splice); socat in the same role is measured
// in the same run. A load generator measures MB/s for 1 and 4 streams in
// each direction, the relay's CPU seconds per GB moved (the engine thread;
// socat's processes), and connections per second at concurrency 1 and 32
// with p50/p99 latency. Then the real program's resident memory idle and
// with 500 open idle tunnels (a one-proxy chain through microsocks to a
// local origin that holds them), read 2 s after the last one opened; with
// $MEROVANE_BIN_BEFORE set to an earlier build, that build beside it.
// Everything stays on loopback and every loop is bounded.
//
//   bench_relay [seconds-per-figure]   (default 3)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db/db.h"
#include "engine/loop.h"
#include "engine/slot.h"
#include "platform/stop.h"
#include "tests/support/chain_db.h"
#include "tests/support/net.h"
#include "tests/support/peers.h"
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

// CPU seconds the relay has used so far: the engine thread, or socat's
// processes (the children it has reaped included).
clockid_t engine_cpu_clock;
pid_t socat_pid = -1;

double cpu_seconds(bool socat) {
  if (!socat) {
    timespec ts{};
    clock_gettime(engine_cpu_clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  }
  std::ifstream stat("/proc/" + std::to_string(socat_pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos) return 0;
  // Fields after the name: state is field 3; utime..cstime are 14..17.
  std::vector<long long> fields;
  const char* p = text.c_str() + close_paren + 2;
  while (*p != 0 && fields.size() < 16) {
    fields.push_back(std::atoll(p));
    while (*p != 0 && *p != ' ') ++p;
    while (*p == ' ') ++p;
  }
  if (fields.size() < 16) return 0;
  const long long ticks = fields[11] + fields[12] + fields[13] + fields[14];
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct flow_figure {
  double mb_per_s;
  double bytes;
};

// MB/s through the proxy on `port` with `streams` parallel connections.
flow_figure throughput(uint16_t port, int streams, char mode, double seconds) {
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
  return flow_figure{static_cast<double>(bytes.load()) / elapsed / 1e6,
                     static_cast<double>(bytes.load())};
}

struct rate_result {
  double per_second;
  double p50_ms, p99_ms;
};

// Connect, one small exchange, close, by `concurrency` clients at once:
// connections per second and the latency of each.
rate_result connection_rate(uint16_t port, int concurrency, double seconds) {
  std::vector<double> lat;
  std::mutex lat_lock;
  auto start = clock_type::now();
  auto end = start + std::chrono::duration<double>(seconds);
  std::vector<std::thread> clients;
  for (int c = 0; c < concurrency; ++c)
    clients.emplace_back([&] {
      std::vector<double> mine;
      while (clock_type::now() < end && mine.size() < 200000) {
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
          mine.push_back(std::chrono::duration<double, std::milli>(clock_type::now() - t0).count());
      }
      std::lock_guard<std::mutex> hold(lat_lock);
      lat.insert(lat.end(), mine.begin(), mine.end());
    });
  for (auto& t : clients) t.join();
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
  double cpu_per_gb;  // -1: not measured
  rate_result c1, c32;
};

// cpu: whose CPU time counts (0 none, 1 the engine thread, 2 socat).
figures measure(uint16_t port, double seconds, int cpu) {
  figures f{};
  double bytes = 0;
  const double cpu_start = cpu != 0 ? cpu_seconds(cpu == 2) : 0;
  auto add = [&](const flow_figure& ff) {
    bytes += ff.bytes;
    return ff.mb_per_s;
  };
  f.up1 = add(throughput(port, 1, 'u', seconds));
  f.up4 = add(throughput(port, 4, 'u', seconds));
  f.down1 = add(throughput(port, 1, 'd', seconds));
  f.down4 = add(throughput(port, 4, 'd', seconds));
  if (cpu == 2) usleep(300000);  // socat's children are reaped
  f.cpu_per_gb = cpu != 0 && bytes > 0 ? (cpu_seconds(cpu == 2) - cpu_start) / (bytes / 1e9) : -1;
  f.c1 = connection_rate(port, 1, seconds);
  f.c32 = connection_rate(port, 32, seconds);
  return f;
}

void print_row(const char* name, const figures& f) {
  printf(
      "| %-9s | %9.0f | %9.0f | %9.0f | %9.0f | %8.3f | %8.0f | %6.2f | %6.2f | %8.0f | %6.2f | "
      "%6.2f |\n",
      name, f.up1, f.up4, f.down1, f.down4, f.cpu_per_gb, f.c1.per_second, f.c1.p50_ms, f.c1.p99_ms,
      f.c32.per_second, f.c32.p50_ms, f.c32.p99_ms);
}

// ---- resident memory of the real program with idle tunnels ---------------

constexpr const char* kOrigin = "127.0.64.9";
constexpr const char* kSocks = "127.0.64.5";
constexpr int kTunnels = 500;

// A SOCKS5 tunnel through the program to the origin, holding: the fd or -1.
int open_tunnel(const program_instance& p, uint16_t origin_port) {
  const int fd = connect_to(p.ip, p.port, 20000);
  if (fd < 0) return -1;
  uint8_t req[13] = {5, 1, 0, 5, 1, 0, 1, 127, 0, 64, 9, 0, 0};
  req[11] = static_cast<uint8_t>(origin_port >> 8);
  req[12] = static_cast<uint8_t>(origin_port & 0xFF);
  uint8_t reply[12];
  const std::string hold = "GET /hold HTTP/1.1\r\nHost: " + std::string(kOrigin) + "\r\n\r\n";
  if (!send_all(fd, req, 3) || !read_exact(fd, reply, 2, 20000) || !send_all(fd, req + 3, 10) ||
      !read_exact(fd, reply + 2, 10, 20000) || reply[3] != 0 || !send_all(fd, hold)) {
    close(fd);
    return -1;
  }
  return fd;
}

// Resident memory idle and with the tunnels open, of the build in `bin`.
void tunnel_memory(const char* name, const std::string& bin, const std::string& ip,
                   uint16_t socks_port, origin_server& origin) {
  const char* saved_env = getenv("MEROVANE_BIN");
  const std::string saved = saved_env != nullptr ? saved_env : "";
  if (!bin.empty()) setenv("MEROVANE_BIN", bin.c_str(), 1);
  program_instance p;
  const bool ok = p.prepare(ip.c_str(), [&] {
    chain_db_add_link(1, 5, PT_SOCKS5, ip_number(kSocks), socks_port);
  }) && p.start();
  if (saved.empty())
    unsetenv("MEROVANE_BIN");
  else
    setenv("MEROVANE_BIN", saved.c_str(), 1);
  if (!ok) {
    printf("| %-9s | the program did not start |\n", name);
    return;
  }
  const int held_before = origin.held();
  usleep(2000000);
  const long idle = process_rss_kib(p.pid);
  std::vector<int> fds;
  for (int i = 0; i < kTunnels; ++i) {
    const int fd = open_tunnel(p, origin.port);
    if (fd < 0) break;
    fds.push_back(fd);
  }
  const int wanted = held_before + static_cast<int>(fds.size());
  for (int i = 0; i < 250 && origin.held() < wanted; ++i) usleep(20000);
  usleep(2000000);
  const long busy = process_rss_kib(p.pid);
  printf("| %-9s | %8ld | %8ld | %7d | %+9ld | %8.2f |\n", name, idle, busy,
         static_cast<int>(fds.size()), busy - idle,
         fds.empty() ? 0.0 : static_cast<double>(busy - idle) / static_cast<double>(fds.size()));
  fflush(stdout);
  for (int fd : fds) close(fd);
  p.stop();
}

void memory_table() {
  origin_server origin;
  std::unique_ptr<peer_process> socks(start_microsocks(kSocks, free_port(kSocks)));
  if (!origin.start(kOrigin) || !socks) {
    printf("\n(memory: the origin or microsocks did not start)\n");
    return;
  }
  printf(
      "\nResident memory of the program (KiB), idle and with %d open idle tunnels, 2 s after "
      "the last one opened\n\n",
      kTunnels);
  printf("| build     | idle KiB | busy KiB | tunnels | above idle | KiB each |\n");
  printf("|-----------|----------|----------|---------|------------|----------|\n");
  const char* earlier = getenv("MEROVANE_BIN_BEFORE");
  if (earlier != nullptr && earlier[0] != 0)
    tunnel_memory("before", earlier, "127.0.64.20", socks->port, origin);
  tunnel_memory("now", "", "127.0.64.21", socks->port, origin);
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
    while (stop_flag.load() == 0) engine_cycle(-1);
  });
  pthread_getcpuclockid(engine.native_handle(), &engine_cpu_clock);

  figures direct = measure(target_port, seconds, 0);
  engine_set_splice(false);
  figures copying = measure(engine_port, seconds, 1);
  engine_set_splice(true);
  figures splicing = measure(engine_port, seconds, 1);

  // socat in the same role.
  uint16_t socat_port = free_port();
  char listen_arg[64], connect_arg[64];
  snprintf(listen_arg, sizeof listen_arg,
           "TCP-LISTEN:%u,bind=127.0.0.1,fork,reuseaddr,backlog=1024", socat_port);
  snprintf(connect_arg, sizeof connect_arg, "TCP:127.0.0.1:%u,nodelay", target_port);
  pid_t socat = spawn_child({"socat", listen_arg, connect_arg}, "/dev/null");
  socat_pid = socat;
  wait_listening("127.0.0.1", socat_port, 3000);
  figures peer = measure(socat_port, seconds, 2);
  stop_child(socat, 5000);

  stop_flag.store(1);
  engine_wake();
  engine.join();
  engine_shutdown();
  target_stop = true;
  target.join();

  printf("Relay benchmark, %.1f s per figure, loopback\n\n", seconds);
  printf(
      "| path      | up 1 MB/s | up 4 MB/s | dn 1 MB/s | dn 4 MB/s | CPU-s/GB | c1 conn/s | p50 ms "
      "| p99 ms | c32 conn/s | p50 ms | p99 ms |\n");
  printf(
      "|-----------|-----------|-----------|-----------|-----------|----------|----------|--------|"
      "--------|----------|--------|--------|\n");
  print_row("direct", direct);
  print_row("copy", copying);
  print_row("splice", splicing);
  print_row("socat", peer);
  fflush(stdout);
  memory_table();
  return 0;
}
