#include "engine/loop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/io.h"
#include "engine/slot.h"
#include "platform/clock.h"

namespace {
constexpr uint32_t HOUSEKEEPING_PERIOD = 750;
constexpr uint32_t TICK_PERIOD = 10000;
constexpr uint32_t CLOSE_DELAY = 2000;
constexpr uint32_t IDLE_LIMIT = 3600000;
constexpr int FREE_RUN_STOP = 10;
constexpr int ACCEPTS_PER_EVENT = 64;
constexpr int TIMER_COUNT = 16;

bool listener_failed = false;

// The next housekeeping pass: the soonest tick, close or idle time of a
// slot, found by the pass itself and moved earlier when a slot is taken or
// asked to close. Passes keep at least the housekeeping period apart.
bool pass_pending = false;
uint32_t pass_next = 0;
uint32_t pass_last = 0;

// Wakes the loop from another thread or a signal handler.
int wake_fd = -1;

struct engine_timer {
  uint32_t period;
  uint32_t stamp;
  engine_timer_fn fn;
  engine_wait_fn wait;
};
engine_timer timers[TIMER_COUNT];
int timer_count = 0;

// Work asked for the next cycle (engine_later), each function once.
constexpr int LATER_COUNT = 8;
engine_timer_fn later[LATER_COUNT];
int later_count = 0;

// Runs what was asked for; what asks again runs in the next cycle.
void run_later() {
  engine_timer_fn due[LATER_COUNT];
  const int n = later_count;
  for (int k = 0; k < n; ++k) due[k] = later[k];
  later_count = 0;
  for (int k = 0; k < n; ++k) due[k]();
}

bool tick_before(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b) < 0;
}

uint32_t period_of(const engine_timer& t) {
  return t.period != 0 ? t.period : HOUSEKEEPING_PERIOD;
}

int32_t wait_of(const engine_timer& t) {
  return t.wait != nullptr ? t.wait() : 0;
}

// Milliseconds until the timer runs: ENGINE_IDLE while nothing waits for it.
int32_t until_timer(const engine_timer& t, uint32_t now) {
  const int32_t wait = wait_of(t);
  if (wait < 0) return ENGINE_IDLE;
  const int32_t left = static_cast<int32_t>(period_of(t)) + 1 - static_cast<int32_t>(now - t.stamp);
  const int32_t until = left > wait ? left : wait;
  return until < 0 ? 0 : until;
}

// Runs the attached timers that are due. A forced pass (engine_housekeeping
// called directly) runs those of period 0 whenever they have work.
void run_timers(bool forced) {
  for (int k = 0; k < timer_count; ++k) {
    engine_timer& t = timers[k];
    const bool every_pass = forced && t.period == 0;
    if (every_pass ? wait_of(t) < 0 : until_timer(t, tick_now()) != 0) continue;
    t.fn();
    t.stamp = tick_now();
  }
}

// Milliseconds until the soonest pending timer, at most `limit` (-1: none).
int until_timers(uint32_t now, int limit) {
  for (int k = 0; k < timer_count; ++k) {
    const int32_t left = until_timer(timers[k], now);
    if (left >= 0 && (limit < 0 || left < limit)) limit = left;
  }
  return limit;
}

int min_wait(int limit, int32_t left) {
  if (left < 0) left = 0;
  return limit < 0 || left < limit ? left : limit;
}

// The soonest slot deadline that may still be set (a slot closed or
// rearmed since leaves it early, which costs one scan that finds nothing).
bool deadline_pending = false;
uint32_t deadline_next = 0;

// Milliseconds until the soonest slot deadline or housekeeping pass, at
// most `limit` (-1: none).
int until_slots(uint32_t now, int limit) {
  if (deadline_pending) limit = min_wait(limit, static_cast<int32_t>(deadline_next - now));
  if (pass_pending) limit = min_wait(limit, static_cast<int32_t>(pass_next - now));
  return limit;
}

// Tells each slot whose deadline has come, then finds the next soonest.
void run_deadlines() {
  if (!deadline_pending || tick_before(tick_now(), deadline_next)) return;
  deadline_pending = false;
  for (int i = 1; i < slot_count_used(); ++i) {
    conn_slot& slot = conn_table[i];
    if (slot.sock == -1 || slot.deadline == 0) continue;
    if (!tick_before(tick_now(), slot.deadline)) {
      slot.deadline = 0;
      slot_dispatch(i, slot_event::deadline);
      continue;
    }
    if (!deadline_pending || tick_before(slot.deadline, deadline_next)) {
      deadline_pending = true;
      deadline_next = slot.deadline;
    }
  }
}

