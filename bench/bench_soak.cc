// Soak and load run against the real program: N concurrent clients (default
// 500) mix SOCKS4a, SOCKS5, plain HTTP proxy requests and CONNECT tunnels
// through two-hop chains picked at random from local proxies (microsocks,
// danted, tinyproxy) to a local origin server, for a given duration (default
// 600 s). Some clients abort mid-transfer, some reset (SO_LINGER 0), some
// read slowly. Every body byte is checked against the origin's pattern.
// Every 10 s the program's resident memory, open descriptors and slot count
// (from the panel's network status page) are printed; after the load the
// run waits for the table to drain and prints the final figures.
//
//   bench_soak [--clients N] [--seconds S] [--short]
//
// --short is a smoke run: 40 clients for 20 s. Loopback only; every client
// loop is bounded by the duration and by a total count.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "db/db.h"
#include "tests/support/chain_db.h"
#include "tests/support/fault_support.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr const char* kOrigin = "127.0.0.61";
constexpr const char* kProgram = "127.0.0.62";
constexpr const char* kMicrosocks = "127.0.0.63";
constexpr const char* kDanted = "127.0.0.64";
constexpr const char* kTinyproxy = "127.0.0.65";
constexpr uint64_t kMaxIterations = 5000000;  // total bound

enum cause : int {
  E_CONNECT,    // the program did not accept
  E_HANDSHAKE,  // the program's own SOCKS or CONNECT answer was missing or a refusal
  E_NO_REPLY,   // closed before a reply head (chain failed, refused)
  E_STATUS,     // a reply head that is not 200 (an error page)
  E_TRUNCATED,  // closed before the announced length
  E_CORRUPT,    // a byte differs from the pattern
  E_UPLOAD,     // the origin saw other bytes than were sent
  E_TIMEOUT,    // nothing moved for the receive timeout
  E_COUNT
};
constexpr const char* kCauseNames[E_COUNT] = {
    "connect refused", "handshake refused", "closed before reply", "reply not 200",
    "truncated body",  "corrupted body",    "upload mismatch",     "timeout"};

struct totals {
  std::atomic<uint64_t> started{0}, completed{0}, aborted{0}, resets{0}, slow{0};
  std::atomic<uint64_t> bytes_down{0}, bytes_up{0};
  std::atomic<uint64_t> by_proto[4] = {};
  std::atomic<uint64_t> errors[E_COUNT] = {};
} stats;

program_instance program;
origin_server origin;

// Reads exactly n bytes; 1 done, 0 closed early, -1 timeout or error.
int read_n(int fd, void* out, size_t n) {
  char* p = static_cast<char*>(out);
  while (n > 0) {
    const ssize_t r = recv(fd, p, n, 0);
    if (r == 0) return 0;
    if (r < 0) return -1;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return 1;
}

// Reads a reply head into head (through its blank line) and whatever body
// bytes came with it into rest. 1 done, 0 closed first, -1 timeout.
int read_head(int fd, std::string& head, std::string& rest) {
  char buf[8192];
  std::string got;
  while (got.size() < 65536) {
    const ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r == 0) return 0;
    if (r < 0) return -1;
    got.append(buf, static_cast<size_t>(r));
    const size_t end = got.find("\r\n\r\n");
    if (end != std::string::npos) {
      head = got.substr(0, end + 4);
      rest = got.substr(end + 4);
      return 1;
    }
  }
  return 0;
}

