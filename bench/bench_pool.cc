// The pool at the speed of a list: the real program imports a list of N
// proxies such as a public list holds (tests/support/proxy_pool.h, one
// helper process: 10 % live, half SOCKS5 and half CONNECT, that really
// relay; 20 % silent, accepting and never answering; 70 % closed ports),
// with no panel open, and checks them. Modes:
//
//   --checker  the checker service is tools/merovane-judge on 127.0.0.80:80
//              ("url_checker" http://127.0.0.80/; run as root)
//   --reach    no checker service: "check_sites" names the pool's local
//              check page, the only way a proxy can be found working
//
// Prints the seconds from the end of the import to the first working proxy
// and to the full pass (every proxy checked once; by the time cap, how many
// were and the extrapolated time), the proxies working at the end against
// the live ones, a relay's round trip (p50/p99 of 32-byte ping-pongs through
// the program over a fixed SOCKS5 link, microsocks, to a local echo server)
// idle, during the import and the pass, and after, beside the same
// ping-pongs straight through microsocks (the machine's own noise), and the
// program's descriptors and slots idle, at their peak during the pass, and
// after. Round trips that overlap the bench's own requests to the program
// are counted apart. Progress comes from "ctl proxies --json" (the type and
// state of each proxy) and, where the build has them, the check queue
// figures and the progress line of "ctl status".
//
//   bench_pool [--checker | --reach] [--n N] [--cap SECONDS]
//
// N defaults to 100 (the sizes are 100 and 5000), the cap to 300 s.
// The program runs with the resolver stand-in preloaded (no name reaches a
// name server), the pool relays to 127.0.0.0/8 only, and every loop is
// bounded by the cap and a count. Asserts nothing.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tests/support/fault_support.h"
#include "tests/support/net.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"
#include "tests/support/proxy_pool.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr const char* kProgram = "127.0.23.1";
constexpr const char* kMicrosocks = "127.0.23.2";
constexpr const char* kEcho = "127.0.23.3";
constexpr const char* kPage = "127.0.23.4";
constexpr const char* kJudge = "127.0.0.80";
constexpr uint8_t kPoolOctet = 71;  // the pool's proxies: 127.71.x.y
constexpr int kIdleSeconds = 30;    // round trips measured before the import
constexpr int kSettleSeconds = 60;  // at most, for descriptors and slots to come back
constexpr int kAfterSeconds = 10;   // at least, of round trips after the pass
constexpr int kPingGapMs = 20;
constexpr size_t kPingBytes = 32;

struct options {
  bool reach = false;
  int n = 100;
  int cap = 300;
};

double since(steady::time_point t) {
  return std::chrono::duration<double>(steady::now() - t).count();
}

bool parse_options(int argc, char** argv, options* o) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--checker") == 0) {
      o->reach = false;
    } else if (std::strcmp(argv[i], "--reach") == 0) {
      o->reach = true;
    } else if (std::strcmp(argv[i], "--n") == 0 && i + 1 < argc) {
      o->n = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--cap") == 0 && i + 1 < argc) {
      o->cap = std::atoi(argv[++i]);
    } else {
      return false;
    }
  }
  return o->n >= 10 && o->n <= 50000 && o->cap >= 10 && o->cap <= 7200;
}

// ---- a relay's round trip through the program -----------------------------

enum phase : int { PH_IDLE, PH_IMPORT, PH_PASS, PH_AFTER, PH_COUNT };
constexpr const char* kPhaseNames[PH_COUNT] = {"idle", "import", "pass", "after"};

// The bench's own requests to the program (ctl, metrics, status page): in
// flight, and starts and ends so far. A round trip that overlaps one is
// filed apart.
std::atomic<int> bench_requests{0};
std::atomic<long> bench_request_events{0};

struct request_mark {
  request_mark() {
    bench_requests.fetch_add(1);
    bench_request_events.fetch_add(1);
  }
  ~request_mark() {
    bench_requests.fetch_sub(1);
    bench_request_events.fetch_add(1);
  }
};

// A ping-pong: the time and whether one of the bench's requests overlapped it.
struct ping_result {
  double ms = -1;
  bool overlapped = false;
};