// The outbound slot whose socket's local end is the peer of accepted slot
// `index`, or -1: a connection we made arrived at our own listener.
int own_outbound_of(int index) {
  const conn_slot& accepted = conn_table[index];
  if (accepted.io_peer_port == 0) return -1;
  sockaddr_storage here{};
  uint32_t here_addr = 0;
  uint16_t here_port = 0;
  bool here_known = false;
  for (int i = 1; i < slot_count_used(); ++i) {
    const conn_slot& s = conn_table[i];
    if (i == index || s.sock == -1 || s.io_local_port != accepted.io_peer_port ||
        s.io_local_addr != accepted.peer_addr)
      continue;
    // The same local end may carry a connection elsewhere: ours must have
    // gone to the very address and port this client reached.
    if (!here_known) {
      socklen_t len = sizeof here;
      if (getsockname(accepted.sock, reinterpret_cast<sockaddr*>(&here), &len) != 0) return -1;
      // An IPv4 address as a dual-stack listener sees it (::ffff:a.b.c.d).
      const auto* a6 = reinterpret_cast<const sockaddr_in6*>(&here);
      if (here.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&a6->sin6_addr))
        memcpy(&here_addr, a6->sin6_addr.s6_addr + 12, 4);
      else if (here.ss_family == AF_INET)
        here_addr = reinterpret_cast<const sockaddr_in*>(&here)->sin_addr.s_addr;
      here_port = reinterpret_cast<const sockaddr_in*>(&here)->sin_port;
      here_known = true;
    }
    if (s.io_remote_port == here_port && s.io_remote_addr == here_addr) return i;
  }
  return -1;
}

// A connection from one of our own outbound sockets is closed at once and
// the slot that made it is told: it would feed itself until the table is full.
void refuse_own_connection(int index) {
  const int outbound = own_outbound_of(index);
  if (outbound < 0) return;
  slot_request_close(index);
  slot_close(index);  // the last slot: no other slot moves
  slot_dispatch(outbound, slot_event::looped);
}

}  // namespace

void io_pass_wanted(uint32_t at) {
  // Passes keep the housekeeping period apart, so slots due close together
  // share one.
  const uint32_t earliest = pass_last + HOUSEKEEPING_PERIOD;
  if (tick_before(at, earliest)) at = earliest;
  if (!pass_pending || tick_before(at, pass_next)) {
    pass_pending = true;
    pass_next = at;
  }
}

void io_deadline_armed(uint32_t at) {
  if (!deadline_pending || tick_before(at, deadline_next)) {
    deadline_pending = true;
    deadline_next = at;
  }
}

namespace {
engine_accept_check_fn accept_check = nullptr;

// Takes one waiting connection off the queue and closes it.
bool accept_and_close(int listen_sock) {
  int sock = accept4(listen_sock, nullptr, nullptr, SOCK_CLOEXEC);
  if (sock < 0) return false;
  close(sock);
  return true;
}

// The accept check refused the connection in `index` (the newest slot).
void refuse_checked(int index) {
  if (accept_check == nullptr || index >= slot_count_used() || accept_check(index)) return;
  // What the client sent already is drained unread at the close.
  conn_table[index].kind = slot_kind::error;
  slot_request_close(index);
  slot_close(index);  // the last slot: no other slot moves
}

// Held open so that a client can still be taken off the queue and closed
// when the process has no other descriptor left.
int spare_fd = -1;

void accept_pending() {
  conn_slot& listener = conn_table[0];
  listener.last_activity = listener.last_tick = tick_now();
  for (int k = 0; k < ACCEPTS_PER_EVENT; ++k) {
    if (slot_count_used() >= SLOT_COUNT || slot_count_accepted() >= CLIENT_SLOT_SHARE) {
      // Table or client share full: take the connection off the queue and
      // close it, so the listener never stalls and the client learns at once.
      if (!accept_and_close(listener.sock)) return;
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
    const int used = slot_count_used();
    refuse_own_connection(index);
    if (slot_count_used() == used) refuse_checked(index);
  }
}

// True while the linked slot of a closing slot still delivers its queued
// bytes: the pair stays until those are out or the link goes quiet.
bool linked_still_sending(const conn_slot& slot, uint32_t now) {
  if (slot.link_sock == 0 || slot.link_sock == -1) return false;
  int other = slot_find_by_socket(slot.link_sock);
  if (other < 0) return false;
  const conn_slot& linked = conn_table[other];
  return (linked.out.len > 0 || slot.io_piped > 0) &&
         static_cast<uint32_t>(now - linked.last_activity) <= CLOSE_DELAY;
}
}  // namespace

void engine_set_accept_check(engine_accept_check_fn check) {
  accept_check = check;
}

bool engine_init() {
  if (engine_epoll_fd >= 0) close(engine_epoll_fd);
  if (spare_fd < 0) spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (wake_fd < 0) wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  engine_epoll_fd = epoll_create1(EPOLL_CLOEXEC);
  io_reset_queues();
  engine_reset_slots();
  listener_failed = false;
  pass_pending = false;
  pass_last = tick_now();
  deadline_pending = false;
  for (int k = 0; k < timer_count; ++k) timers[k].stamp = pass_last;
  if (engine_epoll_fd < 0) return false;
  if (wake_fd >= 0) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = static_cast<uint32_t>(wake_fd);  // tag 0: no slot has it
    epoll_ctl(engine_epoll_fd, EPOLL_CTL_ADD, wake_fd, &ev);
  }
  return true;
}

