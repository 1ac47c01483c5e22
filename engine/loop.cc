#include "engine/loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "chain/usage.h"
#include "db/db.h"
#include "engine/io.h"
#include "engine/slot.h"
#include "maintenance/scheduler.h"
#include "platform/clock.h"
#include "startup/datadir.h"
#include "startup/registry.h"
#include "startup/runmodes.h"
#include "util/literal.h"

namespace {
constexpr uint32_t HOUSEKEEPING_PERIOD = 750;
constexpr uint32_t TICK_PERIOD = 10000;
constexpr uint32_t CLOSE_DELAY = 2000;
constexpr uint32_t IDLE_LIMIT = 3600000;
constexpr int FREE_RUN_STOP = 10;
constexpr uint32_t KEEPALIVE_PERIOD = 9000;
constexpr uint32_t FLUSH_PERIOD = 30000;
constexpr uint32_t DB_STATEMENT_PERIOD = 14400000;
constexpr int ACCEPTS_PER_EVENT = 64;

uint32_t housekeeping_stamp = 0;
uint32_t flush_stamp = 0;
uint32_t db_statement_stamp = 0;
bool listener_failed = false;

// Every slot holds a socket; the process also keeps the listener's spare
// room, the epoll instance, the database, its journal and log files open.
constexpr rlim_t DESCRIPTORS_NEEDED = SLOT_COUNT + 128;

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

// Held open so that a client can still be taken off the queue and closed
// when the process has no other descriptor left.
int spare_fd = -1;

void accept_pending() {
  conn_slot& listener = conn_table[0];
  listener.last_activity = listener.last_tick = tick_now();
  for (int k = 0; k < ACCEPTS_PER_EVENT; ++k) {
    if (engine_slots_used() >= SLOT_COUNT) {
      // Table full: take the connection off the queue and close it, so the
      // listener never stalls and the client learns at once.
      int sock = accept4(listener.sock, nullptr, nullptr, SOCK_CLOEXEC);
      if (sock < 0) return;
      close(sock);
      continue;
    }
    int index = slot_alloc(listener.sock);
    if (index < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
        return;
      if (errno == EMFILE || errno == ENFILE) {
        // Out of descriptors: the connection would stay queued and keep the
        // listener readable, so the loop would spin. Give up the spare
        // descriptor for a moment to take it off the queue and close it.
        if (spare_fd < 0) return;
        close(spare_fd);
        int sock = accept4(listener.sock, nullptr, nullptr, SOCK_CLOEXEC);
        if (sock >= 0) close(sock);
        spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (sock < 0) return;
        continue;
      }
      if (errno == ENOBUFS || errno == ENOMEM) return;
      listener_failed = true;
      return;
    }
  }
}

// True while the linked slot of a closing slot still delivers its queued
// bytes: the pair stays until those are out or the link goes quiet.
bool linked_still_sending(const conn_slot& slot, uint32_t now) {
  if (slot.link_sock == 0 || slot.link_sock == -1) return false;
  int other = slot_find_by_socket(slot.link_sock);
  if (other < 0) return false;
  const conn_slot& linked = conn_table[other];
  return linked.out.len > 0 && static_cast<uint32_t>(now - linked.last_activity) <= CLOSE_DELAY;
}
}  // namespace

bool engine_init() {
  if (engine_epoll_fd >= 0) close(engine_epoll_fd);
  if (spare_fd < 0) spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  engine_epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  io_reset_queues();
  engine_reset_slots();
  listener_failed = false;
  housekeeping_stamp = tick_now();
  flush_stamp = 0;
  db_statement_stamp = 0;
  return engine_epoll_fd >= 0;
}

uint16_t engine_listen(const char* ip, uint16_t port) {
  if (engine_slots_used() != 0) return 0;
  int sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (sock < 0) return 0;
  int one = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = INADDR_ANY;
  if (ip != nullptr && ip[0] != 0 && inet_pton(AF_INET, ip, &addr.sin_addr) != 1) {
    close(sock);
    errno = EINVAL;
    return 0;
  }
  // A full backlog rather than the minimal one: a burst of clients must not
  // be refused by the kernel before the loop can accept them.
  if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(sock, SOMAXCONN) != 0) {
    int err = errno;
    close(sock);
    errno = err;
    return 0;
  }
  socklen_t len = sizeof addr;
  getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len);
  conn_slot& slot = conn_table[0];
  memset(&slot, 0, sizeof slot);
  slot.sock = sock;
  slot.link_sock = -1;
  slot.kind = slot_kind::listen;
  slot.started = slot.last_activity = slot.last_tick = tick_now();
  slot.serial = next_serial++;
  listen_port = ntohs(addr.sin_port);
  const auto* a = reinterpret_cast<const uint8_t*>(&addr.sin_addr.s_addr);
  snprintf(reinterpret_cast<char*>(slot.route), ROUTE_SIZE, "Listening %u.%u.%u.%u port %u", a[0],
           a[1], a[2], a[3], listen_port);
  // The listener occupies slot 0 from here on.
  engine_claim_listener_slot();
  fdmap_set(sock, 0);
  if (!io_register(0, EPOLLIN)) {
    slot_close(0);
    return 0;
  }
  listener_failed = false;
  return listen_port;
}

bool engine_listener_failed() {
  return listener_failed;
}