struct round_trips {
  std::mutex lock;
  std::vector<double> ms[PH_COUNT];
  std::vector<double> overlapped[PH_COUNT];  // while the bench asked the program something
  std::vector<double> window;  // of the pass, not overlapped, since the last progress line
  bool windowed = false;       // keeps the window
  std::atomic<int> phase{PH_IDLE};
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::atomic<int> connections{0};
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1)))];
}

// One ping-pong on fd; its round trip in ms, or -1.
ping_result ping_once(int fd, long serial) {
  char msg[kPingBytes], back[kPingBytes];
  std::memset(msg, '.', sizeof msg);
  std::snprintf(msg, sizeof msg, "ping %ld", serial);
  const long events = bench_request_events.load();
  const bool busy = bench_requests.load() > 0;
  const auto t = steady::now();
  if (!send_all(fd, msg, sizeof msg) || !read_exact(fd, back, sizeof back, 5000)) return {};
  if (std::memcmp(msg, back, sizeof msg) != 0) return {};
  return {since(t) * 1e3, busy || bench_request_events.load() != events};
}

// Ping-pongs every kPingGapMs to the echo server over one SOCKS5
// connection through proxy (opened again when it breaks), each filed under
// the phase of its time; bounded by max_seconds.
void ping_loop(std::string proxy, uint16_t proxy_port, const echo_server* echo, round_trips* r,
               int max_seconds) {
  const auto start = steady::now();
  const long max_pings = static_cast<long>(max_seconds) * (1000 / kPingGapMs) + 1;
  int fd = -1;
  for (long i = 0; i < max_pings && !r->stop.load() && since(start) < max_seconds; ++i) {
    if (fd < 0) {
      if (r->connections.load() >= 100) break;
      fd = socks5_open(proxy, proxy_port, echo->ip, echo->port, false);
      if (fd >= 0) r->connections.fetch_add(1);
    }
    const ping_result ping = fd >= 0 ? ping_once(fd, i) : ping_result{};
    if (ping.ms < 0) {
      r->failures.fetch_add(1);
      if (fd >= 0) close(fd);
      fd = -1;
      usleep(200000);
      continue;
    }
    {
      std::lock_guard<std::mutex> hold(r->lock);
      (ping.overlapped ? r->overlapped : r->ms)[r->phase.load()].push_back(ping.ms);
      if (r->windowed && !ping.overlapped && r->phase.load() == PH_PASS)
        r->window.push_back(ping.ms);
    }
    usleep(kPingGapMs * 1000);
  }
  if (fd >= 0) close(fd);
}

// ---- the program ------------------------------------------------------------

std::string ctl(const program_instance& program, const std::string& args, int* status) {
  const request_mark mark;
  return program_ctl(program, args, "", status);
}

bool ctl_ok(const program_instance& program, const std::string& args) {
  int status = -1;
  const std::string out = ctl(program, args, &status);
  if (status != 0) std::printf("  ctl %s: status %d: %s", args.c_str(), status, out.c_str());
  return status == 0;
}

std::string metrics_text(const program_instance& program) {
  const request_mark mark;
  return program_get(program, "/" + std::string(kPanelToken) + "/metrics");
}

// Proxies as "ctl proxies --json" shows them, counted by what the pool
// serves at each address.
struct pool_state {
  bool read = false;
  int listed = 0, checked = 0, working = 0;
  int working_by[POOL_KINDS] = {};
};

// The text value of "name":"..." inside [from, to); "" when absent.
std::string json_text(const std::string& s, size_t from, size_t to, const char* name) {
  const std::string key = std::string("\"") + name + "\":\"";
  const size_t at = s.find(key, from);
  if (at == std::string::npos || at >= to) return "";
  const size_t start = at + key.size();
  const size_t end = s.find('"', start);
  return end == std::string::npos || end > to ? "" : s.substr(start, end - start);
}

using kind_map = std::unordered_map<std::string, pool_kind>;