bool engine_every(uint32_t period_ms, engine_timer_fn fn, engine_wait_fn wait) {
  if (fn == nullptr || timer_count >= TIMER_COUNT) return false;
  timers[timer_count++] = engine_timer{period_ms, tick_now(), fn, wait};
  return true;
}

void engine_wake() {
  const uint64_t one = 1;
  if (wake_fd >= 0) {
    const ssize_t ignored = write(wake_fd, &one, sizeof one);
    (void)ignored;
  }
}

int engine_sleep_ms(int wait_ms) {
  if (later_count > 0) return 0;
  const uint32_t now = tick_now();
  return until_slots(now, until_timers(now, wait_ms < 0 ? -1 : wait_ms));
}

bool engine_later(engine_timer_fn fn) {
  if (fn == nullptr) return false;
  for (int k = 0; k < later_count; ++k)
    if (later[k] == fn) return true;
  if (later_count >= LATER_COUNT) return false;
  later[later_count++] = fn;
  return true;
}

void engine_timers_clear() {
  timer_count = 0;
  later_count = 0;
}

const char* engine_listen_text() {
  return slot_area<slot_text>(conn_table[0]).text;
}

namespace {
// The listening address for ip: IPv4 dotted text; an IPv6 address; empty
// (or "::") for every interface of both families on one socket. Its
// length, 0 when ip is neither.
socklen_t listen_address_of(const char* ip, uint16_t port, sockaddr_storage& out) {
  out = sockaddr_storage{};
  const bool any = ip == nullptr || ip[0] == 0;
  if (any || strchr(ip, ':') != nullptr) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&out);
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(port);
    a6->sin6_addr = in6addr_any;
    return any || inet_pton(AF_INET6, ip, &a6->sin6_addr) == 1 ? sizeof *a6 : 0;
  }
  auto* a4 = reinterpret_cast<sockaddr_in*>(&out);
  a4->sin_family = AF_INET;
  a4->sin_port = htons(port);
  return inet_pton(AF_INET, ip, &a4->sin_addr) == 1 ? sizeof *a4 : 0;
}

// A socket for the address; every interface falls back to IPv4 alone
// where the system has no IPv6.
int listen_socket(const char* ip, uint16_t port, sockaddr_storage& addr, socklen_t& len) {
  len = listen_address_of(ip, port, addr);
  if (len == 0) {
    errno = EINVAL;
    return -1;
  }
  int sock = socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (sock < 0 && addr.ss_family == AF_INET6 && (ip == nullptr || ip[0] == 0)) {
    len = listen_address_of("0.0.0.0", port, addr);
    sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  }
  if (sock < 0) return -1;
  int one = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (addr.ss_family == AF_INET6) {
    // "::" takes IPv4 clients too (as mapped addresses); a given IPv6
    // address only its own family.
    const auto* a6 = reinterpret_cast<const sockaddr_in6*>(&addr);
    int v6only = IN6_IS_ADDR_UNSPECIFIED(&a6->sin6_addr) ? 0 : 1;
    setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
  }
  return sock;
}

// listen_address for a bound listener: its IPv4 address, 0 for every
// interface, and 127.0.0.1 (this machine) for an IPv6 address.
uint32_t listener_ipv4(const sockaddr_storage& addr) {
  if (addr.ss_family == AF_INET)
    return reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr.s_addr;
  const auto* a6 = reinterpret_cast<const sockaddr_in6*>(&addr);
  return IN6_IS_ADDR_UNSPECIFIED(&a6->sin6_addr) ? 0 : htonl(INADDR_LOOPBACK);
}
}  // namespace

