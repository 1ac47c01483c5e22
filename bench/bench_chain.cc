// Chain figures against real peers on loopback, all with the same upstream
// microsocks in front of a local origin server: the program (one-proxy
// chain, plain HTTP proxy requests), tinyproxy with "Upstream socks5",
// privoxy with "forward-socks5", and a client talking SOCKS5 to microsocks
// directly; and the program with a random link over two proxies of which
// one is dead. Prints MB/s per direction (1 and 4 streams), connections per
// second with p50/p99 latency at concurrency 1 and 32, and the program's
// resident memory with 1,000 open chains. With $MEROVANE_BIN_BEFORE set to
// an earlier build, its two program paths run in the same table
// ("before", "before-dead"), and the program whose clients sign in
// ("mv-signin", with the cost of an account's first sign-in). Asserts
// nothing. With --failover: random links over proxies of which one is
// silent and one drops SYNs, the time from each of 200 clients' requests to
// the first byte of its answer (p50/p99/max), for the build in
// $MEROVANE_BIN_BEFORE and this one, with racing attempts off ("norace")
// and on. With --rules: connections per second at concurrency 32 with 200
// destination rules against none, in the same run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db/accounts.h"
#include "db/db.h"
#include "tests/support/chain_db.h"
#include "tests/support/net.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"
#include "util/passhash.h"
#include "util/rules.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr const char* kOrigin = "127.0.0.9";
constexpr const char* kSocks = "127.0.0.5";

struct path {
  const char* name;
  std::string ip;
  uint16_t port;
  bool socks;                  // SOCKS5 client (direct to microsocks), else HTTP proxy requests
  const char* auth = nullptr;  // base64 "user:pass" sent with each HTTP request
};

origin_server origin;

// Opens a connection through the path to the origin; -1 on failure.
int open_through(const path& p) {
  const int fd = connect_to(p.ip, p.port, 20000);
  if (fd < 0 || !p.socks) return fd;
  uint8_t req[3 + 10] = {5, 1, 0, 5, 1, 0, 1, 127, 0, 0, 9, 0, 0};
  req[11] = static_cast<uint8_t>(origin.port >> 8);
  req[12] = static_cast<uint8_t>(origin.port & 0xFF);
  uint8_t reply[12];
  if (!send_all(fd, req, 3) || !read_exact(fd, reply, 2, 20000) || !send_all(fd, req + 3, 10) ||
      !read_exact(fd, reply + 2, 10, 20000) || reply[3] != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string request_head(const path& p, const char* method, const std::string& target,
                         uint64_t body) {
  const std::string host = std::string(kOrigin) + ":" + std::to_string(origin.port);
  std::string h = std::string(method) + " " + (p.socks ? target : "http://" + host + target) +
                  " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n";
  if (body) h += "Content-Length: " + std::to_string(body) + "\r\n";
  if (p.auth != nullptr) h += "Proxy-Authorization: Basic " + std::string(p.auth) + "\r\n";
  return h + "\r\n";
}

// Reads the whole answer; bytes of it, or -1.
int64_t drain(int fd) {
  static thread_local char buf[1 << 17];
  int64_t total = 0;
  for (;;) {
    const ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r < 0) return -1;
    if (r == 0) return total;
    total += r;
  }
}

// One transfer: download (GET /fast/N) or upload (POST /sink); true when complete.
bool transfer(const path& p, uint64_t bytes, bool upload) {
  const int fd = open_through(p);
  if (fd < 0) return false;
  bool ok;
  if (!upload) {
    const std::string h = request_head(p, "GET", "/fast/" + std::to_string(bytes), 0);
    ok = send_all(fd, h.data(), h.size()) && drain(fd) >= static_cast<int64_t>(bytes);
  } else {
    const std::string h = request_head(p, "POST", "/sink", bytes);
    ok = send_all(fd, h.data(), h.size());
    static const std::vector<char> block(1 << 17, 'u');
    for (uint64_t sent = 0; ok && sent < bytes;) {
      const size_t k = std::min<uint64_t>(block.size(), bytes - sent);
      ok = send_all(fd, block.data(), k);
      sent += k;
    }
    ok = ok && drain(fd) > 0;
  }
  close(fd);
  return ok;
}

double throughput(const path& p, int streams, uint64_t bytes_each, bool upload) {
  std::atomic<int> failures{0};
  const auto start = steady::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < streams; ++i)
    threads.emplace_back([&] {
      if (!transfer(p, bytes_each, upload)) failures.fetch_add(1);
    });
  for (auto& t : threads) t.join();
  const double s = std::chrono::duration<double>(steady::now() - start).count();
  if (failures.load() > 0) return -1;
  return static_cast<double>(bytes_each) * streams / (1024.0 * 1024.0) / s;
}