void count_proxy(const std::string& address, const std::string& type, const std::string& state,
                 const kind_map& kinds, pool_state* st) {
  const auto k = kinds.find(address);
  if (k == kinds.end()) return;  // not one of the pool's (a chain's fixed proxy)
  ++st->listed;
  // Working: a protocol in the type and not marked dead; what both builds show.
  const bool working = !type.empty() && type != "-" && state != "dead" && state != "blocked";
  if (state != "unchecked" || working) ++st->checked;
  if (!working) return;
  ++st->working;
  ++st->working_by[static_cast<int>(k->second)];
}

pool_state read_state(const program_instance& program, const kind_map& kinds) {
  pool_state st;
  int status = -1;
  const std::string s = ctl(program, "proxies --json", &status);
  if (status != 0) return st;
  st.read = true;
  for (size_t at = s.find('{'); at != std::string::npos; at = s.find('{', at + 1)) {
    const size_t end = s.find('}', at);
    if (end == std::string::npos) break;
    count_proxy(json_text(s, at, end, "address"), json_text(s, at, end, "type"),
                json_text(s, at, end, "state"), kinds, &st);
  }
  return st;
}

struct usage {
  int fds = -1, slots = -1;
};

usage take_usage(const program_instance& program) {
  const request_mark mark;
  return {process_fd_count(program.pid), fault_slots(program)};
}

// The progress line of "ctl status" ("Checking ... of ..."), where the build prints one.
std::string status_progress(const program_instance& program) {
  int status = -1;
  const std::string out = ctl(program, "status", &status);
  const size_t at = out.find("Checking");
  if (status != 0 || at == std::string::npos) return "";
  return out.substr(at, out.find('\n', at) - at);
}

// p50 / p99 / max of the round trips since the last call.
std::string window_figures(round_trips* r) {
  std::vector<double> w;
  {
    std::lock_guard<std::mutex> hold(r->lock);
    w.swap(r->window);
  }
  if (w.empty()) return "rtt -";
  char text[96];
  std::snprintf(text, sizeof text, "rtt %.2f/%.2f/%.1f ms", percentile(w, 0.5), percentile(w, 0.99),
                percentile(w, 1));
  return text;
}

void print_progress(const program_instance& program, double t, const pool_state& st, int n,
                    const usage& u, round_trips* trips) {
  const std::string rtt = window_figures(trips);
  const std::string m = metrics_text(program);
  std::printf("  t=%5.0fs checked %5d/%d working %4d  fds %5d slots %5d  check slots %lld", t,
              st.checked, n, st.working, u.fds, u.slots,
              metrics_series(m, "merovane_slots{kind=\"check\"}"));
  const long long queue = metrics_series(m, "merovane_check_queue");
  const long long running = metrics_series(m, "merovane_checks_running");
  if (queue >= 0 || running >= 0) std::printf("  queue %lld running %lld", queue, running);
  std::printf("  %s  public address %s", rtt.c_str(),
              metrics_series(m, "merovane_public_address_known") == 1 ? "known" : "unknown");
  const std::string line = status_progress(program);
  std::printf("%s%s\n", line.empty() ? "" : "  | ", line.c_str());
  std::fflush(stdout);
}

// ---- the pass ---------------------------------------------------------------

struct pass_figures {
  double first_working = -1;  // s after the import ended
  double full_pass = -1;      // s after the import ended, when every proxy was checked
  double watched = 0;         // s watched
  pool_state last;
  usage peak;
};

void note_peak(usage* peak, const usage& u) {
  peak->fds = std::max(peak->fds, u.fds);
  peak->slots = std::max(peak->slots, u.slots);
}

// Polls until every proxy was checked or the cap: every second (every two
// for a long list once a proxy works), a progress line every 10 s.
pass_figures watch_pass(const program_instance& program, const kind_map& kinds, int n, int cap,
                        steady::time_point import_end, round_trips* trips) {
  pass_figures f;
  double next_line = 0;
  for (int i = 0; i < 4 * cap + 10 && since(import_end) < cap; ++i) {
    const auto poll_start = steady::now();
    const pool_state st = read_state(program, kinds);
    const double t = since(import_end);
    if (st.read) f.last = st;
    if (f.first_working < 0 && st.working > 0) f.first_working = t;
    usage u{process_fd_count(program.pid), -1};
    if (t >= next_line) {
      u = take_usage(program);
      print_progress(program, t, f.last, n, u, trips);
      next_line += 10;
    }
    note_peak(&f.peak, u);
    if (st.read && st.checked >= n) {
      f.full_pass = t;
      break;
    }
    const double period = f.first_working >= 0 && n > 1000 ? 2.0 : 1.0;
    const double left = period - since(poll_start);
    if (left > 0) usleep(static_cast<useconds_t>(left * 1e6));
  }
  f.watched = since(import_end);
  return f;
}