void hard_close(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

enum class behaviour { normal, abort, reset, slow };

// One client exchange; returns the error cause or -1 when it went as meant.
int one_exchange(std::mt19937_64& rng, int proto, bool upload, uint64_t size, behaviour how) {
  const int fd = connect_to(kProgram, program.port, 60000);
  if (fd < 0) return E_CONNECT;
  struct closer {
    int fd;
    bool done = false;
    ~closer() {
      if (!done) close(fd);
    }
  } guard{fd};
  const std::string host = kOrigin;
  const uint16_t port = origin.port;
  const std::string authority = host + ":" + std::to_string(port);
  // Handshake with the program.
  if (proto == 0) {  // SOCKS4a with the host as a name
    std::string req = {4, 1, static_cast<char>(port >> 8), static_cast<char>(port & 0xFF), 0, 0,
                       0, 1};
    req += "soak";
    req.push_back(0);
    req += host;
    req.push_back(0);
    uint8_t reply[8];
    if (!send_all(fd, req.data(), req.size())) return E_HANDSHAKE;
    const int r = read_n(fd, reply, sizeof reply);
    if (r < 0) return E_TIMEOUT;
    if (r == 0 || reply[1] != 0x5A) return E_HANDSHAKE;
  } else if (proto == 1) {  // SOCKS5 with a domain name
    const uint8_t greet[3] = {5, 1, 0};
    uint8_t answer[2];
    if (!send_all(fd, greet, sizeof greet)) return E_HANDSHAKE;
    int r = read_n(fd, answer, 2);
    if (r < 0) return E_TIMEOUT;
    if (r == 0 || answer[0] != 5 || answer[1] != 0) return E_HANDSHAKE;
    std::string req = {5, 1, 0, 3, static_cast<char>(host.size())};
    req += host;
    req.push_back(static_cast<char>(port >> 8));
    req.push_back(static_cast<char>(port & 0xFF));
    uint8_t reply[10];
    if (!send_all(fd, req.data(), req.size())) return E_HANDSHAKE;
    r = read_n(fd, reply, sizeof reply);
    if (r < 0) return E_TIMEOUT;
    if (r == 0 || reply[1] != 0) return E_HANDSHAKE;
  } else if (proto == 3) {  // CONNECT tunnel
    const std::string req = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
    if (!send_all(fd, req.data(), req.size())) return E_HANDSHAKE;
    std::string head, rest;
    const int r = read_head(fd, head, rest);
    if (r < 0) return E_TIMEOUT;
    if (r == 0 || head.find(" 200") == std::string::npos || !rest.empty()) return E_HANDSHAKE;
  }
  const std::string target = proto == 2 ? "http://" + authority : "";
  std::string request;
  if (upload) {
    request = "POST " + target + "/upload HTTP/1.0\r\nHost: " + authority +
              "\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
  } else {
    request = "GET " + target + "/bytes/" + std::to_string(size) +
              " HTTP/1.0\r\nHost: " + authority + "\r\n\r\n";
  }
  if (!send_all(fd, request.data(), request.size())) return E_NO_REPLY;
  const uint64_t cut =
      how == behaviour::abort || how == behaviour::reset ? rng() % (size + 1) : UINT64_MAX;
  auto end_early = [&] {
    if (how == behaviour::reset) {
      hard_close(fd);
      guard.done = true;
      stats.resets.fetch_add(1);
    } else {
      stats.aborted.fetch_add(1);
    }
    return -1;
  };
  if (upload) {
    uint8_t chunk[16384];
    for (uint64_t sent = 0; sent < size;) {
      if (sent >= cut) return end_early();
      const size_t k = size - sent < sizeof chunk ? size - sent : sizeof chunk;
      pattern_fill(chunk, sent, k);
      if (!send_all(fd, chunk, k)) return E_NO_REPLY;
      sent += k;
      stats.bytes_up.fetch_add(k);
    }
    if (cut <= size) return end_early();
  }
  std::string head, rest;
  const int r = read_head(fd, head, rest);
  if (r < 0) return E_TIMEOUT;
  if (r == 0) return E_NO_REPLY;
  if (head.compare(0, 9, "HTTP/1.0 ") != 0 && head.compare(0, 9, "HTTP/1.1 ") != 0) return E_STATUS;
  if (head.compare(9, 3, "200") != 0) return E_STATUS;
  const size_t cl = head.find("Content-Length: ");
  if (cl == std::string::npos) return E_STATUS;
  const uint64_t length = strtoull(head.c_str() + cl + 16, nullptr, 10);
  if (upload) {
    std::string body = rest;
    char buf[256];
    while (body.size() < length) {
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n == 0) return E_TRUNCATED;
      if (n < 0) return E_TIMEOUT;
      body.append(buf, static_cast<size_t>(n));
    }
    return body == "ok " + std::to_string(size) ? -1 : E_UPLOAD;
  }
  if (length != size) return E_STATUS;
  uint64_t got = 0;
  auto check = [&](const uint8_t* p, size_t n) {
    if (pattern_mismatch(p, got, n) >= 0) return false;
    got += n;
    stats.bytes_down.fetch_add(n);
    return true;
  };
  if (rest.size() > size) return E_CORRUPT;
  if (!check(reinterpret_cast<const uint8_t*>(rest.data()), rest.size())) return E_CORRUPT;
  static thread_local uint8_t buf[65536];
  const size_t step = how == behaviour::slow ? 4096 : sizeof buf;
  while (got < size) {
    if (got >= cut) return end_early();
    const ssize_t n = recv(fd, buf, step, 0);
    if (n == 0) return E_TRUNCATED;
    if (n < 0) return E_TIMEOUT;
    if (got + static_cast<uint64_t>(n) > size) return E_CORRUPT;  // bytes beyond the body
    if (!check(buf, static_cast<size_t>(n))) return E_CORRUPT;
    if (how == behaviour::slow) usleep(20000);
  }
  if (cut <= size) return end_early();
  // The origin closes after the body; nothing more may arrive.
  const ssize_t extra = recv(fd, buf, sizeof buf, 0);
  if (extra > 0) return E_CORRUPT;
  return -1;
}

std::atomic<uint64_t> iterations{0};