struct rate {
  double per_second, p50_ms, p99_ms;
  int failures;
};

// Small requests on fresh connections for `seconds`, `concurrency` at a time.
rate connections(const path& p, int concurrency, double seconds, int max_each) {
  std::vector<std::vector<double>> lat(static_cast<size_t>(concurrency));
  std::atomic<int> failures{0};
  const auto start = steady::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  std::vector<std::thread> threads;
  for (int i = 0; i < concurrency; ++i)
    threads.emplace_back([&, i] {
      for (int n = 0; n < max_each && steady::now() < end; ++n) {
        const auto t0 = steady::now();
        if (!transfer(p, 100, false)) {
          failures.fetch_add(1);
          continue;
        }
        lat[static_cast<size_t>(i)].push_back(
            std::chrono::duration<double, std::milli>(steady::now() - t0).count());
      }
    });
  for (auto& t : threads) t.join();
  const double s = std::chrono::duration<double>(steady::now() - start).count();
  std::vector<double> all;
  for (auto& v : lat) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  rate r{0, 0, 0, failures.load()};
  if (all.empty()) return r;
  r.per_second = static_cast<double>(all.size()) / s;
  r.p50_ms = all[all.size() / 2];
  r.p99_ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  return r;
}

uint32_t ip_of(const char* dotted) {
  in_addr a{};
  inet_aton(dotted, &a);
  return a.s_addr;
}

// A proxy that takes every connection and never says a word.
struct silent_proxy {
  std::string ip;
  uint16_t port = 0;
  int listen_fd = -1;
  std::atomic<bool> stopping{false};
  std::atomic<int> active{0};
  std::thread acceptor;
  std::mutex lock;
  std::vector<int> held;
  bool start(const char* listen_ip) {
    ip = listen_ip;
    listen_fd = listen_on(listen_ip, 0, &port, 1024);
    if (listen_fd < 0) return false;
    acceptor = accept_loop(listen_fd, stopping, [this](int fd, const char*) {
      std::lock_guard<std::mutex> g(lock);
      held.push_back(fd);
    });
    return true;
  }
  ~silent_proxy() {
    if (listen_fd >= 0) accept_loop_stop(acceptor, listen_fd, stopping, active);
    for (int fd : held) close(fd);
  }
};

struct wait_figures {
  double p50_s, p99_s, max_s;
  int answered;  // clients that got the origin's answer (others: an error or nothing)
};

// `clients` requests through ip:port, one every `spacing_ms` (each on its
// own thread): seconds from the request to the first byte of the answer,
// each client giving up after limit_s.
wait_figures first_byte_waits(const std::string& ip, uint16_t port, int clients, int spacing_ms,
                              int limit_s) {
  std::vector<double> waits(static_cast<size_t>(clients), limit_s);
  std::vector<int> ok(static_cast<size_t>(clients), 0);
  std::vector<std::thread> threads;
  const path p{"", ip, port, false};
  const std::string head = request_head(p, "GET", "/bytes/100", 0);
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      const auto t0 = steady::now();
      const int fd = connect_to(ip, port, limit_s * 1000);
      if (fd < 0) return;
      char first[16] = {};
      if (send_all(fd, head.data(), head.size()) && recv(fd, first, sizeof first - 1, 0) > 0) {
        waits[static_cast<size_t>(i)] = std::chrono::duration<double>(steady::now() - t0).count();
        ok[static_cast<size_t>(i)] = strncmp(first + 8, " 200", 4) == 0 ? 1 : 0;
      }
      close(fd);
    });
    usleep(static_cast<useconds_t>(spacing_ms) * 1000);
  }
  for (auto& t : threads) t.join();
  std::sort(waits.begin(), waits.end());
  wait_figures f{};
  f.p50_s = waits[waits.size() / 2];
  f.p99_s = waits[std::min(waits.size() - 1, waits.size() * 99 / 100)];
  f.max_s = waits.back();
  for (int v : ok) f.answered += v;
  return f;
}

