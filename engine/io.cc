#include "engine/io.h"

#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/slot.h"
#include "platform/clock.h"

int engine_epoll_fd = -1;

namespace {
uint32_t last_tag = 0;

// Socket number -> slot index (+1; 0 = none) for the common small numbers;
// larger numbers fall back to a scan of the occupied prefix.
constexpr int FDMAP_SIZE = 65536;
uint16_t fdmap[FDMAP_SIZE];

// Sockets with an 'S' due, and sockets that may be finished; both by socket
// number so that compaction does not invalidate them. Double-buffered so a
// handler that queues again waits for the next cycle.
int s_queue[SLOT_COUNT];
int s_count = 0;
int reap_queue[SLOT_COUNT];
int reap_count = 0;

bool fatal_error(int err);
}  // namespace

bool io_fatal_error(int err) {
  return fatal_error(err);
}

namespace {
bool fatal_error(int err) {
  return err == ECONNRESET || err == ECONNABORTED || err == ETIMEDOUT || err == ENOTSOCK ||
         err == EPIPE || err == EBADF || err == ENOTCONN || err == EHOSTUNREACH ||
         err == ENETUNREACH || err == ECONNREFUSED;
}

int linked_index(const conn_slot& slot) {
  if (slot.link_sock == 0 || slot.link_sock == -1) return -1;
  return slot_find_by_socket(slot.link_sock);
}

engine_log_hooks log_hooks{};

bool log_wanted(int index) {
  return log_hooks.wanted != nullptr && log_hooks.wanted(index);
}
}  // namespace

bool engine_log_wanted(int index) {
  return log_wanted(index);
}

namespace {

void queue_reap(int sock) {
  if (reap_count < SLOT_COUNT) reap_queue[reap_count++] = sock;
}

// A relayed slot whose peer stopped sending passes the end on: the linked
// socket's sending side is shut once its queued bytes are out.
void pass_end_on(int index) {
  conn_slot& slot = conn_table[index];
  if (slot.kind != slot_kind::relay) return;
  int other = linked_index(slot);
  if (other < 0) return;
  conn_slot& linked = conn_table[other];
  if (linked.out.len == 0 && slot.io_piped == 0) {
    shutdown(linked.sock, SHUT_WR);
  } else {
    linked.io_state |= IO_SHUT_PENDING;
  }
}

bool wants_pause(const conn_slot& slot, uint32_t mark) {
  // Bytes still in the pipe toward the linked socket go first.
  if (slot.io_piped > 0) return true;
  const uint32_t own = slot.in_limit != 0 && mark == FLOW_HIGH ? slot.in_limit : mark;
  if (slot.in.len > own) return true;
  int other = linked_index(slot);
  return other >= 0 && conn_table[other].out.len > mark;
}

// The engine's one read buffer: bytes read are lent to the slot's input
// stream while its handler hears 'R' (nothing reads meanwhile). Whole
// pages, so that they can be handed back when the engine is idle.
alignas(4096) uint8_t read_buffer[READ_CHUNK];

// The peer's end of the stream: the close request of a closed connection.
// After an error the socket can deliver nothing more either: its input is
// no longer watched, and a relayed partner hears the end at once.
void input_ended(int index, int err) {
  conn_slot& slot = conn_table[index];
  if (err != 0) engine_log_dump(index, nullptr, 0, "Error #%d. %u bytes received. %s", err, 0u, "");
  slot.io_state |= IO_EOF;
  if (err == 0 || fatal_error(err)) slot_request_close(index);
  pass_end_on(index);
  io_update(index);
  queue_reap(slot.sock);
}

// One receive into the slot's input; false when reading stops for now.
bool receive_once(int index) {
  conn_slot& slot = conn_table[index];
  const bool lend = slot.in.len == 0;
  if (!lend && !stream_reserve(slot.in, slot.in.len + READ_CHUNK)) return false;
  uint8_t* into = lend ? read_buffer : slot.in.data + slot.in.len;
  ssize_t got = recv(slot.sock, into, READ_CHUNK, MSG_DONTWAIT);
  if (got <= 0) {
    const int err = got == 0 ? 0 : errno;
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) return false;
    input_ended(index, err);
    return false;
  }
  uint32_t n = static_cast<uint32_t>(got);
  engine_log_dump(index, into, n, "%u bytes received.", n);
  if (lend)
    stream_lend(slot.in, read_buffer, n);
  else
    slot.in.len += n;
  slot.in.total += n;
  const int sock = slot.sock;
  slot_dispatch(index, 'R');
  // What the handler left of the lent bytes moves into a block of its own
  // (the slot may have moved in the table or closed meanwhile).
  const int now_at = slot_find_by_socket(sock);
  if (now_at >= 0) stream_own(conn_table[now_at].in);
  if (now_at != index) return false;
  conn_slot& after = conn_table[index];
  after.last_activity = after.last_tick = tick_now();
  return n == READ_CHUNK;
}

