#include "startup/server.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "chain/lookup.h"
#include "chain/negotiate.h"
#include "chain/rewrite.h"
#include "chain/select.h"
#include "db/db.h"
#include "engine/loop.h"
#include "engine/slot.h"
#include "front/access.h"
#include "front/recognize.h"
#include "front/signin.h"
#include "log/console.h"
#include "log/log.h"
#include "maintenance/myip.h"
#include "maintenance/scheduler.h"
#include "panel/server.h"
#include "platform/stop.h"
#include "startup/datadir.h"
#include "startup/runmodes.h"
#include "util/registry.h"

namespace {
constexpr uint32_t HEAP_TRIM_PERIOD = 30000;
constexpr uint32_t DB_STATEMENT_PERIOD = 14400000;
constexpr uint32_t DB_RETRY_MS = 15000;
constexpr uint32_t LISTEN_RETRY_MS = 10000;
// Connections still open when the server stops get this long to finish.
constexpr uint32_t STOP_DRAIN_MS = 2500;

// Every slot holds a socket, the zero-copy relay up to ENGINE_PIPES_MAX
// pipes of two descriptors; the process also keeps the listener's spare
// room, the epoll instance, the database, its journal and log files open.
constexpr rlim_t DESCRIPTORS_NEEDED = SLOT_COUNT + 2 * ENGINE_PIPES_MAX + 128;

// Raises the soft descriptor limit to what a full table needs (as far as
// the hard limit allows); the usual default of 1024 would fail accepts at
// about half the table.
void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= DESCRIPTORS_NEEDED) return;
  rlim_t wanted = DESCRIPTORS_NEEDED;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) wanted = limit.rlim_max;
  if (wanted <= limit.rlim_cur) {
    fprintf(stderr, "Merovane: only %lu descriptors allowed; the table needs %lu\n",
            static_cast<unsigned long>(limit.rlim_cur),
            static_cast<unsigned long>(DESCRIPTORS_NEEDED));
    return;
  }
  limit.rlim_cur = wanted;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// Sleeps up to ms, waking early when a stop is requested.
void pause_ms(uint32_t ms) {
  while (ms > 0 && stop_flag.load() == 0) {
    uint32_t step = ms < 50 ? ms : 50;
    usleep(step * 1000);
    ms -= step;
  }
}

// Hands memory freed by closed connections back to the system, so the
// process shrinks again after a burst of load.
// The heap is trimmed once after slots came and went; an idle program
// has nothing to hand back.
uint32_t trimmed_at_serial = 0;
bool trim_again = false;  // slots were open at the last trim

void heap_trim() {
  trimmed_at_serial = next_serial;
  trim_again = slot_count_used() > 1;
  malloc_trim(0);
  engine_release_buffers();
}

int32_t heap_trim_wait() {
  return trim_again || next_serial != trimmed_at_serial ? 0 : ENGINE_IDLE;
}

// The address the listener was created on: "allow_clients" has its
// default from it, at the start and at SIGHUP.
char listened_ip[41] = "127.0.0.1";

// Set while the database could not be opened, so the outage is told once.
bool database_missing = false;

// Creates the listener from the registry's address and port; 0 on failure.
uint16_t open_listener(bool& announced_failure) {
  char ip[41];
  reg_listen_ip(ip, sizeof ip);
  uint32_t port = reg_listen_port();
  if (port > 65535) port = 8080;
  uint16_t bound = engine_listen(ip, static_cast<uint16_t>(port));
  if (bound == 0) {
    if (!announced_failure)
      fprintf(stderr, "Merovane: cannot listen on %s port %u: %s; retrying every 10 s\n",
              ip[0] ? ip : "0.0.0.0", port, strerror(errno));
    announced_failure = true;
    return 0;
  }
  announced_failure = false;
  snprintf(listened_ip, sizeof listened_ip, "%s", ip);
  access_configure(listened_ip);
  return bound;
}

// The panel address goes whole to a terminal only: under systemd or into a
// pipe the line ends up in a journal others may read, so the token stays out.
void announce_listening() {
  // Who may connect, when that is more than this machine.
  char who[1100] = "";
  if (!access_listener_loopback()) {
    char list[1024];
    access_describe(list, sizeof list);
    snprintf(who, sizeof who, "; clients allowed from %s (\"allow_clients\")%s", list,
             signin_required() ? ", signing in" : ", no sign-in");
  }
  char address[128];
  if (isatty(STDERR_FILENO)) {
    panel_address(address, sizeof address);
    console_line("%s, panel %s%s", engine_listen_text(), address, who);
  } else {
    panel_address(address, sizeof address, false);
    console_line("%s, panel %s<token>/ (\"merovane ctl url\" prints it)%s", engine_listen_text(),
                 address, who);
  }
}

// SIGHUP: the panel token is read again from the registry file and every
// settings cache is dropped, so the next use reads the database.
void reload_configuration() {
  if (reload_flag.exchange(0) == 0) return;
  reg_root_forget();
  access_configure(listened_ip);
  signin_accounts_changed();
  log_settings_forget();
  force_http_10_reset();
  chain_cache_clear();
  checker_location_reset();
  console_line("SIGHUP: registry and settings read again; still running");
}
}  // namespace

bool server_database_retry() {
  if (db_handle != nullptr) return true;
  char path[520];
  data_path(path, sizeof path, true);
  if (path[0] != 0 && db_open(path)) {
    db_init_schema();
    log_cleanup();
    if (database_missing) console_line("the database \"%s\" is open again", path);
    database_missing = false;
    return true;
  }
  if (!database_missing)
    console_line(
        "cannot open the database \"%s\"; clients are refused meanwhile, retrying every 15 s",
        path);
  database_missing = true;
  return false;
}

void server_attach_all() {
  slot_detach_all();
  engine_timers_clear();
  log_attach();
  chain_attach();
  lookup_attach();
  front_attach();
  maintenance_attach();
  panel_attach();
  engine_every(HEAP_TRIM_PERIOD, heap_trim, heap_trim_wait);
  engine_every(DB_STATEMENT_PERIOD, db_periodic_statement);
  engine_every(
      DB_RETRY_MS, [] { server_database_retry(); },
      [] { return db_handle == nullptr ? 0 : ENGINE_IDLE; });
  engine_every(0, reload_configuration, [] { return reload_flag.load() != 0 ? 0 : ENGINE_IDLE; });
}

void server_run() {
  raise_descriptor_limit();
  server_attach_all();
  if (!engine_init()) {
    fprintf(stderr, "Merovane: cannot create the event queue: %s\n", strerror(errno));
    return;
  }
  bool announced_failure = false;
  while (stop_flag.load() == 0) {
    pause_ms(100);
    if (stop_flag.load() != 0) break;
    // Without the database the listener still opens: clients are refused
    // with a reason and the engine tries the database again every 15 s.
    server_database_retry();
    if (open_listener(announced_failure) == 0) {
      pause_ms(LISTEN_RETRY_MS);
      continue;
    }
    announce_listening();
    // The loop sleeps until something is due; a stop or reload request
    // wakes it (engine_wake).
    while (stop_flag.load() == 0 && !engine_listener_failed()) engine_cycle(-1);
    // Listener gone or stop requested: every connection is marked for
    // closing and gets a short while to finish before the rest is closed.
    engine_drain(STOP_DRAIN_MS);
    engine_shutdown();
  }
  engine_shutdown();
}