void client_loop(uint64_t seed, steady::time_point until, uint64_t max_size) {
  std::mt19937_64 rng(seed);
  usleep(static_cast<useconds_t>(rng() % 2000000));  // spread the start over 2 s
  while (steady::now() < until && iterations.fetch_add(1) < kMaxIterations) {
    const int proto = static_cast<int>(rng() % 4);
    const bool upload = rng() % 4 == 0;
    // Sizes spread evenly over the powers of two from 1 KiB to max_size.
    int bits = 10;
    while ((1ull << (bits + 1)) <= max_size) ++bits;
    const uint64_t top = 1ull << (10 + rng() % static_cast<uint64_t>(bits - 9));
    uint64_t size = top / 2 + rng() % (top / 2 + 1);
    const unsigned roll = static_cast<unsigned>(rng() % 100);
    behaviour how = behaviour::normal;
    if (roll < 5) {
      how = behaviour::abort;
    } else if (roll < 10) {
      how = behaviour::reset;
    } else if (roll < 15 && !upload) {
      how = behaviour::slow;
      if (size > (256u << 10)) size = 256u << 10;  // about 1.3 s at 4 KiB per 20 ms
      stats.slow.fetch_add(1);
    }
    stats.started.fetch_add(1);
    stats.by_proto[proto].fetch_add(1);
    const int failure = one_exchange(rng, proto, upload, size, how);
    if (failure >= 0) {
      stats.errors[failure].fetch_add(1);
      usleep(100000);  // a failed chain: do not spin
    } else if (how == behaviour::normal || how == behaviour::slow) {
      stats.completed.fetch_add(1);
    }
  }
}

struct sample {
  long rss;
  int fds, slots;
};

sample take_sample() {
  return {process_rss_kib(program.pid), process_fd_count(program.pid), fault_slots(program)};
}