// Waits (at most kSettleSeconds) for descriptors and slots to come back to
// their idle counts; the last counts and the seconds it took.
usage settle(const program_instance& program, const usage& idle, double* seconds) {
  const auto start = steady::now();
  usage u = take_usage(program);
  for (int i = 0; i < kSettleSeconds / 2 && (u.fds > idle.fds || u.slots > idle.slots); ++i) {
    usleep(2000000);
    u = take_usage(program);
  }
  *seconds = since(start);
  return u;
}

// ---- setup --------------------------------------------------------------------

// tools/merovane-judge is found through $MEROVANE_SOURCE: the working
// directory, or the parent of the build directory holding this program.
void find_source() {
  if (getenv("MEROVANE_SOURCE") != nullptr) return;
  if (access("tools/merovane-judge", R_OK) == 0) return;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return;
  std::string dir(self, static_cast<size_t>(n));
  for (int up = 0; up < 2; ++up) dir = dir.substr(0, dir.rfind('/'));
  setenv("MEROVANE_SOURCE", dir.c_str(), 1);
}

// The judge on 127.0.0.80:80, once nothing else listens there (another run
// may still hold it: up to two minutes).
peer_process* start_local_judge() {
  for (int i = 0; i < 120 && can_connect(kJudge, 80); ++i) usleep(1000000);
  if (can_connect(kJudge, 80)) {
    std::fprintf(stderr, "something else listens on %s:80\n", kJudge);
    return nullptr;
  }
  find_source();
  return start_judge(kJudge);
}

// Settings of the mode; false when the mode cannot run on this build.
bool apply_mode(const program_instance& program, const options& o, const proxy_pool& pool) {
  const std::string site = "set check_sites='" + pool.check_site() + "'";
  int status = -1;
  const std::string out = ctl(program, site, &status);
  const bool has_sites = status == 0;
  std::printf("check_sites: %s\n", has_sites ? "taken" : "not known to this build");
  if (!o.reach) return ctl_ok(program, std::string("set url_checker=http://") + kJudge + "/");
  if (!has_sites) {
    std::printf(
        "reachability mode does not exist in this build (no \"check_sites\" setting): "
        "nothing to measure\n");
    return false;
  }
  if (!ctl_ok(program, "set url_checker=")) std::printf("  (url_checker stays unreachable)\n");
  return true;
}

void print_build(const program_instance& program) {
  int status = -1;
  ctl(program, "set check_parallel=64", &status);
  std::printf("program %s (pid %d): \"check_parallel\" %s\n", program_bin().c_str(),
              static_cast<int>(program.pid),
              status == 0 ? "known (set to its default, 64)" : "not known to this build");
}

// ---- figures -------------------------------------------------------------------

void print_phases(const std::vector<double> (&ms)[PH_COUNT]) {
  for (int p = 0; p < PH_COUNT; ++p)
    if (!ms[p].empty())
      std::printf("  %s p50 %.3f p99 %.3f max %.1f (%zu)", kPhaseNames[p], percentile(ms[p], 0.5),
                  percentile(ms[p], 0.99), percentile(ms[p], 1), ms[p].size());
  std::printf("\n");
}

void print_round_trips(const char* title, round_trips& r) {
  std::lock_guard<std::mutex> hold(r.lock);
  std::printf("%s\n ", title);
  print_phases(r.ms);
  std::printf("  overlapping the bench's own requests (ctl, metrics, status page):\n ");
  print_phases(r.overlapped);
  std::printf("  failed ping-pongs %d, connections opened %d\n", r.failures.load(),
              r.connections.load());
}