// Random links over proxies of which some are bad: a silent one and one
// whose SYNs are dropped (a full accept queue on loopback). Time from each
// client's request to the first byte of its answer, before and after.
int failover_figures(bool quick) {
  const int clients = quick ? 40 : 200;
  const int limit_s = 200;
  // Spread over several lives of the 10 s chain cache, so that more than
  // one pick is measured.
  const int spacing_ms = 250;
  std::unique_ptr<peer_process> live1(start_microsocks("127.0.0.5", free_port("127.0.0.5")));
  std::unique_ptr<peer_process> live2(start_microsocks("127.0.0.6", free_port("127.0.0.6")));
  std::unique_ptr<peer_process> live3(start_microsocks("127.0.0.7", free_port("127.0.0.7")));
  silent_proxy silent;
  syn_dropper dropper;
  if (!origin.start(kOrigin) || !live1 || !live2 || !live3 || !silent.start("127.0.0.16") ||
      !dropper.start("127.0.0.17")) {
    fprintf(stderr, "the proxies did not start\n");
    return 1;
  }
  struct proxy_row {
    const char* ip;
    uint16_t port;
  };
  const proxy_row live_a{"127.0.0.5", live1->port}, live_b{"127.0.0.6", live2->port};
  const proxy_row live_c{"127.0.0.7", live3->port};
  const proxy_row quiet{"127.0.0.16", silent.port}, dropping{"127.0.0.17", dropper.port};
  struct setup {
    const char* name;
    std::vector<proxy_row> proxies;
  };
  const setup setups[] = {{"4: silent, 3 live", {quiet, live_a, live_b, live_c}},
                          {"4: drops SYN, 3 live", {dropping, live_a, live_b, live_c}},
                          {"4: silent, drops SYN, 2 live", {quiet, dropping, live_a, live_b}},
                          {"2: silent, live", {quiet, live_a}},
                          {"2: drops SYN, live", {dropping, live_a}}};
  struct build {
    const char* name;
    const char* bin;
    int race_after;  // -1: the build's default
  };
  const char* earlier = getenv("MEROVANE_BIN_BEFORE");
  const char* now_bin = getenv("MEROVANE_BIN");
  const std::string current = now_bin != nullptr ? now_bin : program_bin();
  std::vector<build> builds;
  if (earlier != nullptr && earlier[0] != 0) builds.push_back({"before", earlier, -1});
  builds.push_back({"norace", current.c_str(), 0});
  builds.push_back({"after", current.c_str(), -1});
  printf("first byte of the answer, %d clients one every %d ms, pick:random link; seconds\n",
         clients, spacing_ms);
  printf("%-7s %-30s %8s %8s %8s %9s\n", "build", "proxies", "p50", "p99", "max", "answered");
  int address = 20;
  for (const build& b : builds) {
    setenv("MEROVANE_BIN", b.bin, 1);
    for (const setup& s : setups) {
      program_instance program;
      const std::string ip = "127.0.0." + std::to_string(address++);
      const bool ok = program.prepare(ip.c_str(), [&] {
        for (const proxy_row& r : s.proxies)
          db_exec("INSERT INTO proxy(ip,port,type,timeout,rank,t_ok) VALUES(%u,%u,%d,100,50,1)",
                  ip_of(r.ip), static_cast<unsigned>(r.port), PT_SOCKS5);
        db_exec(sql_link_insert(), 1, 1, PT_SOCKS5, 0u, 0u);
        if (b.race_after >= 0) setting_int("race_after", b.race_after, 1);
      }) && program.start();
      if (!ok) {
        printf("%-7s %-30s the program did not start\n", b.name, s.name);
        continue;
      }
      const wait_figures f =
          first_byte_waits(program.ip, program.port, clients, spacing_ms, limit_s);
      printf("%-7s %-30s %8.2f %8.2f %8.2f %5d/%d\n", b.name, s.name, f.p50_s, f.p99_s, f.max_s,
             f.answered, clients);
      fflush(stdout);
      program.stop();
    }
  }
  if (now_bin != nullptr)
    setenv("MEROVANE_BIN", now_bin, 1);
  else
    unsetenv("MEROVANE_BIN");
  origin.stop();
  return 0;
}

}  // namespace

