// Database figures: one-statement inserts through db_exec (as the list
// import runs them) and the chain's proxy query against 100,000 proxies.
// Prints figures; asserts nothing.
#include <dirent.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "chain/select.h"
#include "db/db.h"

namespace {

using steady = std::chrono::steady_clock;

double ms_since(steady::time_point start) {
  return std::chrono::duration<double, std::milli>(steady::now() - start).count();
}

std::string make_dir() {
  char pattern[] = "/tmp/merovane-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return "";
  return pattern;
}

void remove_dir(const std::string& dir) {
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") unlink((dir + "/" + name).c_str());
    }
    closedir(d);
  }
  rmdir(dir.c_str());
}

// A deterministic proxy list: about one proxy in five found working, the
// rest never checked or dead, as after importing public lists.
uint32_t next_random(uint32_t& s) {
  s = s * 1103515245u + 12345u;
  return s >> 8;
}

// Inserts `count` proxies one statement at a time; returns milliseconds.
double insert_proxies(unsigned count, uint32_t seed, unsigned working_percent) {
  static const int working_types[] = {0x10, 0x14, 0x18, 0x40, 0x44, 0x60, 0x12, 0x50, 0x1C};
  auto start = steady::now();
  unsigned done = 0;
  for (unsigned i = 0; i < count; ++i) {
    uint32_t r = next_random(seed);
    uint32_t ip = 0x0100000Au + i * 2654435761u;  // distinct addresses
    unsigned port = 1024 + r % 60000;
    int type = 0, timeout = 0, t_ok = 0, rank = 0;
    if (r % 100 < working_percent) {
      type = working_types[r % 9];
      timeout = static_cast<int>(100 + r % 9000);
      t_ok = static_cast<int>(9000000 + r % 100000);
      rank = static_cast<int>(r % 500);
    } else if (r % 2 != 0) {
      type = 1;
    }
    done += db_exec("INSERT INTO proxy(ip,port,type,rank,t_ok,timeout) VALUES(%u,%u,%d,%d,%d,%d)",
                    ip, port, type, rank, t_ok, timeout);
  }
  double ms = ms_since(start);
  if (done != count) printf("  (only %u of %u rows inserted)\n", done, count);
  return ms;
}

void time_proxy_queries(const char* label) {
  struct ordering {
    const char* term;
    const char* direction;
  };
  const ordering orders[] = {
      {"t_ok", "DESC"}, {"timeout", "ASC"}, {"rank", "DESC"}, {"random()", ""}};
  for (const ordering& o : orders) {
    // Random order visits every usable proxy: fewer runs keep the bench short.
    const int runs = o.direction[0] != 0 ? 1000 : 50;
    unsigned found = 0;
    auto start = steady::now();
    for (int i = 0; i < runs; ++i) {
      // The default link (flags 92): SOCKS4, SOCKS5 or HTTPS, elite or
      // anonymous; the second query of a chain excludes the first proxy.
      const char* exclusion = (i & 1) ? "AND ip NOT IN(167772161,167772163)" : "";
      char* t =
          db_query_text(",", "", sql_proxy_query(), 0x58u, 0x02u, exclusion, o.term, o.direction);
      if (t != nullptr) ++found;
      free(t);
    }
    double ms = ms_since(start);
    printf("  %-22s proxy query ORDER BY %-9s: %8.1f us each (%u/%d found)\n", label, o.term,
           ms * 1000.0 / runs, found, runs);
  }
  // The random link as chain selection runs it: from a random row number on.
  const int runs = 1000;
  unsigned found = 0;
  auto start = steady::now();
  for (int i = 0; i < runs; ++i) {
    const char* from_random =
        (i & 1) ? "AND ip NOT IN(167772161,167772163) AND id>=(SELECT abs(random())%(max(id)+1) "
                  "FROM proxy)"
                : "AND id>=(SELECT abs(random())%(max(id)+1) FROM proxy)";
    char* t = db_query_text(",", "", sql_proxy_query(), 0x58u, 0x02u, from_random, "id", "");
    if (t == nullptr) t = db_query_text(",", "", sql_proxy_query(), 0x58u, 0x02u, "", "id", "");
    if (t != nullptr) ++found;
    free(t);
  }
  printf("  %-22s random pick from a row number: %8.1f us each (%u/%d found)\n", label,
         ms_since(start) * 1000.0 / runs, found, runs);
}

