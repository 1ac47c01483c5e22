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
// --new runs the second scenario instead. The chain is a first hop picked among
// five real proxies (two of them ask for a user and password, imported with
// "merovane ctl import -") followed by a fixed last hop run by this bench
// (tests/support/name_hop.h). That hop alone knows "origin.example" and
// [2001:db8::61]: clients ask for the origin by address, by name and by
// IPv6 address. The program runs with bench/preload/slow_resolver.c
// preloaded, so that no name reaches a real name server and names under
// .slow.example take 5 s to fail. Every cycle (30 s, 12 s with --short):
// at the half, "merovane ctl chain" switches from a random first hop and
// the hop's SOCKS5 address to the fastest first hop (microsocks) and its
// CONNECT address; microsocks is killed for the middle third and started
// again ("chain_retries" 2), so chains meet it dead; and the cycle is one of
// three phases in turn: no lookups at all; the checker's host
// ("url_checker" http://judge.slow.example/) looked up slowly; that with
// "remote_dns" 0, while a few clients ask for a name the program looks up
// here (5 s each) and the others use addresses only. Logs are on (level 2
// for a few seconds, every byte dumped, then 1). The summary gives
// exchanges and failures per client form and scenario, failures during
// outages and outside them, the program's retry counters, the forms the
// last hop received, the time to the first reply head of address clients
// per phase, and where (if anywhere) the password showed up.
//
//   bench_soak [--clients N] [--seconds S] [--short] [--new]
//
// --short is a smoke run: 40 clients for 20 s (36 s with --new: three
// cycles). Loopback only; every client loop is bounded by the duration
// and by a total count.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "db/db.h"
#include "tests/support/chain_db.h"
#include "tests/support/fault_support.h"
#include "tests/support/name_hop.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr const char* kOrigin = "127.0.0.61";
constexpr const char* kProgram = "127.0.0.62";
constexpr const char* kMicrosocks = "127.0.0.63";
constexpr const char* kDanted = "127.0.0.64";
constexpr const char* kTinyproxy = "127.0.0.65";
// The second scenario's own peers.
constexpr const char* kHopSocks5 = "127.0.0.66";        // the last hop, spoken to in SOCKS5
constexpr const char* kHopConnect = "127.0.0.67";       // the same hop, spoken to in CONNECT
constexpr const char* kMicrosocksLogin = "127.0.0.68";  // asks for user and password
constexpr const char* kTinyproxyLogin = "127.0.0.69";   // BasicAuth
constexpr const char* kOriginName = "origin.example";
constexpr const char* kOriginV6 = "2001:db8::61";
constexpr const char* kLoginUser = "soak";
constexpr const char* kLoginPassword = "Pw-s0ak-7f3e91c";
constexpr const char* kQuietChecker = "http://merovane-judge.invalid/";  // never looked up
constexpr const char* kSlowChecker = "http://judge.slow.example/";       // 5 s, then no address
constexpr uint64_t kMaxIterations = 5000000;                             // total bound

enum cause : int {
  E_CONNECT,      // the program did not accept
  E_HANDSHAKE,    // the program's own SOCKS or CONNECT answer was missing or a refusal
  E_NO_REPLY,     // closed before a reply head (chain failed, refused)
  E_BAD_GATEWAY,  // a 502 page: the chain failed (after its retries)
  E_STATUS,       // another reply head that is not 200 (an error page)
  E_TRUNCATED,    // closed before the announced length
  E_CORRUPT,      // a byte differs from the pattern
  E_UPLOAD,       // the origin saw other bytes than were sent
  E_TIMEOUT,      // nothing moved for the receive timeout
  E_COUNT
};
constexpr const char* kCauseNames[E_COUNT] = {
    "connect refused", "handshake refused", "closed before reply", "502 page", "reply not 200",
    "truncated body",  "corrupted body",    "upload mismatch",     "timeout"};

// How a client names the origin.
enum scenario : int {
  SC_ADDR,   // 127.0.0.61
  SC_NAME,   // origin.example, passed on to the last hop
  SC_V6,     // [2001:db8::61]
  SC_LOCAL,  // origin.example while "remote_dns" is 0: looked up by the program
  SC_COUNT
};
constexpr const char* kScenarioNames[SC_COUNT] = {"address", "name", "ipv6", "name (lookup here)"};
constexpr const char* kProtoNames[4] = {"socks4a", "socks5", "http", "connect"};

// Phases of the second scenario, one per cycle in turn.
enum phase : int { PH_QUIET, PH_SLOW_CHECKER, PH_LOCAL_NAMES, PH_COUNT };
constexpr const char* kPhaseNames[PH_COUNT] = {"no lookups", "slow checker lookups",
                                               "slow lookups, remote_dns 0"};

struct totals {
  std::atomic<uint64_t> started{0}, completed{0}, aborted{0}, resets{0}, slow{0};
  std::atomic<uint64_t> bytes_down{0}, bytes_up{0};
  std::atomic<uint64_t> by_proto[4] = {};
  std::atomic<uint64_t> errors[E_COUNT] = {};
  // The second scenario's breakdown.
  std::atomic<uint64_t> by_scenario[SC_COUNT][4] = {};
  std::atomic<uint64_t> completed_by_scenario[SC_COUNT] = {};
  std::atomic<uint64_t> errors_by_scenario[SC_COUNT][E_COUNT] = {};
  std::atomic<uint64_t> in_outage{0}, outside_outage{0};
  std::atomic<uint64_t> errors_in_outage[E_COUNT] = {}, errors_outside[E_COUNT] = {};
} stats;