void print_pass(const pass_figures& f, int n, int live, const std::vector<pool_entry>& entries) {
  if (f.first_working >= 0)
    std::printf("first working proxy:  %.1f s after the import ended\n", f.first_working);
  else
    std::printf("first working proxy:  none within %.0f s\n", f.watched);
  if (f.full_pass >= 0) {
    std::printf("full pass:            %.1f s (all %d checked)\n", f.full_pass, n);
  } else {
    const double rate = f.last.checked / f.watched;
    std::printf("full pass:            not reached by the cap: %d of %d checked in %.0f s",
                f.last.checked, n, f.watched);
    if (rate > 0)
      std::printf(" (%.2f a minute; extrapolated full pass %.0f s = %.1f h)", rate * 60, n / rate,
                  n / rate / 3600);
    std::printf("\n");
  }
  std::printf(
      "working at the end:   %d of %d live (socks5 %d/%d, connect %d/%d); silent or closed "
      "marked working: %d\n",
      f.last.working, live, f.last.working_by[0], pool_count(entries, pool_kind::socks5),
      f.last.working_by[1], pool_count(entries, pool_kind::connect),
      f.last.working_by[2] + f.last.working_by[3]);
}

void print_helper(const pool_counts& c) {
  std::printf(
      "pool helper:          accepted socks5 %ld, connect %ld, silent %ld; tunnels %ld, "
      "check pages %ld, refused %ld\n",
      c.accepted[0], c.accepted[1], c.accepted[2], c.relays, c.pages, c.refused);
}

void print_log_tail(const program_instance& program) {
  std::vector<std::string> lines;
  const std::string log = program.log();
  for (size_t at = 0; at < log.size();) {
    const size_t end = std::min(log.find('\n', at), log.size());
    lines.push_back(log.substr(at, end - at));
    at = end + 1;
  }
  std::printf("program log %s: %zu lines; the last:\n", program.log_path.c_str(), lines.size());
  for (size_t i = lines.size() > 6 ? lines.size() - 6 : 0; i < lines.size(); ++i)
    std::printf("  | %s\n", lines[i].c_str());
}

struct peers {
  proxy_pool pool;
  echo_server echo;
  std::unique_ptr<peer_process> judge, microsocks;
};

bool start_peers(const options& o, std::vector<pool_entry>& entries, peers* p) {
  // The pool forks first, while this process has no other thread.
  if (!p->pool.start(entries, kPage, o.cap + 900)) {
    std::fprintf(stderr, "the pool helper did not start\n");
    return false;
  }
  if (!o.reach) p->judge.reset(start_local_judge());
  if (!o.reach && !p->judge) {
    std::fprintf(stderr, "the judge did not start (run as root, with python3)\n");
    return false;
  }
  p->microsocks.reset(start_microsocks(kMicrosocks, free_port(kMicrosocks)));
  if (!p->microsocks || !p->echo.start(kEcho)) {
    std::fprintf(stderr, "microsocks or the echo server did not start\n");
    return false;
  }
  return true;
}

bool start_program(program_instance& program, const peers& p) {
  if (access(resolver_stand_in_path().c_str(), R_OK) != 0) {
    std::fprintf(stderr, "%s is missing (build target soak_slow_resolver)\n",
                 resolver_stand_in_path().c_str());
    return false;
  }
  if (!program.prepare(kProgram, [] {}) || !program.start(resolver_stand_in_wrapper())) {
    std::fprintf(stderr, "the program did not start (see %s)\n", program.log_path.c_str());
    return false;
  }
  return ctl_ok(program, std::string("chain socks5://") + kMicrosocks + ":" +
                             std::to_string(p.microsocks->port));
}

kind_map kinds_of(const std::vector<pool_entry>& entries) {
  kind_map kinds;
  for (const pool_entry& e : entries) kinds[e.ip + ":" + std::to_string(e.port)] = e.kind;
  return kinds;
}

// Round trips through the program and, for comparison, straight through
// microsocks to the same echo server: the machine's own noise.
struct pingers {
  round_trips program, direct;
  std::thread threads[2];
  void start(const program_instance& prog, const peers& p, int max_seconds) {
    program.windowed = true;
    threads[0] = std::thread(ping_loop, prog.ip, prog.port, &p.echo, &program, max_seconds);
    threads[1] = std::thread(ping_loop, std::string(kMicrosocks), p.microsocks->port, &p.echo,
                             &direct, max_seconds);
  }
  void phase(int ph) {
    program.phase = ph;
    direct.phase = ph;
  }
  void stop() {
    program.stop = true;
    direct.stop = true;
    for (std::thread& t : threads)
      if (t.joinable()) t.join();
  }
  ~pingers() { stop(); }
};