// 200 destination rules, none of which matches the origin: every client
// is matched against all of them before its chain starts.
std::string two_hundred_rules() {
  std::string text;
  for (int i = 0; i < 50; ++i) {
    text += "h" + std::to_string(i) + ".example direct\n";
    text += ".d" + std::to_string(i) + ".example block\n";
    text += "10." + std::to_string(i) + ".0.0/16:1-1024 direct\n";
    text += "[fd00:" + std::to_string(i) + "::/32]:443 direct\n";
  }
  return text;
}

// --rules: connections per second at concurrency 32 through the same chain
// with no rules and with 200, in alternating rounds so that both meet the
// same load of the machine.
int rules_figures(bool quick) {
  if (!origin.start(kOrigin)) return 1;
  std::unique_ptr<peer_process> socks(start_microsocks(kSocks, free_port(kSocks)));
  if (!socks) return 1;
  const std::string rules = two_hundred_rules();
  program_instance plain, ruled;
  auto link = [&] {
    db_exec(sql_link_insert(), 1, 5, PT_SOCKS5, ip_of(kSocks), static_cast<unsigned>(socks->port));
  };
  if (!plain.prepare("127.0.0.10", link) || !plain.start() ||
      !ruled.prepare("127.0.0.11",
                     [&] {
                       link();
                       setting_str("rules", const_cast<char*>(rules.c_str()), rules.size() + 1, 1);
                     }) ||
      !ruled.start()) {
    fprintf(stderr, "the program did not start\n");
    return 1;
  }
  const path paths[] = {{"no rules", plain.ip, plain.port, false},
                        {"200 rules", ruled.ip, ruled.port, false}};
  double sum[2] = {0, 0};
  int failures = 0;
  const int rounds = quick ? 2 : 5;
  printf("rules benchmark: conn/s at concurrency 32, plain HTTP clients, one-proxy chain\n");
  for (int round = 0; round < rounds; ++round)
    for (int i = 0; i < 2; ++i) {
      if (round == 0) transfer(paths[i], 1 << 16, false);  // warm-up
      const rate r = connections(paths[i], 32, quick ? 1.0 : 3.0, 20000);
      printf("  round %d %-9s %9.0f conn/s  p50 %.2f ms  p99 %.2f ms\n", round + 1, paths[i].name,
             r.per_second, r.p50_ms, r.p99_ms);
      sum[i] += r.per_second;
      failures += r.failures;
    }
  printf("mean: no rules %.0f conn/s, 200 rules %.0f conn/s (%+.1f %%)%s\n", sum[0] / rounds,
         sum[1] / rounds, sum[0] > 0 ? (sum[1] - sum[0]) * 100.0 / sum[0] : 0.0,
         failures > 0 ? " (some failed)" : "");
  // The matcher alone, in this process: what each client pays for the 200.
  static rule_set set;
  rule_error error;
  if (!rules_parse(rules, set, error)) return 1;
  const std::string dest = kOrigin;
  constexpr int calls = 1000000;
  int hits = 0;
  const auto t0 = steady::now();
  for (int i = 0; i < calls; ++i)
    hits += rules_match(set, rule_destination{dest, static_cast<uint16_t>(80 + (i & 1)), {}}) >= 0;
  const double ns = std::chrono::duration<double, std::nano>(steady::now() - t0).count() / calls;
  printf("matching one destination against the 200 rules: %.0f ns (%d matched)\n", ns, hits);
  return 0;
}