program_instance program;
origin_server origin;
bool second_scenario = false;

// What the control thread of the second scenario tells the clients.
std::atomic<bool> outage{false};         // microsocks is down
std::atomic<uint32_t> outage_serial{0};  // outages begun so far
std::atomic<int> current_phase{PH_QUIET};
std::atomic<bool> names_allowed{true};  // clients may ask for names the last hop resolves
std::atomic<bool> local_names{false};   // the few clients whose names the program looks up run
// While the program writes every byte to its diagnostic files (log_level
// 2, and a second after): those exchanges are left out of the latency
// figures.
std::atomic<bool> logging_everything{false};

// Times to the reply head (ms) of address downloads outside outages, per
// phase, and of the clients whose names the program looks up; plus the
// current 10 s window of the former.
struct latencies {
  std::mutex lock;
  std::vector<float> address[PH_COUNT];
  std::vector<float> local;
  std::vector<float> window;
} latency;

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

bool is_status(const std::string& head, const char* code) {
  return head.size() > 12 && head.compare(0, 5, "HTTP/") == 0 && head.compare(9, 3, code) == 0;
}

enum class behaviour { normal, abort, reset, slow };

// One client exchange; returns the error cause or -1 when it went as meant.
// *head_ms: milliseconds from the start to the reply head, when one came.
int one_exchange(std::mt19937_64& rng, int proto, scenario sc, bool upload, uint64_t size,
                 behaviour how, double* head_ms) {
  const auto t0 = steady::now();
  const int fd = connect_to(kProgram, program.port, 60000);
  if (fd < 0) return E_CONNECT;
  struct closer {
    int fd;
    bool done = false;
    ~closer() {
      if (!done) close(fd);
    }
  } guard{fd};
  const bool v6 = sc == SC_V6;
  const std::string host = sc == SC_ADDR ? kOrigin : v6 ? kOriginV6 : kOriginName;
  const uint16_t port = origin.port;
  const std::string authority = (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
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
  } else if (proto == 1) {  // SOCKS5: a domain name, or (second scenario) IPv4 or IPv6
    const uint8_t greet[3] = {5, 1, 0};
    uint8_t answer[2];
    if (!send_all(fd, greet, sizeof greet)) return E_HANDSHAKE;
    int r = read_n(fd, answer, 2);
    if (r < 0) return E_TIMEOUT;
    if (r == 0 || answer[0] != 5 || answer[1] != 0) return E_HANDSHAKE;
    std::string req = {5, 1, 0};
    uint8_t raw[16];
    if (v6 && inet_pton(AF_INET6, host.c_str(), raw) == 1) {
      req.push_back(4);
      req.append(reinterpret_cast<const char*>(raw), 16);
    } else if (second_scenario && sc == SC_ADDR && inet_pton(AF_INET, host.c_str(), raw) == 1) {
      req.push_back(1);
      req.append(reinterpret_cast<const char*>(raw), 4);
    } else {
      req.push_back(3);
      req.push_back(static_cast<char>(host.size()));
      req += host;
    }
    req.push_back(static_cast<char>(port >> 8));
    req.push_back(static_cast<char>(port & 0xFF));
    if (!send_all(fd, req.data(), req.size())) return E_HANDSHAKE;
    uint8_t reply[4 + 256 + 2];
    r = read_n(fd, reply, 4);
    if (r < 0) return E_TIMEOUT;
    if (r == 0 || reply[1] != 0) return E_HANDSHAKE;
    size_t bound = reply[3] == 1 ? 4 : reply[3] == 4 ? 16 : 0;
    if (reply[3] == 3) {
      if (read_n(fd, reply + 4, 1) != 1) return E_HANDSHAKE;
      bound = reply[4];
    }
    if (reply[3] != 1 && reply[3] != 3 && reply[3] != 4) return E_HANDSHAKE;
    r = read_n(fd, reply + 4, bound + 2);
    if (r < 0) return E_TIMEOUT;
    if (r == 0) return E_HANDSHAKE;
  } else if (proto == 3) {  // CONNECT tunnel
    const std::string req = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
    if (!send_all(fd, req.data(), req.size())) return E_HANDSHAKE;
    std::string head, rest;
    const int r = read_head(fd, head, rest);
    if (r < 0) return E_TIMEOUT;
    if (r == 1 && is_status(head, "502")) return E_BAD_GATEWAY;
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
  *head_ms = std::chrono::duration<double, std::milli>(steady::now() - t0).count();
  if (head.compare(0, 9, "HTTP/1.0 ") != 0 && head.compare(0, 9, "HTTP/1.1 ") != 0) return E_STATUS;
  if (head.compare(9, 3, "502") == 0) return E_BAD_GATEWAY;
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

// Failures per second of the run (when they ended), for the timeline.
steady::time_point run_start;
constexpr int kTimelineSeconds = 7300;
std::atomic<uint32_t> failures_at[kTimelineSeconds] = {};

void note_failure_time() {
  const auto s =
      std::chrono::duration_cast<std::chrono::seconds>(steady::now() - run_start).count();
  if (s >= 0 && s < kTimelineSeconds) failures_at[s].fetch_add(1);
}

// Runs one exchange and books it: protocol, scenario, outage overlap,
// failure cause, and the time to the reply head of plain address downloads.
void booked_exchange(std::mt19937_64& rng, int proto, scenario sc, bool upload, uint64_t size,
                     behaviour how) {
  stats.started.fetch_add(1);
  stats.by_proto[proto].fetch_add(1);
  stats.by_scenario[sc][proto].fetch_add(1);
  const uint32_t serial = outage_serial.load();
  const bool down_at_start = outage.load();
  const int phase_at_start = current_phase.load();
  const bool logging_all = logging_everything.load();
  double head_ms = -1;
  const int failure = one_exchange(rng, proto, sc, upload, size, how, &head_ms);
  const bool met_outage = down_at_start || outage.load() || outage_serial.load() != serial;
  if (second_scenario) (met_outage ? stats.in_outage : stats.outside_outage).fetch_add(1);
  if (failure >= 0) {
    stats.errors[failure].fetch_add(1);
    note_failure_time();
    stats.errors_by_scenario[sc][failure].fetch_add(1);
    if (second_scenario)
      (met_outage ? stats.errors_in_outage : stats.errors_outside)[failure].fetch_add(1);
  } else if (how == behaviour::normal || how == behaviour::slow) {
    stats.completed.fetch_add(1);
    stats.completed_by_scenario[sc].fetch_add(1);
  }
  if (second_scenario && head_ms >= 0 && !upload && !met_outage && !logging_all &&
      (how == behaviour::normal || how == behaviour::slow) && failure < 0) {
    std::lock_guard<std::mutex> hold(latency.lock);
    if (sc == SC_ADDR && phase_at_start == current_phase.load()) {
      latency.address[phase_at_start].push_back(static_cast<float>(head_ms));
      latency.window.push_back(static_cast<float>(head_ms));
    } else if (sc == SC_LOCAL) {
      latency.local.push_back(static_cast<float>(head_ms));
    }
  }
  if (failure >= 0) usleep(100000);  // a failed chain: do not spin
}

void client_loop(uint64_t seed, steady::time_point until, uint64_t max_size) {
  std::mt19937_64 rng(seed);
  usleep(static_cast<useconds_t>(rng() % 2000000));  // spread the start over 2 s
  while (steady::now() < until && iterations.fetch_add(1) < kMaxIterations) {
    int proto = static_cast<int>(rng() % 4);
    scenario sc = SC_ADDR;
    if (second_scenario) {
      // 40 % addresses, 35 % names, 25 % IPv6 (no SOCKS4a form for those).
      const unsigned pick = static_cast<unsigned>(rng() % 100);
      sc = pick < 40 ? SC_ADDR : pick < 75 ? SC_NAME : SC_V6;
      if (sc == SC_NAME && !names_allowed.load()) sc = SC_ADDR;
      if (sc == SC_V6 && proto == 0) proto = 1 + static_cast<int>(rng() % 3);
    }
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
    booked_exchange(rng, proto, sc, upload, size, how);
  }
}

// The few clients whose names the program looks up itself: they run only
// while "remote_dns" is 0, each asking for origin.example (16 KiB down).
void local_name_loop(uint64_t seed, steady::time_point until) {
  std::mt19937_64 rng(seed);
  while (steady::now() < until && iterations.fetch_add(1) < kMaxIterations) {
    if (!local_names.load()) {
      usleep(100000);
      continue;
    }
    booked_exchange(rng, static_cast<int>(rng() % 4), SC_LOCAL, false, 16384, behaviour::normal);
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
      "up=%.1f MiB",
      when, t, s.rss, s.fds, s.slots, static_cast<unsigned long long>(stats.started.load()),
      static_cast<unsigned long long>(stats.completed.load()),
      static_cast<double>(stats.bytes_down.load()) / 1048576.0,
      static_cast<double>(stats.bytes_up.load()) / 1048576.0);
  if (!second_scenario) printf("\n");
  fflush(stdout);
}

// ---- the second scenario's control -----------------------------------------

std::string metrics_text() {
  return program_get(program, "/" + std::string(kPanelToken) + "/metrics");
}

struct retry_figures {
  long long retries, ok, failed;
};

retry_figures retry_counters() {
  const std::string m = metrics_text();
  return {metrics_series(m, "merovane_chain_retries_total"),
          metrics_series(m, "merovane_chains_total{result=\"ok\"}"),
          metrics_series(m, "merovane_chains_total{result=\"failed\"}")};
}

double percentile(std::vector<float> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  size_t at = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  if (at >= v.size()) at = v.size() - 1;
  return v[at];
}

std::atomic<int> ctl_failures{0};
std::atomic<int> restarts_failed{0};
std::atomic<int> outages_done{0};
std::atomic<bool> control_done{false};  // the control thread may end (and its children with it)
std::mutex ctl_lock;  // one ctl command at a time; the control thread and main both use it

bool ctl(const std::string& args) {
  std::lock_guard<std::mutex> hold(ctl_lock);
  int status = -1;
  const std::string out = program_ctl(program, args, "", &status);
  if (status != 0) {
    ctl_failures.fetch_add(1);
    fprintf(stderr, "ctl %s: status %d: %s\n", args.c_str(), status, out.c_str());
  }
  return status == 0;
}

struct second_peers {
  std::unique_ptr<peer_process> microsocks;  // the one that dies and comes back
  uint16_t microsocks_port = 0;
  name_hop* last_hop = nullptr;                   // listens on kHopSocks5
  name_hop* last_hop_connect = nullptr;           // listens on kHopConnect
  std::string microsocks_login, tinyproxy_login;  // "ip:port"
  std::string log_dir;
};

// First half of a cycle: a random first hop and the SOCKS5 last hop;
// second half: the fastest first hop (microsocks while it is up) and the
// CONNECT last hop.
std::string chain_command(const second_peers& peers, bool socks5_last) {
  return std::string(socks5_last ? "chain pick:random:socks4,socks5,https "
                                 : "chain pick:fastest:socks4,socks5,https ") +
         (socks5_last
              ? "socks5://" + peers.last_hop->ip + ":" + std::to_string(peers.last_hop->port)
              : "https://" + peers.last_hop_connect->ip + ":" +
                    std::to_string(peers.last_hop_connect->port));
}

// Drives the cycles until `until`: the outage, the last hop's protocol, the
// phase's settings and which clients may ask for names.
void control_loop(second_peers& peers, steady::time_point t0, steady::time_point until,
                  double cycle) {
  int shown_phase = PH_QUIET;
  bool down = false, socks5_last = true, level2 = false, level2_done = false;
  const double level2_from = 2, level2_until = 6;
  int login_chain = 0;  // 1, 2: the fixed chain through a proxy with a sign-in
  int cycle_index = 0;
  while (steady::now() < until) {
    usleep(100000);
    const double t = std::chrono::duration<double>(steady::now() - t0).count();
    cycle_index = static_cast<int>(t / cycle);
    const double at = t - cycle_index * cycle;
    const int ph = cycle_index % PH_COUNT;
    // Names the program would look up stop two seconds before that phase
    // and come back a second after it.
    const bool next_is_local = (cycle_index + 1) % PH_COUNT == PH_LOCAL_NAMES;
    names_allowed.store(!(ph == PH_LOCAL_NAMES || (next_is_local && at >= cycle - 2) ||
                          (ph == PH_QUIET && cycle_index > 0 && at < 1)));
    if (ph != shown_phase) {
      if (ph == PH_SLOW_CHECKER) {
        ctl(std::string("set url_checker=") + kSlowChecker);
      } else if (ph == PH_LOCAL_NAMES) {
        ctl("set remote_dns=0");
      } else {
        local_names.store(false);
        ctl(std::string("set remote_dns=1 url_checker=") + kQuietChecker);
      }
      shown_phase = ph;
      current_phase.store(ph);
    }
    local_names.store(ph == PH_LOCAL_NAMES && at >= 0.5);
    // The last hop: SOCKS5 in the first half of a cycle, CONNECT in the second.
    // While every byte is logged, fixed chains through each proxy with a
    // sign-in instead, so that their exchanges are in the diagnostic files.
    const bool want_socks5 = at < cycle / 2;
    const bool logging_all = t >= level2_from && t < level2_until;
    const int want_login = !logging_all ? 0 : t < (level2_from + level2_until) / 2 ? 1 : 2;
    if (want_login != login_chain) {
      if (want_login == 1)
        ctl("chain socks5://" + peers.microsocks_login + " socks5://" + peers.last_hop->ip + ":" +
            std::to_string(peers.last_hop->port));
      else if (want_login == 2)
        ctl("chain https://" + peers.tinyproxy_login + " https://" + peers.last_hop_connect->ip +
            ":" + std::to_string(peers.last_hop_connect->port));
      else
        ctl(chain_command(peers, want_socks5));
      login_chain = want_login;
      socks5_last = want_socks5;
    } else if (!logging_all && want_socks5 != socks5_last) {
      ctl(chain_command(peers, want_socks5));
      socks5_last = want_socks5;
    }
    // microsocks down in the middle third of every cycle.
    const bool want_down = at >= cycle / 3 && at < 2 * cycle / 3;
    if (want_down && !down) {
      outage.store(true);
      outage_serial.fetch_add(1);
      if (peers.microsocks) {
        kill(-peers.microsocks->pid, SIGKILL);
        peers.microsocks.reset();
      }
      down = true;
    } else if (!want_down && down) {
      peers.microsocks.reset(start_microsocks(kMicrosocks, peers.microsocks_port));
      if (!peers.microsocks) restarts_failed.fetch_add(1);
      outages_done.fetch_add(1);
      outage.store(false);
      down = false;
    }
    // Every diagnostic file for a few seconds, then the traffic file only.
    if (!level2 && t >= level2_from) {
      ctl("set log_level=2 log_dir=" + peers.log_dir);
      level2 = true;
    } else if (level2 && !level2_done && t >= level2_until) {
      ctl("set log_level=1");
      level2_done = true;
    }
    if (level2_done && t >= level2_until + 1) logging_everything.store(false);
  }
  local_names.store(false);
  if (down) {
    peers.microsocks.reset(start_microsocks(kMicrosocks, peers.microsocks_port));
    if (!peers.microsocks) restarts_failed.fetch_add(1);
    outages_done.fetch_add(1);
    outage.store(false);
  }
  // A child ends with the thread that started it (PR_SET_PDEATHSIG), so
  // this thread lives until the run is over: microsocks must not die with
  // it while the last exchanges drain.
  for (int k = 0; k < 6000 && !control_done.load(); ++k) usleep(100000);
}

// Calls seen(path, text) for every regular file below dir.
template <typename F>
void each_file(const std::string& dir, F&& seen) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string path = dir + "/" + e->d_name;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode))
      each_file(path, seen);
    else if (S_ISREG(st.st_mode))
      seen(path, read_file(path));
  }
  closedir(d);
}