// One move through the pipe; false when reading stops for now.
bool splice_once(int index) {
  switch (io_splice_in(index)) {
    case splice_result::more:
      return true;
    case splice_result::again:
      return false;
    case splice_result::blocked:
      conn_table[index].io_state |= IO_PAUSED;
      io_update(index);
      io_update(linked_index(conn_table[index]));
      return false;
    case splice_result::end:
      input_ended(index, 0);
      return false;
    case splice_result::failed:
      input_ended(index, errno);
      return false;
    case splice_result::copy:
      return receive_once(index);
  }
  return false;
}

void read_input(int index) {
  for (int call = 0; call < READ_CALLS_PER_EVENT; ++call) {
    conn_slot& slot = conn_table[index];
    if (slot.sock == -1 || (slot.io_state & IO_EOF)) return;
    if (slot.io_piped > 0) io_pipe_flush(index);
    if (wants_pause(slot, FLOW_HIGH)) {
      slot.io_state |= IO_PAUSED;
      io_update(index);
      return;
    }
    const int other = linked_index(slot);
    const bool more = io_splice_allowed(index, other) ? splice_once(index) : receive_once(index);
    if (!more) return;
  }
}

void finish_connect(int index, uint32_t events) {
  conn_slot& slot = conn_table[index];
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(slot.sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err == 0 && (events & EPOLLOUT) == 0) err = ECONNREFUSED;
  if (err != 0) {
    // A failed connect closes the slot without a 'C'.
    slot.io_state = static_cast<uint8_t>((slot.io_state & ~IO_CONNECTING) | IO_EOF);
    if (slot.io_state & IO_REGISTERED) {
      epoll_ctl(engine_epoll_fd, EPOLL_CTL_DEL, slot.sock, nullptr);
      slot.io_state &= static_cast<uint8_t>(~IO_REGISTERED);
    }
    slot_request_close(index);
    queue_reap(slot.sock);
    return;
  }
  slot.io_state &= static_cast<uint8_t>(~IO_CONNECTING);
  engine_log_line(index, "Connected.");
  slot_dispatch(index, 'C');
  io_flush(index);
  io_update(index);
}
}  // namespace

void io_queue_s(conn_slot& slot) {
  if (slot.io_state & IO_S_PENDING) return;
  slot.io_state |= IO_S_PENDING;
  if (s_count < SLOT_COUNT) s_queue[s_count++] = slot.sock;
}

void engine_set_log(const engine_log_hooks& hooks) {
  log_hooks = hooks;
}

void engine_log_line(int index, const char* format, ...) {
  if (!log_wanted(index) || log_hooks.line == nullptr) return;
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  log_hooks.line(index, text);
}

namespace {
void log_dump_v(int index, const void* bytes, uint32_t count, const char* format, va_list args) {
  char text[256];
  vsnprintf(text, sizeof text, format, args);
  log_hooks.dump(index, bytes, count, text);
}
}  // namespace

void engine_log_dump(int index, const void* bytes, uint32_t count, const char* format, ...) {
  if (!log_wanted(index) || log_hooks.dump == nullptr) return;
  va_list args;
  va_start(args, format);
  log_dump_v(index, bytes, count, format, args);
  va_end(args);
}

