// Wake-ups of the program when it has little or nothing to do: the real
// program with no client, no panel and no check due; with a panel's push
// channel open; and with 1,000 proxies due for checks (the pool helper of
// tests/support/proxy_pool.h, its local check page the only check site, no
// checker service). A wake-up is a context switch of any of the program's
// threads (/proc/PID/task/*/status, voluntary and not), counted over the
// window after a settling time. With $MEROVANE_BIN_BEFORE set to an earlier
// build, that build runs beside this one in the same windows. The program
// runs with the resolver stand-in preloaded when it is built (no name
// reaches a name server). Asserts nothing.
//
//   bench_idle [seconds-per-window]   (default 60)
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/net.h"
#include "tests/support/program.h"
#include "tests/support/proxy_pool.h"

namespace {

constexpr int kProxies = 1000;
constexpr int kSettleSeconds = 5;
constexpr const char* kPage = "127.0.61.1";

// Context switches of every thread of the process so far, -1 when gone.
long long context_switches(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* tasks = opendir(dir.c_str());
  if (tasks == nullptr) return -1;
  long long total = 0;
  while (const dirent* e = readdir(tasks)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream status(dir + "/" + e->d_name + "/status");
    std::string line;
    while (std::getline(status, line)) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos && line.find("ctxt_switches") != std::string::npos)
        total += std::atoll(line.c_str() + colon + 1);
    }
  }
  closedir(tasks);
  return total;
}

struct subject {
  std::string name;
  std::unique_ptr<program_instance> program;
  int panel = -1;  // the push channel, when one is open
  long long start = 0;
};

// Starts the build in `bin` ("" = this one) listening on ip.
std::unique_ptr<program_instance> start(const std::string& bin, const std::string& ip) {
  const char* saved_env = getenv("MEROVANE_BIN");
  const std::string saved = saved_env != nullptr ? saved_env : "";
  if (!bin.empty()) setenv("MEROVANE_BIN", bin.c_str(), 1);
  auto p = std::make_unique<program_instance>();
  const bool stand_in = access(resolver_stand_in_path().c_str(), R_OK) == 0;
  const bool ok = p->prepare(ip.c_str(), [] {}) &&
                  p->start(stand_in ? resolver_stand_in_wrapper() : std::vector<std::string>{});
  if (saved.empty())
    unsetenv("MEROVANE_BIN");
  else
    setenv("MEROVANE_BIN", saved.c_str(), 1);
  if (!ok) {
    fprintf(stderr, "the program (%s) did not start on %s\n", bin.empty() ? "now" : bin.c_str(),
            ip.c_str());
    return nullptr;
  }
  return p;
}

// The panel's push channel, held open (its keep-alive lines stay unread).
int open_panel(const program_instance& p) {
  const int fd = connect_to(p.ip, p.port, 5000);
  if (fd < 0) return -1;
  const std::string req =
      "GET /" + std::string(kPanelToken) + "/flow.html HTTP/1.1\r\nHost: " + p.url() + "\r\n\r\n";
  send_all(fd, req.data(), req.size());
  return fd;
}

// Checks of the pool's proxies: the local page is the only check site.
bool import_pool(const program_instance& p, const proxy_pool& pool,
                 const std::vector<pool_entry>& entries) {
  int status = -1;
  program_ctl(p, "set check_sites='" + pool.check_site() + "'", "", &status);
  if (status != 0) return false;
  program_ctl(p, "set url_checker=", "", &status);
  program_ctl(p, "import -", pool_list_text(entries), &status);
  return status == 0;
}

// Wake-ups per second of each subject over `seconds`.
void measure(std::vector<subject>& subjects, int seconds) {
  sleep(kSettleSeconds);
  for (subject& s : subjects) s.start = context_switches(s.program->pid);
  sleep(static_cast<unsigned>(seconds));
  for (subject& s : subjects) {
    const long long end = context_switches(s.program->pid);
    if (s.start < 0 || end < 0) {
      printf("| %-26s | %12s | %10s |\n", s.name.c_str(), "gone", "");
      continue;
    }
    printf("| %-26s | %12lld | %10.2f |\n", s.name.c_str(), end - s.start,
           static_cast<double>(end - s.start) / seconds);
  }
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? atoi(argv[1]) : 60;
  // The pool forks first, while this process has no other thread.
  std::vector<pool_entry> entries = pool_layout(kProxies, 62);
  proxy_pool pool;
  const bool pool_ok = pool.start(entries, kPage, 4 * seconds + 300);
  if (!pool_ok) fprintf(stderr, "the pool helper did not start\n");

  std::vector<std::string> builds = {""};
  const char* earlier = getenv("MEROVANE_BIN_BEFORE");
  if (earlier != nullptr && earlier[0] != 0) builds.insert(builds.begin(), earlier);
  auto label = [&](size_t b, const char* what) {
    return std::string(builds[b].empty() ? "now" : "before") + ", " + what;
  };

  printf("Wake-ups of the program, %d s per window after %d s of settling\n\n", seconds,
         kSettleSeconds);
  printf("| %-26s | %12s | %10s |\n", "program", "switches", "per second");
  printf("|----------------------------|--------------|------------|\n");
  // Idle and panel open: every program in the same window.
  std::vector<subject> quiet;
  for (size_t b = 0; b < builds.size(); ++b) {
    const std::string base = "127.0.6" + std::to_string(3 + b) + ".";
    auto idle = start(builds[b], base + "1");
    auto panel = start(builds[b], base + "2");
    if (idle) quiet.push_back(subject{label(b, "idle"), std::move(idle)});
    if (panel) {
      const int fd = open_panel(*panel);
      quiet.push_back(subject{label(b, "panel open"), std::move(panel), fd});
    }
  }
  measure(quiet, seconds);
  for (subject& s : quiet) {
    if (s.panel >= 0) close(s.panel);
    s.program->stop();
  }

  // 1,000 proxies due for checks.
  std::vector<subject> busy;
  for (size_t b = 0; pool_ok && b < builds.size(); ++b) {
    auto p = start(builds[b], "127.0.6" + std::to_string(3 + b) + ".3");
    if (p && import_pool(*p, pool, entries))
      busy.push_back(subject{label(b, "1,000 proxies due"), std::move(p)});
  }
  if (!busy.empty()) measure(busy, seconds);
  for (subject& s : busy) s.program->stop();
  pool.stop();
  return 0;
}
