// What real clients see through the program, one chain of one microsocks
// in front of an HTTP/1.1 origin (tests/support/origin11.h, which answers
// "100 Continue" and keeps connections): the time curl takes for a 20 MB
// POST (it sends "Expect: 100-continue"), and how many connections to the
// origin one curl run with 5 URLs opens, through a SOCKS5 client and a
// CONNECT tunnel. With $MEROVANE_BIN_BEFORE set to an earlier build, that
// build runs in the same table. Each POST figure is the median of
// `rounds` runs. Asserts nothing.
//
//   bench_clients [rounds]   (default 3, at most 15)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "db/db.h"
#include "tests/support/chain_db.h"
#include "tests/support/origin11.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"

namespace {

using steady = std::chrono::steady_clock;

constexpr const char* kProgram = "127.0.0.47";
constexpr const char* kOrigin = "127.0.0.48";
constexpr const char* kSocks = "127.0.0.49";
constexpr uint64_t kPostBytes = 20u << 20;

struct figures {
  double post_socks5 = -1, post_connect = -1;  // seconds, median
  int urls_socks5 = -1, urls_connect = -1;     // origin connections for 5 URLs
};

std::vector<std::string> proxy_args(const program_instance& p, bool tunnel) {
  if (tunnel) return {"-p", "-x", "http://" + p.url()};
  return {"--socks5-hostname", p.url()};
}

// Median seconds of `rounds` 20 MB POSTs, -1 when one failed.
double post_time(const program_instance& p, const origin11_server& origin, bool tunnel,
                 const std::string& data, int rounds) {
  std::vector<double> times;
  const std::string url = "http://" + origin.ip + ":" + std::to_string(origin.port) + "/sink";
  for (int i = 0; i < rounds; ++i) {
    std::vector<std::string> args = proxy_args(p, tunnel);
    args.insert(args.end(), {"--data-binary", "@" + data, url});
    const std::string out = p.home + "/post";
    const auto start = steady::now();
    const int rc = run_curl(args, out, 60);
    const double s = std::chrono::duration<double>(steady::now() - start).count();
    if (rc != 0 || read_file(out) != "ok " + std::to_string(kPostBytes)) return -1;
    times.push_back(s);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Connections the origin saw for one curl run that fetches 5 URLs.
int five_url_connections(const program_instance& p, const origin11_server& origin, bool tunnel) {
  std::string command =
      "env -u http_proxy -u https_proxy -u all_proxy -u HTTP_PROXY "
      "-u HTTPS_PROXY -u ALL_PROXY curl -sS --max-time 30";
  for (const std::string& a : proxy_args(p, tunnel)) command += " " + a;
  for (int i = 0; i < 5; ++i)
    command += " -o /dev/null http://" + origin.ip + ":" + std::to_string(origin.port) + "/bytes/" +
               std::to_string(1000 + i);
  const int before = origin.connections();
  if (shell(command + " 2>/dev/null") != 0) return -1;
  return origin.connections() - before;
}

bool measure(const char* bin, const std::string& data, int rounds, figures& f) {
  if (bin != nullptr) setenv("MEROVANE_BIN", bin, 1);
  origin11_server origin;
  std::unique_ptr<peer_process> socks(start_microsocks(kSocks, free_port(kSocks)));
  program_instance p;
  const bool up = origin.start(kOrigin) && socks && p.prepare(kProgram, [&] {
    chain_db_add_link(1, 5, PT_SOCKS5, ip_number(kSocks), socks->port);
  }) && p.start();
  if (up) {
    f.post_socks5 = post_time(p, origin, false, data, rounds);
    f.post_connect = post_time(p, origin, true, data, rounds);
    f.urls_socks5 = five_url_connections(p, origin, false);
    f.urls_connect = five_url_connections(p, origin, true);
  } else {
    fprintf(stderr, "bench_clients: %s did not start (see %s)\n", bin ? bin : "the program",
            scratch_dir().c_str());
  }
  p.stop();
  origin.stop();
  unsetenv("MEROVANE_BIN");
  return up;
}

void print_row(const char* name, double before, double after, bool seconds, bool with_before) {
  auto cell = [&](double v) {
    char text[32];
    if (v < 0)
      snprintf(text, sizeof text, "failed");
    else
      snprintf(text, sizeof text, seconds ? "%.2f s" : "%.0f", v);
    return std::string(text);
  };
  if (with_before)
    printf("%-40s %10s %10s\n", name, cell(before).c_str(), cell(after).c_str());
  else
    printf("%-40s %10s\n", name, cell(after).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 3;
  if (rounds < 1) rounds = 1;
  if (rounds > 15) rounds = 15;
  const std::string data = scratch_name("post") + ".bin";
  {
    std::string bytes(kPostBytes, 'x');
    FILE* f = fopen(data.c_str(), "wb");
    if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) return 1;
    fclose(f);
  }
  const char* before_bin = getenv("MEROVANE_BIN_BEFORE");
  const bool with_before = before_bin != nullptr && before_bin[0] != 0;
  const std::string after_bin = program_bin();
  figures before, after;
  if (with_before) measure(before_bin, data, rounds, before);
  measure(after_bin.c_str(), data, rounds, after);
  unlink(data.c_str());

  printf("one chain (microsocks), HTTP/1.1 origin; POST: median of %d\n", rounds);
  if (with_before)
    printf("%-40s %10s %10s\n", "figure", "before", "after");
  else
    printf("%-40s %10s\n", "figure", "value");
  print_row("20 MB POST, SOCKS5 client", before.post_socks5, after.post_socks5, true, with_before);
  print_row("20 MB POST, CONNECT client", before.post_connect, after.post_connect, true,
            with_before);
  print_row("5 URLs in one curl, SOCKS5: connections", before.urls_socks5, after.urls_socks5, false,
            with_before);
  print_row("5 URLs in one curl, CONNECT: connections", before.urls_connect, after.urls_connect,
            false, with_before);
  return 0;
}