void engine_log_sent(int index, const void* bytes, uint32_t count, const char* format, ...) {
  if (!log_wanted(index) || log_hooks.dump == nullptr) return;
  // What signs in to a proxy is counted, never dumped.
  const bool secret = (conn_table[index].flags & SLOT_SECRET_OUTPUT) != 0;
  va_list args;
  va_start(args, format);
  log_dump_v(index, secret ? nullptr : bytes, secret ? 0u : count, format, args);
  va_end(args);
}

void fdmap_set(int sock, int index) {
  if (sock >= 0 && sock < FDMAP_SIZE) fdmap[sock] = static_cast<uint16_t>(index + 1);
}

void fdmap_clear(int sock) {
  if (sock >= 0 && sock < FDMAP_SIZE) fdmap[sock] = 0;
}

int slot_find_by_socket(int sock) {
  if (sock < 0) return -1;
  if (sock < FDMAP_SIZE) {
    int index = static_cast<int>(fdmap[sock]) - 1;
    if (index >= 0 && conn_table[index].sock == sock) return index;
    return -1;
  }
  int used = slot_count_used();
  for (int i = 0; i < used; ++i)
    if (conn_table[i].sock == sock) return i;
  return -1;
}

bool io_register(int index, uint32_t events) {
  conn_slot& slot = conn_table[index];
  if (engine_epoll_fd < 0) return false;
  if (++last_tag == 0) last_tag = 1;
  slot.io_tag = last_tag;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = (static_cast<uint64_t>(slot.io_tag) << 32) | static_cast<uint32_t>(slot.sock);
  if (epoll_ctl(engine_epoll_fd, EPOLL_CTL_ADD, slot.sock, &ev) != 0) return false;
  slot.io_events = events;
  slot.io_state |= IO_REGISTERED;
  return true;
}

void io_update(int index) {
  if (index < 0) return;
  conn_slot& slot = conn_table[index];
  if (slot.sock == -1 || !(slot.io_state & IO_REGISTERED)) return;
  if (slot.io_state & IO_PAUSED) {
    if (!wants_pause(slot, FLOW_LOW)) slot.io_state &= static_cast<uint8_t>(~IO_PAUSED);
  } else if (wants_pause(slot, FLOW_HIGH)) {
    slot.io_state |= IO_PAUSED;
  }
  uint32_t events = 0;
  if (!(slot.io_state & (IO_EOF | IO_PAUSED))) events |= EPOLLIN | EPOLLRDHUP;
  if (slot.out.len > 0 || (slot.io_state & IO_CONNECTING) || io_piped_toward(slot) > 0)
    events |= EPOLLOUT;
  if (events == slot.io_events) return;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = (static_cast<uint64_t>(slot.io_tag) << 32) | static_cast<uint32_t>(slot.sock);
  if (epoll_ctl(engine_epoll_fd, EPOLL_CTL_MOD, slot.sock, &ev) == 0) slot.io_events = events;
}

void io_flush(int index) {
  conn_slot& slot = conn_table[index];
  if (slot.sock == -1 || (slot.io_state & IO_CONNECTING)) return;
  bool moved = false;
  while (slot.out.len > 0) {
    ssize_t sent = send(slot.sock, slot.out.data, slot.out.len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      uint32_t n = static_cast<uint32_t>(sent);
      engine_log_sent(index, slot.out.data, n, "%u bytes sent.", n);
      slot.out.total += n;
      stream_consume(slot.out, n);
      moved = true;
      continue;
    }
    int err = errno;
    if (sent < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)) break;
    engine_log_sent(index, slot.out.data, slot.out.len, "Error #%d. %u of %u bytes sent. %s", err,
                    0u, slot.out.len, "");
    // The bytes can never be delivered: drop them.
    stream_consume(slot.out, slot.out.len);
    if (fatal_error(err)) slot_request_close(index);
    break;
  }
  if (moved) slot.last_activity = slot.last_tick = tick_now();
  if (slot.out.len == 0 && moved) io_queue_s(slot);
  // Then what waits in the linked slot's pipe for this socket.
  const int source = linked_index(slot);
  if (slot.out.len == 0 && source >= 0 && io_piped_toward(slot) > 0) {
    // io_pipe_flush tells io_output_done once the pipe is empty.
    if (!io_pipe_flush(source)) io_update(index);
    return;
  }
  io_output_done(index);
}