struct run_figures {
  usage idle, after;
  double settle_s = 0;
  pass_figures pass;
};

// Idle round trips, the import, the pass, and the way back to idle.
run_figures measure(const options& o, program_instance& program, const peers& p,
                    const std::vector<pool_entry>& entries, pingers* pings) {
  run_figures f;
  pings->start(program, p, kIdleSeconds + o.cap + 2 * kSettleSeconds + 120);
  usleep(kIdleSeconds * 1000000);
  f.idle = take_usage(program);
  pings->phase(PH_IMPORT);
  const auto import_start = steady::now();
  int status = -1;  // not marked: the import is what the round trips of its phase measure
  const std::string imported = program_ctl(program, "import -", pool_list_text(entries), &status);
  const auto import_end = steady::now();
  pings->phase(PH_PASS);
  std::printf("import: %.2f s: %s",
              std::chrono::duration<double>(import_end - import_start).count(), imported.c_str());
  f.pass = watch_pass(program, kinds_of(entries), o.n, o.cap, import_end, &pings->program);
  pings->phase(PH_AFTER);
  const auto after_start = steady::now();
  f.after = settle(program, f.idle, &f.settle_s);
  while (since(after_start) < kAfterSeconds) usleep(100000);  // round trips after the pass
  pings->stop();
  return f;
}

void print_figures(const options& o, const run_figures& f, const std::vector<pool_entry>& entries,
                   pingers* pings) {
  const int live = pool_count(entries, pool_kind::socks5) + pool_count(entries, pool_kind::connect);
  std::printf("\n== bench_pool %s, N=%d, cap %d s ==\n", o.reach ? "--reach" : "--checker", o.n,
              o.cap);
  print_pass(f.pass, o.n, live, entries);
  print_round_trips("relay round trip through the program (ms):", pings->program);
  print_round_trips("the same straight through microsocks, no program (ms):", pings->direct);
  std::printf(
      "descriptors / slots:  idle %d / %d, peak during the pass %d / %d, after %d / %d "
      "(%.0f s after the pass)\n",
      f.idle.fds, f.idle.slots, f.pass.peak.fds, f.pass.peak.slots, f.after.fds, f.after.slots,
      f.settle_s);
}

void print_layout(const options& o, const std::vector<pool_entry>& entries) {
  std::printf(
      "bench_pool %s: N=%d (%d live: %d SOCKS5 + %d CONNECT, %d silent, %d closed), cap %d s\n",
      o.reach ? "--reach" : "--checker", o.n,
      pool_count(entries, pool_kind::socks5) + pool_count(entries, pool_kind::connect),
      pool_count(entries, pool_kind::socks5), pool_count(entries, pool_kind::connect),
      pool_count(entries, pool_kind::silent), pool_count(entries, pool_kind::closed), o.cap);
}

int run(const options& o) {
  std::vector<pool_entry> entries = pool_layout(o.n, kPoolOctet);
  print_layout(o, entries);
  peers p;
  program_instance program;
  if (!start_peers(o, entries, &p) || !start_program(program, p)) return 1;
  print_build(program);
  if (!apply_mode(program, o, p.pool)) return o.reach ? 0 : 1;
  pingers pings;
  const run_figures f = measure(o, program, p, entries, &pings);
  print_figures(o, f, entries, &pings);
  print_log_tail(program);
  program.stop();
  print_helper(p.pool.stop());
  std::printf("scratch files in %s\n", scratch_dir().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  options o;
  if (!parse_options(argc, argv, &o)) {
    std::fprintf(stderr, "usage: %s [--checker | --reach] [--n N (10..50000)] [--cap SECONDS]\n",
                 argv[0]);
    return 2;
  }
  setvbuf(stdout, nullptr, _IOLBF, 0);
  return run(o);
}