int main(int argc, char** argv) {
  const bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
  if (argc > 1 && strncmp(argv[1], "--failover", 10) == 0)
    return failover_figures(strcmp(argv[1], "--failover-quick") == 0);
  if (argc > 1 && strncmp(argv[1], "--rules", 7) == 0)
    return rules_figures(strcmp(argv[1], "--rules-quick") == 0);
  const bool conn_only = argc > 1 && strcmp(argv[1], "--connections") == 0;
  if (!origin.start(kOrigin)) {
    fprintf(stderr, "origin server did not start\n");
    return 1;
  }
  std::unique_ptr<peer_process> socks(start_microsocks(kSocks, free_port(kSocks)));
  if (!socks) {
    fprintf(stderr, "microsocks did not start\n");
    return 1;
  }
  const std::string upstream = std::string(kSocks) + ":" + std::to_string(socks->port);
  std::unique_ptr<peer_process> tiny(
      start_tinyproxy("127.0.0.7", free_port("127.0.0.7"), upstream));
  std::unique_ptr<peer_process> privoxy(
      start_privoxy("127.0.0.8", free_port("127.0.0.8"), upstream));
  program_instance program;
  const bool program_ok = program.prepare("127.0.0.10", [&] {
    db_exec(sql_link_insert(), 1, 5, PT_SOCKS5, ip_of(kSocks), static_cast<unsigned>(socks->port));
  }) && program.start();
  if (!program_ok) fprintf(stderr, "the program did not start\n");
  // The same program with "log_level" 1: the traffic file is written for
  // every chain, the per-connection log is not.
  program_instance logged;
  const std::string traffic_dir = "/tmp/merovane-bench-traffic";
  mkdir(traffic_dir.c_str(), 0700);
  const bool logged_ok = program_ok && logged.prepare("127.0.0.11", [&] {
    db_exec(sql_link_insert(), 1, 5, PT_SOCKS5, ip_of(kSocks), static_cast<unsigned>(socks->port));
    setting_int("log_level", 1, 1);
    char dir[260];
    snprintf(dir, sizeof dir, "%s", traffic_dir.c_str());
    setting_str("log_dir", dir, sizeof dir, 1);
  }) && logged.start();

  // A random link over the live proxy and a dead one (a port where nothing
  // listens), checked as working: about every second chain meets the dead one.
  const uint16_t dead_port = free_port("127.0.0.12");
  auto one_dead = [&] {
    db_exec("INSERT INTO proxy(ip,port,type,timeout,rank,t_ok) VALUES(%u,%u,%d,100,50,1)",
            ip_of("127.0.0.12"), static_cast<unsigned>(dead_port), PT_SOCKS5);
    db_exec("INSERT INTO proxy(ip,port,type,timeout,rank,t_ok) VALUES(%u,%u,%d,100,50,1)",
            ip_of(kSocks), static_cast<unsigned>(socks->port), PT_SOCKS5);
    db_exec(sql_link_insert(), 1, 1, PT_SOCKS5, 0u, 0u);
  };
  // The same program with a client account: every client signs in.
  program_instance signin;
  const bool signin_ok = program_ok && signin.prepare("127.0.0.16", [&] {
    db_exec(sql_link_insert(), 1, 5, PT_SOCKS5, ip_of(kSocks), static_cast<unsigned>(socks->port));
    char hash[PASS_HASH_SIZE];
    if (pass_hash("bench-pass", hash, sizeof hash)) account_store("bench", hash);
  }) && signin.start();
  constexpr const char* kBenchPair = "YmVuY2g6YmVuY2gtcGFzcw==";  // bench:bench-pass
  program_instance dead;
  const bool dead_ok = dead.prepare("127.0.0.13", one_dead) && dead.start();
  // The same two programs from an earlier build, when one is named.
  program_instance before, before_dead;
  bool before_ok = false, before_dead_ok = false;
  const char* earlier = getenv("MEROVANE_BIN_BEFORE");
  if (earlier != nullptr && earlier[0] != 0) {
    const char* now_bin = getenv("MEROVANE_BIN");
    const std::string saved = now_bin != nullptr ? now_bin : "";
    setenv("MEROVANE_BIN", earlier, 1);
    before_ok = before.prepare("127.0.0.14", [&] {
      db_exec(sql_link_insert(), 1, 5, PT_SOCKS5, ip_of(kSocks),
              static_cast<unsigned>(socks->port));
    }) && before.start();
    before_dead_ok = before_dead.prepare("127.0.0.15", one_dead) && before_dead.start();
    if (saved.empty())
      unsetenv("MEROVANE_BIN");
    else
      setenv("MEROVANE_BIN", saved.c_str(), 1);
  }

  std::vector<path> paths;
  if (before_ok) paths.push_back({"before", before.ip, before.port, false});
  if (program_ok) paths.push_back({"merovane", program.ip, program.port, false});
  if (signin_ok) paths.push_back({"mv-signin", signin.ip, signin.port, false, kBenchPair});
  if (before_dead_ok) paths.push_back({"before-dead", before_dead.ip, before_dead.port, false});
  if (dead_ok) paths.push_back({"mv-1dead", dead.ip, dead.port, false});
  if (logged_ok) paths.push_back({"mv-level1", logged.ip, logged.port, false});
  if (tiny) paths.push_back({"tinyproxy", tiny->ip, tiny->port, false});
  if (privoxy) paths.push_back({"privoxy", privoxy->ip, privoxy->port, false});
  paths.push_back({"direct", kSocks, socks->port, true});

  const uint64_t big = quick ? (64ull << 20) : (512ull << 20);
  printf("chain benchmark: origin %s, upstream microsocks %s (%s)\n", kOrigin, upstream.c_str(),
         quick ? "quick" : "full");
  printf("%-11s %9s %9s %9s %9s | %9s %7s %7s | %9s %7s %7s\n", "path", "down1", "down4", "up1",
         "up4", "conn/s@1", "p50ms", "p99ms", "conn/s@32", "p50ms", "p99ms");
  if (signin_ok) {
    // The first request of an account pays the hash; the next ones are
    // remembered (10 min).
    const path p{"mv-signin", signin.ip, signin.port, false, kBenchPair};
    const path plain{"merovane", program.ip, program.port, false};
    const auto t0 = steady::now();
    transfer(p, 1024, false);
    const auto t1 = steady::now();
    transfer(p, 1024, false);
    const auto t2 = steady::now();
    transfer(plain, 1024, false);
    const auto t3 = steady::now();
    auto ms = [](steady::duration d) {
      return std::chrono::duration<double, std::milli>(d).count();
    };
    printf(
        "sign-in: first request of an account %.2f ms, the next %.2f ms, without sign-in %.2f ms\n",
        ms(t1 - t0), ms(t2 - t1), ms(t3 - t2));
  }
  for (const path& p : paths) {
    transfer(p, 1 << 20, false);  // warm-up
    const double d1 = conn_only ? 0 : throughput(p, 1, big, false);
    const double d4 = conn_only ? 0 : throughput(p, 4, big / 4, false);
    const double u1 = conn_only ? 0 : throughput(p, 1, big, true);
    const double u4 = conn_only ? 0 : throughput(p, 4, big / 4, true);
    const rate c1 = connections(p, 1, quick ? 1.0 : 3.0, 20000);
    const rate c32 = connections(p, 32, quick ? 1.0 : 3.0, 20000);
    printf("%-11s %9.0f %9.0f %9.0f %9.0f | %9.0f %7.2f %7.2f | %9.0f %7.2f %7.2f", p.name, d1, d4,
           u1, u4, c1.per_second, c1.p50_ms, c1.p99_ms, c32.per_second, c32.p50_ms, c32.p99_ms);
    if (c1.failures + c32.failures > 0) printf("  (%d failed)", c1.failures + c32.failures);
    printf("\n");
    fflush(stdout);
  }
  printf("MB/s; down/up = from/to the origin; 1 or 4 parallel streams of %llu MiB in total\n",
         static_cast<unsigned long long>(big >> 20));

  if (program_ok) {
    const long idle = process_rss_kib(program.pid);
    std::vector<int> held;
    const path socks_client{"merovane", program.ip, program.port, true};
    const std::string hold = request_head(socks_client, "GET", "/hold", 0);
    for (int i = 0; i < 1000; ++i) {
      const int fd = open_through(socks_client);
      if (fd < 0) break;
      send_all(fd, hold.data(), hold.size());
      held.push_back(fd);
    }
    for (int i = 0; i < 250 && origin.held() < static_cast<int>(held.size()); ++i) usleep(20000);
    const long busy = process_rss_kib(program.pid);
    printf(
        "program resident memory: %ld KiB idle, %ld KiB with %d open chains (%d reached the "
        "origin), %.1f KiB per chain\n",
        idle, busy, static_cast<int>(held.size()), origin.held(),
        held.empty() ? 0.0 : static_cast<double>(busy - idle) / static_cast<double>(held.size()));
    for (int fd : held) close(fd);
  }
  program.stop();
  signin.stop();
  dead.stop();
  before.stop();
  before_dead.stop();
  tiny.reset();
  privoxy.reset();
  socks.reset();
  origin.stop();
  return 0;
}