void engine_housekeeping() {
  int empties = 0;
  for (int i = 1; i < SLOT_COUNT && empties < FREE_RUN_STOP;) {
    conn_slot& slot = conn_table[i];
    if (slot.sock == -1) {
      ++empties;
      ++i;
      continue;
    }
    empties = 0;
    uint32_t now = tick_now();
    if (static_cast<int32_t>(now - slot.last_tick) >= static_cast<int32_t>(TICK_PERIOD)) {
      slot_dispatch(i, 'T');
      if (conn_table[i].in.len > 0) slot_dispatch(i, 'R');
      if (conn_table[i].out.len > 0) slot_dispatch(i, 'S');
      conn_table[i].last_tick = now;
      // A slot quiet for a tick gives back the blocks it kept for reuse.
      if (conn_table[i].in.len == 0) stream_free(conn_table[i].in);
      if (conn_table[i].out.len == 0) stream_free(conn_table[i].out);
    }
    now = tick_now();
    conn_slot& current = conn_table[i];
    uint32_t quiet = now - current.last_activity;
    if ((current.flags & SLOT_CLOSE_REQUESTED) && quiet > CLOSE_DELAY &&
        !linked_still_sending(current, now)) {
      slot_close(i);
      continue;  // the next slot moved into place i
    }
    if (quiet > IDLE_LIMIT) {
      slot_request_close(i);
      slot_close(i);
      continue;
    }
    ++i;
  }
  schedule_checks();
  schedule_myip();
  uint32_t now = tick_now();
  if (panel_push_time != 0 &&
      static_cast<int32_t>(now - panel_push_time) > static_cast<int32_t>(KEEPALIVE_PERIOD)) {
    const char* keepalive = MV_LIT("<script type=\"text/javascript\">P();</script>\n");
    panel_broadcast(keepalive, static_cast<int>(strlen(keepalive)));
  }
  if (flush_stamp == 0) {
    flush_stamp = now;
  } else if (static_cast<int32_t>(now - flush_stamp) > static_cast<int32_t>(FLUSH_PERIOD)) {
    usage_flush();
    // Hand memory freed by closed connections back to the system, so the
    // process shrinks again after a burst of load.
    malloc_trim(0);
    flush_stamp = tick_now();
  }
  if (db_statement_stamp == 0) {
    db_statement_stamp = now;
  } else if (static_cast<int32_t>(now - db_statement_stamp) >
             static_cast<int32_t>(DB_STATEMENT_PERIOD)) {
    db_periodic_statement();
    db_statement_stamp = tick_now();
  }
}

void engine_cycle(int wait_ms) {
  uint32_t now = tick_now();
  uint32_t since = now - housekeeping_stamp;
  int timeout = wait_ms;
  if (!clock_is_fake() && since < HOUSEKEEPING_PERIOD) {
    int until = static_cast<int>(HOUSEKEEPING_PERIOD - since);
    if (until < timeout) timeout = until;
  }
  if (timeout < 0) timeout = 0;
  epoll_event events[256];
  int count = epoll_wait(engine_epoll_fd, events, 256, timeout);
  for (int k = 0; k < count; ++k) {
    int sock = static_cast<int>(static_cast<uint32_t>(events[k].data.u64));
    uint32_t tag = static_cast<uint32_t>(events[k].data.u64 >> 32);
    int index = slot_find_by_socket(sock);
    // A report for a socket closed earlier in this batch, whose number a new
    // slot may already reuse, carries the old registration's tag: drop it.
    if (index < 0 || conn_table[index].io_tag != tag) continue;
    if (index == 0 && conn_table[0].kind == slot_kind::listen) {
      if (events[k].events & (EPOLLERR | EPOLLHUP)) {
        listener_failed = true;
      } else {
        accept_pending();
      }
      continue;
    }
    io_handle(index, events[k].events);
  }
  io_after_events();
  now = tick_now();
  if (now - housekeeping_stamp >= HOUSEKEEPING_PERIOD) {
    engine_housekeeping();
    housekeeping_stamp = tick_now();
  }
}

void engine_shutdown() {
  // Close from the end so compaction moves nothing.
  for (int i = engine_slots_used() - 1; i >= 0; --i) {
    if (i < engine_slots_used()) {
      slot_request_close(i);
      slot_close(i);
    }
  }
  io_reset_queues();
  engine_reset_slots();
}

void server_run() {
  raise_descriptor_limit();
  if (!engine_init()) {
    fprintf(stderr, "Merovane: cannot create the event queue: %s\n", strerror(errno));
    return;
  }
  bool announced_failure = false;
  while (stop_flag.load() == 0) {
    pause_ms(100);
    if (stop_flag.load() != 0) break;
    if (db_handle == nullptr) {
      char path[520];
      data_path(path, sizeof path, true);
      if (path[0] != 0 && db_open(path)) {
        db_init_schema();
        log_cleanup();
        continue;
      }
      fprintf(stderr, "Merovane: cannot open the database \"%s\"; retrying in 15 s\n", path);
      pause_ms(15000);
      if (stop_flag.load() != 0) break;
    }
    char ip[41];
    reg_listen_ip(ip, sizeof ip);
    uint32_t port = reg_listen_port();
    if (port > 65535) port = 8080;
    if (engine_listen(ip, static_cast<uint16_t>(port)) == 0) {
      if (!announced_failure)
        fprintf(stderr, "Merovane: cannot listen on %s port %u: %s; retrying every 10 s\n",
                ip[0] ? ip : "0.0.0.0", port, strerror(errno));
      announced_failure = true;
      pause_ms(10000);
      continue;
    }
    announced_failure = false;
    char address[128];
    panel_address(address, sizeof address);
    fprintf(stderr, "Merovane: %s, panel %s\n", reinterpret_cast<const char*>(conn_table[0].route),
            address);
    while (stop_flag.load() == 0 && !listener_failed) engine_cycle(100);
    // Listener gone or stop requested: every connection ends with it.
    engine_shutdown();
  }
  engine_shutdown();
}