void io_output_done(int index) {
  conn_slot& slot = conn_table[index];
  if (slot.out.len == 0 && io_piped_toward(slot) == 0) {
    if (slot.io_state & IO_SHUT_PENDING) {
      slot.io_state &= static_cast<uint8_t>(~IO_SHUT_PENDING);
      shutdown(slot.sock, SHUT_WR);
    }
    if (slot.io_state & IO_EOF) queue_reap(slot.sock);
  }
  io_update(index);
  // Room again on this side: let the linked slot read once more.
  if (slot.out.len < FLOW_LOW) {
    int other = linked_index(slot);
    if (other >= 0 && (conn_table[other].io_state & IO_PAUSED)) io_update(other);
  }
}

void io_handle(int index, uint32_t events) {
  conn_slot& slot = conn_table[index];
  slot.last_activity = slot.last_tick = tick_now();
  if (slot.io_state & IO_CONNECTING) {
    if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) finish_connect(index, events);
    return;
  }
  if (events & EPOLLOUT) io_flush(index);
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) read_input(index);
  conn_slot& after = conn_table[index];
  if ((events & (EPOLLHUP | EPOLLERR)) && (after.io_state & IO_REGISTERED) &&
      (after.io_state & IO_EOF)) {
    // Hang-up is reported whatever the mask: stop watching a dead socket.
    epoll_ctl(engine_epoll_fd, EPOLL_CTL_DEL, after.sock, nullptr);
    after.io_state &= static_cast<uint8_t>(~IO_REGISTERED);
    slot_request_close(index);
    if (after.out.len > 0) stream_consume(after.out, after.out.len);
    // What waits in the linked slot's pipe for it can go nowhere either.
    const int source = linked_index(after);
    if (source >= 0 && io_piped_toward(after) > 0) io_pipe_flush(source);
    queue_reap(conn_table[index].sock);
  }
}

void io_after_events() {
  // 'S' for every slot whose output drained since the last delivery.
  int pending = s_count;
  static int batch[SLOT_COUNT];
  memcpy(batch, s_queue, sizeof(int) * static_cast<size_t>(pending));
  s_count = 0;
  for (int k = 0; k < pending; ++k) {
    int index = slot_find_by_socket(batch[k]);
    if (index < 0) continue;
    conn_slot& slot = conn_table[index];
    if (!(slot.io_state & IO_S_PENDING)) continue;
    slot.io_state &= static_cast<uint8_t>(~IO_S_PENDING);
    if (slot.out.len == 0) slot_dispatch(index, 'S');
  }
  // A slot whose peer has closed, with nothing left to send, and whose linked
  // slot is in the same state can receive nothing more: close the pair now
  // instead of waiting for the quiet period.
  int candidates = reap_count;
  static int reap_batch[SLOT_COUNT];
  memcpy(reap_batch, reap_queue, sizeof(int) * static_cast<size_t>(candidates));
  reap_count = 0;
  for (int k = 0; k < candidates; ++k) {
    int index = slot_find_by_socket(reap_batch[k]);
    if (index <= 0) continue;
    conn_slot& slot = conn_table[index];
    if (!(slot.io_state & IO_EOF) || slot.out.len > 0 || io_piped_toward(slot) > 0 ||
        !(slot.flags & SLOT_CLOSE_REQUESTED))
      continue;
    int other = linked_index(slot);
    if (other >= 0 && !(slot.flags & SLOT_CLOSE_ALONE)) {
      const conn_slot& linked = conn_table[other];
      if (!(linked.io_state & IO_EOF) || linked.out.len > 0 || slot.io_piped > 0) continue;
    }
    slot_close(index);
  }
}

void engine_release_buffers() {
  madvise(read_buffer, sizeof read_buffer, MADV_DONTNEED);
}

void io_reset_queues() {
  s_count = 0;
  reap_count = 0;
  memset(fdmap, 0, sizeof fdmap);
}