void print_sample(const char* when, double t, const sample& s) {
  printf(
      "%-6s t=%5.0fs rss=%6ld KiB fds=%5d slots=%5d started=%llu completed=%llu down=%.1f MiB "
      "up=%.1f MiB\n",
      when, t, s.rss, s.fds, s.slots, static_cast<unsigned long long>(stats.started.load()),
      static_cast<unsigned long long>(stats.completed.load()),
      static_cast<double>(stats.bytes_down.load()) / 1048576.0,
      static_cast<double>(stats.bytes_up.load()) / 1048576.0);
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  int clients = 500;
  int seconds = 600;
  uint64_t max_size = 4u << 20;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--clients") == 0 && i + 1 < argc) {
      clients = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--short") == 0) {
      clients = 40;
      seconds = 20;
      max_size = 1u << 20;
    } else {
      fprintf(stderr, "usage: %s [--clients N] [--seconds S] [--short]\n", argv[0]);
      return 2;
    }
  }
  if (clients < 1 || clients > 1000) clients = 500;  // the table has 2048 slots, two per client
  if (seconds < 1 || seconds > 7200) seconds = 600;

  if (!origin.start(kOrigin)) {
    fprintf(stderr, "origin server did not start\n");
    return 1;
  }
  std::unique_ptr<peer_process> microsocks(start_microsocks(kMicrosocks, free_port(kMicrosocks)));
  std::unique_ptr<peer_process> danted(start_danted(kDanted, free_port(kDanted)));
  std::unique_ptr<peer_process> tinyproxy(
      start_tinyproxy(kTinyproxy, free_port(kTinyproxy), "",
                      // room for every client of the run
                      tinyproxy_settings(kTinyproxy, 120, 4000)));
  if (!microsocks || !danted || !tinyproxy) {
    fprintf(stderr, "a peer did not start (see %s)\n", scratch_dir().c_str());
    return 1;
  }
  // Two links, each a random pick among the three proxies (a new pick every
  // 10 s when the cached chain expires).
  const int any = PT_SOCKS4 | PT_SOCKS5 | PT_HTTPS | PT_ANONYMOUS;
  const bool prepared = program.prepare(kProgram, [&] {
    chain_db_add_proxy(kMicrosocks, microsocks->port, PT_SOCKS5 | PT_ANONYMOUS, 10);
    chain_db_add_proxy(kDanted, danted->port, PT_SOCKS4 | PT_SOCKS5 | PT_ANONYMOUS, 10);
    chain_db_add_proxy(kTinyproxy, tinyproxy->port, PT_HTTPS | PT_ANONYMOUS, 10);
    chain_db_add_link(1, 1, any);
    chain_db_add_link(2, 1, any);
  });
  if (!prepared || !program.start()) {
    fprintf(stderr, "the program did not start (see %s)\n", program.log_path.c_str());
    return 1;
  }
  printf("soak: %d clients for %d s, bodies up to %llu KiB, program pid %d, peers in %s\n", clients,
         seconds, static_cast<unsigned long long>(max_size >> 10), static_cast<int>(program.pid),
         scratch_dir().c_str());
  const auto t0 = steady::now();
  auto elapsed = [&] { return std::chrono::duration<double>(steady::now() - t0).count(); };
  const sample before = take_sample();
  print_sample("start", 0, before);

  const auto until = t0 + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(clients));
  for (int i = 0; i < clients; ++i)
    threads.emplace_back(client_loop, 0x50a4ull * 7919 + static_cast<uint64_t>(i), until, max_size);
  long peak_rss = before.rss;
  int peak_fds = before.fds, peak_slots = before.slots;
  while (steady::now() < until) {
    for (int k = 0; k < 100 && steady::now() < until; ++k) usleep(100000);
    const sample s = take_sample();
    if (s.rss > peak_rss) peak_rss = s.rss;
    if (s.fds > peak_fds) peak_fds = s.fds;
    if (s.slots > peak_slots) peak_slots = s.slots;
    print_sample("load", elapsed(), s);
    if (s.rss < 0) break;  // the program is gone
  }
  for (std::thread& t : threads) t.join();
  const double load_seconds = elapsed();
  const sample at_end = take_sample();
  print_sample("end", load_seconds, at_end);
  // Let closing pairs finish (2 s of quiet) and housekeeping run.
  sample settled = at_end;
  for (int k = 0; k < 20; ++k) {
    usleep(2000000);
    settled = take_sample();
    if (settled.slots >= 0 && settled.slots <= before.slots && settled.fds <= before.fds) break;
  }
  print_sample("after", elapsed(), settled);
  const bool alive = settled.rss > 0;  // a process that has exited shows no resident size
  printf("\n== soak figures ==\n");
  printf("duration of load         %.0f s, %d clients\n", load_seconds, clients);
  printf("exchanges started        %llu (socks4a %llu, socks5 %llu, http %llu, connect %llu)\n",
         static_cast<unsigned long long>(stats.started.load()),
         static_cast<unsigned long long>(stats.by_proto[0].load()),
         static_cast<unsigned long long>(stats.by_proto[1].load()),
         static_cast<unsigned long long>(stats.by_proto[2].load()),
         static_cast<unsigned long long>(stats.by_proto[3].load()));
  printf("clients served           %llu completed and verified (%llu slow readers)\n",
         static_cast<unsigned long long>(stats.completed.load()),
         static_cast<unsigned long long>(stats.slow.load()));
  printf("deliberate aborts/resets %llu / %llu\n",
         static_cast<unsigned long long>(stats.aborted.load()),
         static_cast<unsigned long long>(stats.resets.load()));
  printf("bytes carried            %.1f MiB down, %.1f MiB up (all verified)\n",
         static_cast<double>(stats.bytes_down.load()) / 1048576.0,
         static_cast<double>(stats.bytes_up.load()) / 1048576.0);
  printf("errors by cause         ");
  uint64_t errors = 0;
  for (int c = 0; c < E_COUNT; ++c) {
    errors += stats.errors[c].load();
    printf(" %s=%llu;", kCauseNames[c], static_cast<unsigned long long>(stats.errors[c].load()));
  }
  printf("\n");
  printf(
      "resident memory          start %ld KiB, peak %ld KiB, end of load %ld KiB, after %ld KiB\n",
      before.rss, peak_rss, at_end.rss, settled.rss);
  printf("descriptors              start %d, peak %d, after %d\n", before.fds, peak_fds,
         settled.fds);
  printf("slots (status page)      start %d, peak %d, after %d\n", before.slots, peak_slots,
         settled.slots);
  {
    int by_last_hop[3] = {0, 0, 0};
    for (const std::string& peer : origin.peers()) {
      if (peer == kMicrosocks) ++by_last_hop[0];
      if (peer == kDanted) ++by_last_hop[1];
      if (peer == kTinyproxy) ++by_last_hop[2];
    }
    printf("last hop seen by origin  microsocks %d, danted %d, tinyproxy %d\n", by_last_hop[0],
           by_last_hop[1], by_last_hop[2]);
  }
  const bool lost = stats.errors[E_CORRUPT].load() + stats.errors[E_UPLOAD].load() > 0;
  printf("verdict                  %s; %s; %s; program %s\n",
         lost ? "BYTES LOST OR CHANGED" : "no byte lost or changed on a completed transfer",
         settled.fds <= before.fds ? "no descriptor left" : "DESCRIPTORS LEFT BEHIND",
         settled.slots <= before.slots ? "no slot left" : "SLOTS LEFT BEHIND",
         alive ? "alive" : "GONE");
  (void)errors;
  program.stop();
  microsocks.reset();
  danted.reset();
  tinyproxy.reset();
  origin.stop();
  return lost || !alive ? 1 : 0;
}
