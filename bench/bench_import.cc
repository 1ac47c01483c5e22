// Import of a pasted 10,000-line proxy list through the panel's
// "upload_proxy" command into a fresh database file, then the same list
// again (every pair already known), and a 10,000-row proxy list reply.
// Last, another 10,000 new pairs imported in steps between engine cycles
// (as the program does): the longest step is the longest time the engine
// is kept from its clients, against the whole import in one go before.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "db/db.h"
#include "engine/loop.h"
#include "maintenance/import.h"
#include "panel/commands.h"
#include "platform/clock.h"

namespace {

constexpr int LINES = 10000;

std::string upload_body() {
  std::string body = "type=upload_proxy&list=";
  char line[64];
  for (int i = 0; i < LINES; ++i) {
    // Mixed separators, as pasted lists have them.
    snprintf(line, sizeof line, i % 2 ? "10.%d.%d.%d%%3A%d%%0D%%0A" : "10.%d.%d.%d+%d%%0A",
             i / 65536, (i / 256) % 256, i % 256, 1080 + i % 7000);
    body += line;
  }
  return body;
}

double run(const std::string& body, const char* what) {
  param_spans spans{};
  spans.span[1] = {body.data(), body.size()};
  uint32_t start = tick_now();
  char* reply = panel_ajax(spans);
  uint32_t ms = tick_now() - start;
  printf("%-34s %6u ms  reply %.60s\n", what, ms, reply ? reply : "(none)");
  free(reply);
  return ms;
}

}  // namespace

int main() {
  char dir[] = "/tmp/merovane-bench-import-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  std::string path = std::string(dir) + "/settings.db";
  if (!db_open(path.c_str())) return 1;
  db_init_schema();

  std::string body = upload_body();
  printf("list: %d lines, %zu bytes encoded\n", LINES, body.size());
  double first = run(body, "upload_proxy, all new:");
  struct stat wal {};
  long wal_kib =
      stat((path + "-wal").c_str(), &wal) == 0 ? static_cast<long>(wal.st_size >> 10) : 0;
  printf("write-ahead log after the import:  %6ld KiB\n", wal_kib);
  double second = run(body, "upload_proxy, all known:");
  printf("per pair: %.1f us new, %.1f us known\n", first * 1000.0 / LINES, second * 1000.0 / LINES);

  std::string list = "type=load_proxy&blocked=0&order=port+DESC";
  param_spans spans{};
  spans.span[1] = {list.data(), list.size()};
  uint32_t start = tick_now();
  char* reply = panel_ajax(spans);
  printf("load_proxy of %d rows:            %6u ms, %zu bytes\n", LINES, tick_now() - start,
         reply ? strlen(reply) : 0);
  free(reply);

  // In steps: the longest engine cycle while the import runs.
  std::string stepped;
  for (int i = 0; i < LINES; ++i)
    stepped += "10.200." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ":3128\n";
  uint32_t began = tick_now();
  if (!import_start(stepped.c_str(), 0, nullptr, 0, "")) return 1;
  uint32_t longest = 0;
  int cycles = 0;
  for (; cycles < 1000 && import_pending() > 0; ++cycles) {
    const uint32_t at = tick_now();
    engine_cycle(0);
    if (tick_now() - at > longest) longest = tick_now() - at;
  }
  printf("import in steps of 1,000 rows:     %6u ms in %d cycles, longest cycle %u ms\n",
         tick_now() - began, cycles, longest);

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  printf("peak resident set: %ld KiB\n", usage.ru_maxrss);
  db_close();
  std::string cleanup = std::string("rm -rf ") + dir;
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