// A chain of two random links as chain selection builds it: uniform draws
// from the short-lived id array, the second link excluding the first proxy.
void time_random_chain(const char* label) {
  db_exec("DELETE FROM chain");
  db_exec("INSERT INTO chain(position,selection,flags,ip,port) VALUES(0,1,92,0,0),(1,1,92,0,0)");
  chain_ids_forget();
  const int runs = 1000;
  unsigned found = 0;
  auto start = steady::now();
  chain_build();
  const double first_ms = ms_since(start);
  start = steady::now();
  for (int i = 0; i < runs; ++i)
    if (chain_build() != nullptr) ++found;
  printf(
      "  %-22s two uniform random links: %8.1f us per chain (%u/%d built; first with "
      "the id read %.1f ms)\n",
      label, ms_since(start) * 1000.0 / runs, found, runs, first_ms);
  chain_ids_forget();
}

void time_other_queries() {
  const int runs = 1000;
  auto start = steady::now();
  unsigned found = 0;
  for (int i = 0; i < runs; ++i) {
    char* t = db_query_text(",", "#", sql_check_selection(), 720, "AND ip NOT IN(1,2,3)");
    if (t != nullptr) ++found;
    free(t);
  }
  printf("  checker selection:            %8.1f us each (%u/%d found)\n",
         ms_since(start) * 1000.0 / runs, found, runs);
  start = steady::now();
  found = 0;
  for (int i = 0; i < runs; ++i) {
    uint32_t ip = 0x0100000Au + static_cast<uint32_t>(i) * 2654435761u;
    found += db_exec("SELECT id FROM proxy WHERE ip=%u", ip);
  }
  printf("  proxy by address:             %8.1f us each (%u/%d found)\n",
         ms_since(start) * 1000.0 / runs, found, runs);
}

void run_inserts(const char* label, const char* pragmas, unsigned count) {
  std::string dir = make_dir();
  std::string path = dir + "/settings.db";
  if (!db_open(path.c_str())) {
    printf("cannot open %s\n", path.c_str());
    return;
  }
  db_init_schema();
  if (pragmas != nullptr) db_exec("%s", pragmas);
  double ms = insert_proxies(count, 7, 20);
  printf("  %-40s %6u inserts: %8.1f ms (%.1f us each)\n", label, count, ms, ms * 1000.0 / count);
  db_close();
  remove_dir(dir);
}

}  // namespace

int main() {
  printf("SQLite %s; every statement through the scrambling file layer\n", sqlite3_libversion());

  printf("One-statement inserts through db_exec:\n");
  run_inserts("WAL, synchronous=NORMAL (chosen)", nullptr, 10000);
  run_inserts("WAL, synchronous=NORMAL (chosen)", nullptr, 100000);
  run_inserts("rollback journal, synchronous=FULL",
              "PRAGMA journal_mode=DELETE;PRAGMA synchronous=FULL", 1000);
  run_inserts("WAL, synchronous=FULL", "PRAGMA synchronous=FULL", 1000);

  printf("Queries against 100,000 proxies:\n");
  for (unsigned working : {20u, 100u}) {
    std::string dir = make_dir();
    std::string path = dir + "/settings.db";
    if (!db_open(path.c_str())) return 1;
    db_init_schema();
    double ms = insert_proxies(100000, 11, working);
    char label[64];
    snprintf(label, sizeof label, "%u%% working", working);
    printf("  (%s: 100,000 inserts in %.0f ms)\n", label, ms);
    time_proxy_queries(label);
    time_random_chain(label);
    time_other_queries();
    db_periodic_statement();  // PRAGMA optimize may gather statistics
    snprintf(label, sizeof label, "%u%% working, optimized", working);
    time_proxy_queries(label);
    db_close();
    remove_dir(dir);
  }
  return 0;
}