std::string base64(const std::string& in) {
  static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const uint32_t v = static_cast<uint8_t>(in[i]) << 16 | static_cast<uint8_t>(in[i + 1]) << 8 |
                       static_cast<uint8_t>(in[i + 2]);
    for (int k = 18; k >= 0; k -= 6) out.push_back(table[(v >> k) & 63]);
  }
  if (i < in.size()) {
    uint32_t v = static_cast<uint8_t>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<uint8_t>(in[i + 1]) << 8;
    out.push_back(table[(v >> 18) & 63]);
    out.push_back(table[(v >> 12) & 63]);
    out.push_back(i + 1 < in.size() ? table[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

// The program's wrapper: the resolver stand-in preloaded, with its names.
std::vector<std::string> preload_wrapper(const std::string& resolver_log) {
  return resolver_stand_in_wrapper({"SOAK_SLOW_SUFFIX=.slow.example", "SOAK_SLOW_MS=5000",
                                    std::string("SOAK_NAME_MAP=") + kOriginName + "=" + kOrigin,
                                    "SOAK_RESOLVER_LOG=" + resolver_log});
}

}  // namespace

int main(int argc, char** argv) {
  int clients = 500;
  int seconds = 600;
  uint64_t max_size = 4u << 20;
  bool smoke = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--clients") == 0 && i + 1 < argc) {
      clients = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--short") == 0) {
      smoke = true;
    } else if (strcmp(argv[i], "--new") == 0) {
      second_scenario = true;
    } else {
      fprintf(stderr, "usage: %s [--clients N] [--seconds S] [--short] [--new]\n", argv[0]);
      return 2;
    }
  }
  if (smoke) {
    clients = 40;
    seconds = second_scenario ? 36 : 20;
    max_size = 1u << 20;
  }
  if (clients < 1 || clients > 1000) clients = 500;  // the table has 2048 slots, two per client
  if (seconds < 1 || seconds > 7200) seconds = 600;
  const double cycle = smoke ? 12 : 30;
  const int local_clients = smoke ? 2 : 3;  // with the checker's lookup, the 4 lookup workers

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
  const int any = PT_SOCKS4 | PT_SOCKS5 | PT_HTTPS | PT_ANONYMOUS;
  second_peers peers;
  std::unique_ptr<peer_process> microsocks_login, tinyproxy_login;
  name_hop last_hop, last_hop_connect;
  const std::string resolver_log = scratch_dir() + "/resolver.log";
  if (second_scenario) {
    microsocks_login.reset(start_microsocks_login(kMicrosocksLogin, free_port(kMicrosocksLogin),
                                                  kLoginUser, kLoginPassword));
    tinyproxy_login.reset(start_tinyproxy(kTinyproxyLogin, free_port(kTinyproxyLogin), "",
                                          tinyproxy_settings(kTinyproxyLogin, 120, 4000) +
                                              "BasicAuth " + kLoginUser + " " + kLoginPassword +
                                              "\n"));
    const std::map<std::string, std::string> table = {{kOriginName, kOrigin}, {kOriginV6, kOrigin}};
    if (!microsocks_login || !tinyproxy_login || !last_hop.start(kHopSocks5, table) ||
        !last_hop_connect.start(kHopConnect, table)) {
      fprintf(stderr, "a peer did not start (see %s)\n", scratch_dir().c_str());
      return 1;
    }
    if (access(resolver_stand_in_path().c_str(), R_OK) != 0) {
      fprintf(stderr, "%s is missing (build target soak_slow_resolver)\n",
              resolver_stand_in_path().c_str());
      return 1;
    }
    peers.microsocks_port = microsocks->port;
    peers.last_hop = &last_hop;
    peers.last_hop_connect = &last_hop_connect;
    peers.log_dir = scratch_dir() + "/program-logs";
    peers.microsocks_login =
        std::string(kMicrosocksLogin) + ":" + std::to_string(microsocks_login->port);
    peers.tinyproxy_login =
        std::string(kTinyproxyLogin) + ":" + std::to_string(tinyproxy_login->port);
    mkdir(peers.log_dir.c_str(), 0700);
  }
  // First scenario: two links, each a random pick among the three proxies (a
  // new pick every 10 s when the cached chain expires). Second: a pick among
  // the five real proxies, then the fixed last hop.
  const bool prepared = program.prepare(kProgram, [&] {
    // The fastest proxy (what "pick:fastest" takes) is the one that dies.
    chain_db_add_proxy(kMicrosocks, microsocks->port, PT_SOCKS5 | PT_ANONYMOUS,
                       second_scenario ? 5 : 10);
    chain_db_add_proxy(kDanted, danted->port, PT_SOCKS4 | PT_SOCKS5 | PT_ANONYMOUS, 10);
    chain_db_add_proxy(kTinyproxy, tinyproxy->port, PT_HTTPS | PT_ANONYMOUS, 10);
    chain_db_add_link(1, 1, any);
    if (second_scenario)
      chain_db_add_link(2, 5, PT_SOCKS5, ip_number(kHopSocks5), last_hop.port);
    else
      chain_db_add_link(2, 1, any);
  });
  const std::vector<std::string> wrapper =
      second_scenario ? preload_wrapper(resolver_log) : std::vector<std::string>{};
  if (!prepared || !program.start(wrapper)) {
    fprintf(stderr, "the program did not start (see %s)\n", program.log_path.c_str());
    return 1;
  }
  if (second_scenario) {
    // The two proxies with a sign-in come in as list lines, as a user adds
    // them. An import leaves them unchecked, and no checker service answers
    // here, so they are given the type a check would find while the program
    // is stopped (the database is its own while it runs).
    int status = -1;
    const std::string list = std::string("socks5://") + kLoginUser + ":" + kLoginPassword + "@" +
                             kMicrosocksLogin + ":" + std::to_string(microsocks_login->port) +
                             "\nhttp://" + kLoginUser + ":" + kLoginPassword + "@" +
                             kTinyproxyLogin + ":" + std::to_string(tinyproxy_login->port) + "\n";
    const std::string imported = program_ctl(program, "import -", list, &status);
    printf("import: %s", imported.c_str());
    if (status != 0 || imported.find(kLoginPassword) != std::string::npos) {
      fprintf(stderr, "the import failed or showed the password: %s\n", imported.c_str());
      return 1;
    }
    program.stop();
    int with_login = 0;
    const bool changed = program.change([&] {
      db_exec("UPDATE proxy SET type=%u, timeout=10 WHERE ip=%u AND port=%u",
              static_cast<unsigned>(PT_SOCKS5 | PT_ANONYMOUS), ip_number(kMicrosocksLogin),
              static_cast<unsigned>(microsocks_login->port));
      db_exec("UPDATE proxy SET type=%u, timeout=10 WHERE ip=%u AND port=%u",
              static_cast<unsigned>(PT_HTTPS | PT_ANONYMOUS), ip_number(kTinyproxyLogin),
              static_cast<unsigned>(tinyproxy_login->port));
      char* n =
          db_query_text("", "", "SELECT count(*) FROM proxy WHERE auth_user=%Q AND auth_pass=%Q",
                        kLoginUser, kLoginPassword);
      with_login = n != nullptr ? atoi(n) : 0;
      free(n);
    });
    if (!changed || with_login != 2 || !program.start(wrapper)) {
      fprintf(stderr, "the program did not start again with both sign-ins (%d stored; see %s)\n",
              with_login, program.log_path.c_str());
      return 1;
    }
    // The traffic file is open from here on (one warm-up exchange), so that
    // the start figures count its descriptor.
    if (!ctl("set chain_retries=2 remote_dns=1 log_level=1 log_dir=" + peers.log_dir +
             " url_checker=" + kQuietChecker) ||
        !ctl(chain_command(peers, true)) || !fault_download(program, origin, 4096)) {
      fprintf(stderr, "the settings were not taken or the warm-up failed (see %s)\n",
              program.log_path.c_str());
      return 1;
    }
    peers.microsocks = std::move(microsocks);
  }
  printf("soak: %d clients for %d s, bodies up to %llu KiB, program pid %d, peers in %s\n", clients,
         seconds, static_cast<unsigned long long>(max_size >> 10), static_cast<int>(program.pid),
         scratch_dir().c_str());
  if (second_scenario)
    printf(
        "second scenario: %.0f s cycles (microsocks down from %.0f s to %.0f s of each, last hop "
        "SOCKS5 then CONNECT), phases in turn: %s / %s / %s (%d clients asking for names "
        "looked up here)\n",
        cycle, cycle / 3, 2 * cycle / 3, kPhaseNames[0], kPhaseNames[1], kPhaseNames[2],
        local_clients);
  const auto t0 = steady::now();
  run_start = t0;
  auto elapsed = [&] { return std::chrono::duration<double>(steady::now() - t0).count(); };
  const sample before = take_sample();
  const retry_figures metrics_before = second_scenario ? retry_counters() : retry_figures{};
  print_sample("start", 0, before);
  if (second_scenario) printf("\n");

  const auto until = t0 + std::chrono::seconds(seconds);
  logging_everything.store(second_scenario);
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(clients + local_clients + 1));
  for (int i = 0; i < clients; ++i)
    threads.emplace_back(client_loop, 0x50a4ull * 7919 + static_cast<uint64_t>(i), until, max_size);
  if (second_scenario) {
    for (int i = 0; i < local_clients; ++i)
      threads.emplace_back(local_name_loop, 0x10ca1ull + static_cast<uint64_t>(i), until);
  }
  std::thread control;
  if (second_scenario) control = std::thread(control_loop, std::ref(peers), t0, until, cycle);
  long peak_rss = before.rss;
  int peak_fds = before.fds, peak_slots = before.slots;
  while (steady::now() < until) {
    for (int k = 0; k < 100 && steady::now() < until; ++k) usleep(100000);
    const sample s = take_sample();
    if (s.rss > peak_rss) peak_rss = s.rss;
    if (s.fds > peak_fds) peak_fds = s.fds;
    if (s.slots > peak_slots) peak_slots = s.slots;
    print_sample("load", elapsed(), s);
    if (second_scenario) {
      std::vector<float> window;
      {
        std::lock_guard<std::mutex> hold(latency.lock);
        window.swap(latency.window);
      }
      uint64_t failed = 0;
      for (const auto& e : stats.errors) failed += e.load();
      const retry_figures m = retry_counters();
      printf(" | %s%s failed=%llu retries=%lld head(address) n=%zu p50=%.0f p99=%.0f ms\n",
             kPhaseNames[current_phase.load()], outage.load() ? ", microsocks down" : "",
             static_cast<unsigned long long>(failed), m.retries - metrics_before.retries,
             window.size(), percentile(window, 0.5), percentile(window, 0.99));
      fflush(stdout);
    }
    if (s.rss < 0) break;  // the program is gone
  }
  for (std::thread& t : threads) t.join();
  const double load_seconds = elapsed();
  const sample at_end = take_sample();
  print_sample("end", load_seconds, at_end);
  if (second_scenario) printf("\n");
  // Let closing pairs finish (2 s of quiet) and housekeeping run: quiet
  // slots give their blocks back after a 10 s tick, the heap is trimmed
  // every 30 s. Up to 60 s for slots, descriptors and memory to come back.
  sample settled = at_end;
  for (int k = 0; k < 30; ++k) {
    usleep(2000000);
    settled = take_sample();
    if (settled.slots >= 0 && settled.slots <= before.slots && settled.fds <= before.fds &&
        settled.rss <= before.rss + 2048)
      break;
  }
  print_sample("after", elapsed(), settled);
  if (second_scenario) printf("\n");
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
  for (int c = 0; c < E_COUNT; ++c)
    printf(" %s=%llu;", kCauseNames[c], static_cast<unsigned long long>(stats.errors[c].load()));
  printf("\n");
  printf(
      "resident memory          start %ld KiB, peak %ld KiB, end of load %ld KiB, after %ld KiB\n",
      before.rss, peak_rss, at_end.rss, settled.rss);
  printf("descriptors              start %d, peak %d, after %d\n", before.fds, peak_fds,
         settled.fds);
  printf("slots (status page)      start %d, peak %d, after %d\n", before.slots, peak_slots,
         settled.slots);
  if (!second_scenario) {
    int by_last_hop[3] = {0, 0, 0};
    for (const std::string& peer : origin.peers()) {
      if (peer == kMicrosocks) ++by_last_hop[0];
      if (peer == kDanted) ++by_last_hop[1];
      if (peer == kTinyproxy) ++by_last_hop[2];
    }
    printf("last hop seen by origin  microsocks %d, danted %d, tinyproxy %d\n", by_last_hop[0],
           by_last_hop[1], by_last_hop[2]);
  }
  bool names_travelled = true, password_seen = false;
  if (second_scenario) {
    printf("\n== second scenario ==\n");
    for (int sc = 0; sc < SC_COUNT; ++sc) {
      uint64_t n = 0;
      for (int p = 0; p < 4; ++p) n += stats.by_scenario[sc][p].load();
      printf("%-24s %llu started (", kScenarioNames[sc], static_cast<unsigned long long>(n));
      for (int p = 0; p < 4; ++p)
        printf("%s%s %llu", p ? ", " : "", kProtoNames[p],
               static_cast<unsigned long long>(stats.by_scenario[sc][p].load()));
      printf("), %llu completed; failures:",
             static_cast<unsigned long long>(stats.completed_by_scenario[sc].load()));
      bool any_failure = false;
      for (int c = 0; c < E_COUNT; ++c) {
        const uint64_t e = stats.errors_by_scenario[sc][c].load();
        if (e == 0) continue;
        printf(" %s=%llu;", kCauseNames[c], static_cast<unsigned long long>(e));
        any_failure = true;
      }
      printf("%s\n", any_failure ? "" : " none");
    }
    for (int during = 1; during >= 0; --during) {
      const auto& errors = during ? stats.errors_in_outage : stats.errors_outside;
      uint64_t failed = 0;
      for (const auto& e : errors) failed += e.load();
      printf(
          "%-24s %llu exchanges, %llu failed:", during ? "meeting an outage" : "outside outages",
          static_cast<unsigned long long>((during ? stats.in_outage : stats.outside_outage).load()),
          static_cast<unsigned long long>(failed));
      for (int c = 0; c < E_COUNT; ++c)
        if (errors[c].load() > 0)
          printf(" %s=%llu;", kCauseNames[c], static_cast<unsigned long long>(errors[c].load()));
      printf("\n");
    }
    printf("failures by second      ");
    int shown = 0;
    for (int k = 0; k < kTimelineSeconds; ++k) {
      const uint32_t n = failures_at[k].load();
      if (n == 0) continue;
      if (shown++ < 60) printf(" %ds:%u", k, n);
    }
    printf("%s\n", shown == 0 ? " none" : shown > 60 ? " ..." : "");
    printf(
        "outages                  %d (microsocks killed and started again; %d restarts failed)\n",
        outages_done.load(), restarts_failed.load());
    const retry_figures m = retry_counters();
    printf(
        "program metrics          merovane_chain_retries_total %lld, chains ok %lld, failed %lld "
        "(during the load: +%lld, +%lld, +%lld)\n",
        m.retries, m.ok, m.failed, m.retries - metrics_before.retries, m.ok - metrics_before.ok,
        m.failed - metrics_before.failed);
    uint64_t forms[FORM_COUNT];
    printf("last hop was asked for  ");
    for (int f = 0; f < FORM_COUNT; ++f) {
      forms[f] = last_hop.count(static_cast<hop_form>(f)) +
                 last_hop_connect.count(static_cast<hop_form>(f));
      printf(" %s %llu;", kHopFormNames[f], static_cast<unsigned long long>(forms[f]));
    }
    printf(
        " refused %llu, not understood %llu, closed before a request %llu\n",
        static_cast<unsigned long long>(last_hop.refused() + last_hop_connect.refused()),
        static_cast<unsigned long long>(last_hop.bad_requests() + last_hop_connect.bad_requests()),
        static_cast<unsigned long long>(last_hop.ended_early() + last_hop_connect.ended_early()));
    names_travelled = forms[FORM_SOCKS5_NAME] > 0 && forms[FORM_CONNECT_NAME] > 0 &&
                      forms[FORM_SOCKS5_V6] > 0 && forms[FORM_CONNECT_V6] > 0;
    std::map<std::string, uint64_t> from = last_hop.sources();
    for (const auto& [ip, n] : last_hop_connect.sources()) from[ip] += n;
    const std::pair<const char*, const char*> first_hops[] = {
        {kMicrosocks, "microsocks"},
        {kDanted, "danted"},
        {kTinyproxy, "tinyproxy"},
        {kMicrosocksLogin, "microsocks with sign-in"},
        {kTinyproxyLogin, "tinyproxy with sign-in"}};
    printf("first hop seen by last   ");
    for (const auto& [ip, name] : first_hops)
      printf("%s %llu; ", name, static_cast<unsigned long long>(from[ip]));
    printf("\n");
    {
      std::lock_guard<std::mutex> hold(latency.lock);
      for (int ph = 0; ph < PH_COUNT; ++ph)
        printf("reply head, address      %-28s n=%6zu p50=%6.0f p90=%6.0f p99=%6.0f max=%6.0f ms\n",
               kPhaseNames[ph], latency.address[ph].size(), percentile(latency.address[ph], 0.5),
               percentile(latency.address[ph], 0.9), percentile(latency.address[ph], 0.99),
               percentile(latency.address[ph], 1.0));
      printf("reply head, name here    %-28s n=%6zu p50=%6.0f p90=%6.0f p99=%6.0f max=%6.0f ms\n",
             kPhaseNames[PH_LOCAL_NAMES], latency.local.size(), percentile(latency.local, 0.5),
             percentile(latency.local, 0.9), percentile(latency.local, 0.99),
             percentile(latency.local, 1.0));
    }
    // What the resolver stand-in was asked.
    {
      std::map<std::string, std::pair<int, long>> asked;  // "what name" -> count, total ms
      const std::string text = read_file(resolver_log);
      for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end == std::string::npos ? end : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        const size_t last = line.rfind(' ');
        if (last == std::string::npos) continue;
        auto& entry = asked[line.substr(0, last)];
        entry.first += 1;
        entry.second += atol(line.c_str() + last + 1);
      }
      printf("lookups in the program  ");
      if (asked.empty()) printf(" none");
      for (const auto& [what, figures] : asked)
        printf(" %s: %d (%.0f ms each);", what.c_str(), figures.first,
               figures.first ? static_cast<double>(figures.second) / figures.first : 0.0);
      printf("\n");
    }
    // The password must show nowhere: standard error, the log folder, the
    // status page, the panel's proxy list, ctl output, the metrics.
    {
      const std::string encoded = base64(std::string(kLoginUser) + ":" + kLoginPassword);
      std::vector<std::pair<std::string, std::string>> places;
      places.emplace_back("standard error", program.log());
      // The log folder file by file: diagnostic files (while level 2 was
      // on) and the traffic file.
      int files = 0, naming_sign_in = 0, showing = 0;
      size_t log_bytes = 0;
      each_file(peers.log_dir, [&](const std::string&, const std::string& text) {
        ++files;
        log_bytes += text.size();
        if (text.find(kMicrosocksLogin) != std::string::npos ||
            text.find(kTinyproxyLogin) != std::string::npos)
          ++naming_sign_in;
        if (text.find(kLoginPassword) != std::string::npos ||
            text.find(encoded) != std::string::npos)
          ++showing;
      });
      password_seen = showing > 0;
      printf(
          "log folder               %d files, %zu bytes, %d naming a proxy with sign-in, %d "
          "showing the password\n",
          files, log_bytes, naming_sign_in, showing);
      places.emplace_back("status page", fault_panel_get(program, "netstatus.html"));
      places.emplace_back("panel proxy list", fault_panel_ajax(program, "type=load_proxy"));
      places.emplace_back("metrics", metrics_text());
      int status = -1;
      places.emplace_back("ctl proxies --json",
                          program_ctl(program, "proxies --json", "", &status));
      places.emplace_back("ctl status", program_ctl(program, "status", "", &status));
      printf("password looked for in  ");
      for (const auto& [where, text] : places) {
        const bool plain = text.find(kLoginPassword) != std::string::npos;
        const bool basic = text.find(encoded) != std::string::npos;
        password_seen = password_seen || plain || basic;
        printf(" %s (%zu bytes)%s;", where.c_str(), text.size(),
               plain   ? " PASSWORD FOUND"
               : basic ? " PASSWORD FOUND (Basic)"
                       : "");
      }
      printf("\n");
    }
    printf("settings commands failed %d\n", ctl_failures.load());
  }
  const bool lost = stats.errors[E_CORRUPT].load() + stats.errors[E_UPLOAD].load() > 0;
  printf("verdict                  %s; %s; %s; program %s",
         lost ? "BYTES LOST OR CHANGED" : "no byte lost or changed on a completed transfer",
         settled.fds <= before.fds ? "no descriptor left" : "DESCRIPTORS LEFT BEHIND",
         settled.slots <= before.slots ? "no slot left" : "SLOTS LEFT BEHIND",
         alive ? "alive" : "GONE");
  if (second_scenario)
    printf("; %s; %s", names_travelled ? "names and IPv6 reached the last hop" : "NAMES MISSING",
           password_seen ? "PASSWORD SHOWN" : "password shown nowhere");
  printf("\n");
  program.stop();
  control_done.store(true);
  if (control.joinable()) control.join();
  peers.microsocks.reset();
  microsocks.reset();
  danted.reset();
  tinyproxy.reset();
  microsocks_login.reset();
  tinyproxy_login.reset();
  last_hop.stop();
  last_hop_connect.stop();
  origin.stop();
  return lost || !alive || (second_scenario && (!names_travelled || password_seen)) ? 1 : 0;
}
