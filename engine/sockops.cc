// Socket operations handlers call: send, consume, abort, link, connect,
// relay and broadcast.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>

#include "engine/io.h"
#include "engine/slot.h"
#include "platform/clock.h"

namespace {
bool valid_slot(int index) {
  return index >= 0 && index < SLOT_COUNT && conn_table[index].sock != -1;
}

// Hands bytes to the socket at once when nothing is queued before them;
// returns how many it took, or -1 after a fatal error.
int64_t send_direct(int index, const uint8_t* bytes, uint32_t n) {
  conn_slot& slot = conn_table[index];
  if (slot.out.len != 0 || (slot.io_state & (IO_CONNECTING | IO_REGISTERED)) != IO_REGISTERED)
    return 0;
  ssize_t sent = send(slot.sock, bytes, n, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent > 0) {
    engine_log_sent(index, bytes, static_cast<uint32_t>(sent), "%u bytes sent.",
                    static_cast<unsigned>(sent));
    slot.out.total += static_cast<uint32_t>(sent);
    slot.last_activity = slot.last_tick = tick_now();
    return sent;
  }
  if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    engine_log_sent(index, bytes, n, "Error #%d. %u of %u bytes sent. %s", errno, 0u, n, "");
    return -1;
  }
  return 0;
}
}  // namespace

void slot_send(int index, const void* data, int len) {
  if (!valid_slot(index) || data == nullptr || len < 1) return;
  conn_slot& slot = conn_table[index];
  const auto* bytes = static_cast<const uint8_t*>(data);
  auto n = static_cast<uint32_t>(len);
  int64_t sent = send_direct(index, bytes, n);
  if (sent < 0) {
    slot_request_close(index);
    return;
  }
  if (static_cast<uint32_t>(sent) == n) {
    // Everything went out: the handler still hears 'S' from the loop.
    io_queue_s(slot);
    return;
  }
  if (!stream_append(slot.out, bytes + sent, n - static_cast<uint32_t>(sent))) return;
  io_update(index);
}

void slot_consume(int index, uint32_t in_count, uint32_t out_count) {
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_slot& slot = conn_table[index];
  if (in_count > 0) {
    stream_consume(slot.in, in_count);
    if ((slot.io_state & IO_PAUSED) && slot.in.len < FLOW_LOW) io_update(index);
  }
  if (out_count > 0) stream_consume(slot.out, out_count);
}

void slot_consume_input(int index, uint32_t count) {
  if (count >= 1) slot_consume(index, count, 0);
}

void slot_abort(int index) {
  if (!valid_slot(index)) return;
  shutdown(conn_table[index].sock, SHUT_RDWR);
  slot_request_close(index);
}

int slot_create_linked(int index) {
  int created = slot_alloc(0);
  if (created < 0) return -1;
  if (valid_slot(index)) {
    conn_table[created].serial = conn_table[index].serial;
    conn_table[created].link_sock = conn_table[index].sock;
    conn_table[index].link_sock = conn_table[created].sock;
  }
  return created;
}

int slot_connect(int index, uint32_t addr_net, uint16_t port) {
  if (!valid_slot(index)) return 0;
  conn_slot& slot = conn_table[index];
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = addr_net;
  to.sin_port = htons(port);
  int rc = connect(slot.sock, reinterpret_cast<sockaddr*>(&to), sizeof to);
  if (rc != 0 && errno != EINPROGRESS && errno != EINTR && errno != EAGAIN) {
    slot_request_close(index);
    return 0;
  }
  // The local end is bound now: a connection from it to our own listener
  // is recognised at accept.
  sockaddr_in local{};
  socklen_t local_len = sizeof local;
  if (getsockname(slot.sock, reinterpret_cast<sockaddr*>(&local), &local_len) == 0) {
    slot.io_local_addr = local.sin_addr.s_addr;
    slot.io_local_port = local.sin_port;
  }
  slot.io_remote_addr = addr_net;
  slot.io_remote_port = to.sin_port;
  const auto* a = reinterpret_cast<const uint8_t*>(&addr_net);
  engine_log_line(index, "Connecting to %u.%u.%u.%u port %d", a[0], a[1], a[2], a[3], port);
  // The outcome arrives as writability; 'C' follows then.
  slot.io_state |= IO_CONNECTING;
  if (slot.io_state & IO_REGISTERED) {
    io_update(index);
  } else if (!io_register(index, EPOLLOUT | EPOLLIN | EPOLLRDHUP)) {
    slot_request_close(index);
    return 0;
  }
  return 1;
}

void slot_set_input_limit(int index, uint32_t bytes) {
  if (!valid_slot(index)) return;
  conn_table[index].in_limit = bytes;
  io_update(index);
}

namespace {
// Sends the input of `from` to `to`, all but its last `keep` bytes.
void relay_input(int from, int to, uint32_t keep) {
  stream& in = conn_table[from].in;
  if (in.len <= keep) return;
  const uint32_t n = in.len - keep;
  slot_send(to, in.data, static_cast<int>(n));
  slot_consume_input(from, n);
}
}  // namespace
void slot_set_deadline(int index, uint32_t ms) {
  if (!valid_slot(index)) return;
  conn_slot& slot = conn_table[index];
  if (ms == 0) {
    slot.deadline = 0;
    return;
  }
  uint32_t at = tick_now() + ms;
  if (at == 0) at = 1;
  slot.deadline = at;
  io_deadline_armed(at);
}

void slot_relay(int index) {
  slot_relay_holding(index, -1, 0);
}

void slot_relay_holding(int index, int held_index, uint32_t held) {
  int other = slot_linked(index);
  if (other < 0) return;
  conn_slot& slot = conn_table[index];
  conn_slot& linked = conn_table[other];
  slot.kind = slot_kind::relay;
  linked.kind = slot_kind::relay;
  slot.flags &= static_cast<uint8_t>(~SLOT_CLOSE_ALONE);
  linked.flags &= static_cast<uint8_t>(~SLOT_CLOSE_ALONE);
  relay_input(other, index, other == held_index ? held : 0);
  relay_input(index, other, index == held_index ? held : 0);
}

int slot_broadcast(slot_kind kind, const void* data, int len) {
  int reached = 0;
  int used = slot_count_used();
  for (int i = 0; i < used; ++i) {
    if (conn_table[i].sock == -1 || conn_table[i].kind != kind) continue;
    slot_send(i, data, len);
    ++reached;
  }
  return reached;
}