uint16_t engine_listen(const char* ip, uint16_t port) {
  if (slot_count_used() != 0) return 0;
  sockaddr_storage addr{};
  socklen_t len = 0;
  int sock = listen_socket(ip, port, addr, len);
  if (sock < 0) return 0;
  // A full backlog rather than the minimal one: a burst of clients must not
  // be refused by the kernel before the loop can accept them.
  if (bind(sock, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(sock, SOMAXCONN) != 0) {
    int err = errno;
    close(sock);
    errno = err;
    return 0;
  }
  getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len);
  conn_slot& slot = conn_table[0];
  memset(&slot, 0, sizeof slot);
  slot.sock = sock;
  slot.link_sock = -1;
  slot.kind = slot_kind::listen;
  slot.started = slot.last_activity = slot.last_tick = tick_now();
  slot.serial = next_serial++;
  // The port sits at the same place in both families' addresses.
  listen_port = ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
  listen_address = listener_ipv4(addr);
  char text[INET6_ADDRSTRLEN] = "?";
  if (addr.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_addr, text,
              sizeof text);
    snprintf(slot_area<slot_text>(slot).text, ROUTE_SIZE, "Listening [%s] port %u", text,
             listen_port);
  } else {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr, text, sizeof text);
    snprintf(slot_area<slot_text>(slot).text, ROUTE_SIZE, "Listening %s port %u", text,
             listen_port);
  }
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

namespace {
// When the pass must look at the slot again: its next tick, its close
// once quiet long enough, its idle limit.
void note_slot_due(const conn_slot& slot, uint32_t now) {
  io_pass_wanted(slot.last_tick + TICK_PERIOD);
  if (slot.flags & SLOT_CLOSE_REQUESTED)
    io_pass_wanted(linked_still_sending(slot, now) ? now + HOUSEKEEPING_PERIOD
                                                   : slot.last_activity + CLOSE_DELAY + 1);
  io_pass_wanted(slot.last_activity + IDLE_LIMIT + 1);
}

// The 10 s tick of a slot: 'T', then what it holds is offered again.
void tick_slot(int i, uint32_t now) {
  slot_dispatch(i, 'T');
  if (conn_table[i].in.len > 0) slot_dispatch(i, 'R');
  if (conn_table[i].out.len > 0) slot_dispatch(i, 'S');
  conn_table[i].last_tick = now;
  if (conn_table[i].in.len == 0) stream_free(conn_table[i].in);
  if (conn_table[i].out.len == 0) stream_free(conn_table[i].out);
}

void slot_pass() {
  pass_last = tick_now();
  pass_pending = false;
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
    if (static_cast<int32_t>(now - slot.last_tick) >= static_cast<int32_t>(TICK_PERIOD))
      tick_slot(i, now);
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
    note_slot_due(current, now);
    ++i;
  }
}
}  // namespace

void io_slot_due(int index) {
  if (index > 0 && index < SLOT_COUNT && conn_table[index].sock != -1)
    note_slot_due(conn_table[index], tick_now());
}

void engine_housekeeping() {
  slot_pass();
  run_timers(true);
}

void engine_cycle(int wait_ms) {
  int timeout = wait_ms;
  if (!clock_is_fake()) timeout = engine_sleep_ms(wait_ms);
  if (later_count > 0) timeout = 0;
  epoll_event events[256];
  int count = epoll_wait(engine_epoll_fd, events, 256, timeout);
  for (int k = 0; k < count; ++k) {
    int sock = static_cast<int>(static_cast<uint32_t>(events[k].data.u64));
    uint32_t tag = static_cast<uint32_t>(events[k].data.u64 >> 32);
    if (tag == 0 && sock == wake_fd) {
      uint64_t ignored = 0;
      while (read(wake_fd, &ignored, sizeof ignored) > 0) {
      }
      continue;
    }
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
  run_deadlines();
  // The pass before the work in steps and the timers: what a close there
  // asks for runs in this cycle, and what the timers abort closes by the
  // usual rules later.
  if (pass_pending && !tick_before(tick_now(), pass_next)) slot_pass();
  run_later();
  run_timers(false);
}

void engine_drain(uint32_t limit_ms) {
  // The listener stays in slot 0 (housekeeping never touches that place)
  // but is no longer watched: clients arriving now wait in the backlog and
  // are refused when it closes.
  bool listening = slot_count_used() > 0 && conn_table[0].kind == slot_kind::listen;
  if (listening && (conn_table[0].io_state & IO_REGISTERED)) {
    epoll_ctl(engine_epoll_fd, EPOLL_CTL_DEL, conn_table[0].sock, nullptr);
    conn_table[0].io_state &= static_cast<uint8_t>(~IO_REGISTERED);
  }
  int first = listening ? 1 : 0;
  for (int i = first; i < slot_count_used(); ++i) slot_request_close(i);
  // Bounded by count as well, for a driven clock that does not move.
  uint32_t start = tick_now();
  for (uint32_t cycles = 0; cycles <= limit_ms / 10 && slot_count_used() > first; ++cycles) {
    if (tick_now() - start > limit_ms) break;
    engine_cycle(10);
  }
}

void engine_shutdown() {
  // Close from the end so compaction moves nothing.
  for (int i = slot_count_used() - 1; i >= 0; --i) {
    if (i < slot_count_used()) {
      slot_request_close(i);
      slot_close(i);
    }
  }
  io_reset_queues();
  engine_reset_slots();
  io_pipes_close_all();
}
