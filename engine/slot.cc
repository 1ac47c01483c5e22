#include "engine/slot.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "chain/negotiate.h"
#include "chain/recognize.h"
#include "chain/rewrite.h"
#include "engine/io.h"
#include "log/log.h"
#include "maintenance/handlers.h"
#include "panel/server.h"
#include "platform/clock.h"

conn_slot conn_table[SLOT_COUNT];
uint32_t next_serial = 1;
std::atomic<uint32_t> stop_flag{0};
uint32_t panel_push_time = 0;
uint16_t listen_port = 8080;

// ---------------------------------------------------------------------------
// Streams

// Consuming from the front only moves `data` forward; the bytes are moved
// back to the block's start when the tail has no room and at least half of
// what the block holds is already consumed, so a slowly drained stream costs
// no copy per send.
namespace {
uint8_t* block_of(const stream& s) {
  return s.data != nullptr ? s.data - s.head : nullptr;
}

void move_to_front(stream& s) {
  if (s.head == 0) return;
  uint8_t* block = block_of(s);
  memmove(block, s.data, s.len);
  s.data = block;
  s.head = 0;
}
}  // namespace

bool stream_reserve(stream& s, uint32_t needed) {
  if (s.head + needed <= s.cap) return true;
  if (needed <= s.cap && s.head >= s.len) {
    move_to_front(s);
    return true;
  }
  uint32_t cap = s.cap < 256 ? 256 : s.cap;
  while (cap < needed) cap = cap > (1u << 30) ? needed : cap * 2;
  if (cap == s.cap) cap = s.cap > (1u << 30) ? needed : s.cap * 2;
  move_to_front(s);
  auto* block = static_cast<uint8_t*>(realloc(s.data, cap));
  if (block == nullptr) return false;
  s.data = block;
  s.cap = cap;
  return true;
}

bool stream_append(stream& s, const void* bytes, uint32_t n) {
  if (n == 0) return true;
  if (bytes == nullptr || s.len + n < s.len) return false;
  if (!stream_reserve(s, s.len + n)) return false;
  memcpy(s.data + s.len, bytes, n);
  s.len += n;
  return true;
}

void stream_consume(stream& s, uint32_t n) {
  if (n == 0) return;
  if (n >= s.len) {
    s.len = 0;
    if (s.cap > STREAM_KEEP) {
      stream_free(s);
    } else if (s.data != nullptr) {
      s.data = block_of(s);
      s.head = 0;
    }
    return;
  }
  s.data += n;
  s.head += n;
  s.len -= n;
}

void stream_free(stream& s) {
  free(block_of(s));
  s.data = nullptr;
  s.len = 0;
  s.cap = 0;
  s.head = 0;
}

bool stream_assign(stream& s, const void* bytes, uint32_t n) {
  if (n > s.cap) {
    // Copy first: `bytes` may point into the current block.
    auto* block = static_cast<uint8_t*>(malloc(n));
    if (block == nullptr) return false;
    memcpy(block, bytes, n);
    free(block_of(s));
    s.data = block;
    s.cap = n;
    s.head = 0;
  } else if (n > 0) {
    uint8_t* block = block_of(s);
    memmove(block, bytes, n);
    s.data = block;
    s.head = 0;
  }
  s.len = n;
  return true;
}

// ---------------------------------------------------------------------------
// Allocation and lookup

namespace {
// Occupied slots always form a prefix of the table (compaction on close).
int slots_used = 0;

void clear_slot(conn_slot& slot) {
  memset(&slot, 0, sizeof slot);
  slot.sock = -1;
}

void apply_socket_options(int sock) {
  int one = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

struct handler_override {
  slot_kind kind;
  slot_handler handler;
};
handler_override overrides[16];
int override_count = 0;

bool is_occupied(const conn_slot& slot) {
  return slot.sock != -1;
}
}  // namespace

int engine_slots_used() {
  return slots_used;
}
void engine_claim_listener_slot() {
  if (slots_used == 0) slots_used = 1;
}
void engine_reset_slots() {
  for (auto& slot : conn_table) clear_slot(slot);
  slots_used = 0;
}

int slot_alloc(int listen_sock) {
  if (slots_used >= SLOT_COUNT) return -1;
  int sock;
  if (listen_sock > 0) {
    sock = accept4(listen_sock, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  } else {
    sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  }
  if (sock < 0) return -1;
  int index = slots_used;
  conn_slot& slot = conn_table[index];
  clear_slot(slot);
  slot.sock = sock;
  slot.link_sock = -1;
  apply_socket_options(sock);
  slot.serial = next_serial++;
  uint32_t now = tick_now();
  slot.started = slot.last_tick = slot.last_activity = now;
  ++slots_used;
  fdmap_set(sock, index);
  if (listen_sock > 0) {
    // An accepted socket is connected: watch it for input at once.
    if (!io_register(index, EPOLLIN | EPOLLRDHUP)) {
      slot_request_close(index);
      return -1;
    }
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    if (getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &len) == 0 && len > 0 &&
        peer.sin_family == AF_INET)
      slot.peer_addr = peer.sin_addr.s_addr;
  }
  return index;
}

int slot_find_by_socket(int sock);  // defined in io.cc with the socket map

void slot_request_close(int index) {
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_slot& slot = conn_table[index];
  slot.flags |= SLOT_CLOSE_REQUESTED;
  if (slot.link_sock != 0 && slot.link_sock != -1) {
    int other = slot_find_by_socket(slot.link_sock);
    if (other >= 0) conn_table[other].flags |= SLOT_CLOSE_REQUESTED;
  }
}

// ---------------------------------------------------------------------------
// Dispatch

void engine_set_handler(slot_kind kind, slot_handler handler) {
  for (int i = 0; i < override_count; ++i) {
    if (overrides[i].kind != kind) continue;
    if (handler == nullptr) {
      overrides[i] = overrides[--override_count];
    } else {
      overrides[i].handler = handler;
    }
    return;
  }
  if (handler != nullptr && override_count < 16) overrides[override_count++] = {kind, handler};
}

void slot_dispatch(int index, char letter) {
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_slot& slot = conn_table[index];
  if (override_count > 0) {
    for (int i = 0; i < override_count; ++i) {
      if (overrides[i].kind == slot.kind) {
        overrides[i].handler(index, letter);
        return;
      }
    }
  }
  switch (slot.kind) {
    case slot_kind::check:
      check_handler(index, letter);
      return;
    case slot_kind::chain_test:
      chain_test_handler(index, letter);
      return;
    case slot_kind::myip:
      myip_handler(index, letter);
      return;
    case slot_kind::chain:
      chain_handler(index, letter);
      return;
    case slot_kind::relay:
      slot_relay(index);
      if (letter == 'X') chain_close(index);
      return;
    case slot_kind::download:
      download_handler(index, letter);
      return;
    case slot_kind::error:
      // A refused client has its page; whatever it still sends is dropped,
      // so its input never fills up and stops being read, and its close is
      // seen when it comes.
      if (letter == 'R' && slot.in.len > 0) slot_consume_input(index, slot.in.len);
      return;
    default:
      break;
  }
  if (letter != 'R') return;
  if (slot.kind == slot_kind::web || slot.kind == slot_kind::web_push) {
    if (slot.out.total != 0) return;
    if (panel_request(index) != 0) conn_table[index].kind = slot_kind::web_push;
    return;
  }
  if (slot.kind == slot_kind::listen) return;
  client_recognize(index);
}

const char* slot_kind_label(const conn_slot& slot) {
  switch (slot.kind) {
    case slot_kind::listen:
      return "Listen";
    case slot_kind::web:
    case slot_kind::web_push:
      return "Web server";
    case slot_kind::check:
    case slot_kind::chain_test:
      return "Proxy check";
    case slot_kind::myip:
      return "Get My IP";
    case slot_kind::chain:
    case slot_kind::relay:
      return slot.route[0] != 0 ? "Chain-L" : "Chain-R";
    case slot_kind::download:
      return "Download";
    case slot_kind::error:
      return "Error";
    default:
      return "Unknown";
  }
}

// ---------------------------------------------------------------------------
// Socket operations

void slot_send(int index, const void* data, int len) {
  if (index < 0 || index >= SLOT_COUNT || data == nullptr || len < 1) return;
  conn_slot& slot = conn_table[index];
  if (slot.sock == -1) return;
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint32_t n = static_cast<uint32_t>(len);
  if (slot.out.len == 0 && (slot.io_state & (IO_CONNECTING | IO_REGISTERED)) == IO_REGISTERED) {
    // Nothing queued: hand the bytes to the socket at once, keep the rest.
    ssize_t sent = send(slot.sock, bytes, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      log_dump(index, bytes, static_cast<uint32_t>(sent), "%u bytes sent.",
               static_cast<unsigned>(sent));
      slot.out.total += static_cast<uint32_t>(sent);
      slot.last_activity = slot.last_tick = tick_now();
      bytes += sent;
      n -= static_cast<uint32_t>(sent);
      if (n == 0) {
        slot.io_state |= IO_S_PENDING;
        return;
      }
    } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      log_dump(index, bytes, n, "Error #%d. %u of %u bytes sent. %s", errno, 0u, n, "");
      slot_request_close(index);
      return;
    }
  }
  if (!stream_append(slot.out, bytes, n)) return;
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
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_slot& slot = conn_table[index];
  if (slot.sock == -1) return;
  shutdown(slot.sock, SHUT_RDWR);
  slot_request_close(index);
}

int slot_create_linked(int index) {
  int created = slot_alloc(0);
  if (created < 0) return -1;
  if (index >= 0 && index < SLOT_COUNT && conn_table[index].sock != -1) {
    conn_table[created].serial = conn_table[index].serial;
    conn_table[created].link_sock = conn_table[index].sock;
    conn_table[index].link_sock = conn_table[created].sock;
  }
  return created;
}

int slot_connect(int index, uint32_t addr_net, uint16_t port) {
  if (index < 0 || index >= SLOT_COUNT) return 0;
  conn_slot& slot = conn_table[index];
  if (slot.sock == -1) return 0;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = addr_net;
  to.sin_port = htons(port);
  int rc = connect(slot.sock, reinterpret_cast<sockaddr*>(&to), sizeof to);
  if (rc != 0 && errno != EINPROGRESS && errno != EINTR && errno != EAGAIN) {
    slot_request_close(index);
    return 0;
  }
  const auto* a = reinterpret_cast<const uint8_t*>(&addr_net);
  log_line(index, "Connecting to %u.%u.%u.%u port %d", a[0], a[1], a[2], a[3], port);
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

void slot_relay(int index) {
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_slot& slot = conn_table[index];
  if (slot.link_sock == 0 || slot.link_sock == -1) return;
  int other = slot_find_by_socket(slot.link_sock);
  if (other < 0) return;
  relay_hook(index, other);
  conn_slot& linked = conn_table[other];
  slot.kind = slot_kind::relay;
  linked.kind = slot_kind::relay;
  if (linked.in.len > 0) {
    slot_send(index, linked.in.data, static_cast<int>(linked.in.len));
    slot_consume_input(other, linked.in.len);
  }
  if (slot.in.len > 0) {
    slot_send(other, slot.in.data, static_cast<int>(slot.in.len));
    slot_consume_input(index, slot.in.len);
  }
}

void panel_broadcast(const void* data, int len) {
  if (len < 1) {
    panel_push_time = tick_now();
    return;
  }
  int reached = 0;
  for (int i = 0; i < slots_used; ++i) {
    conn_slot& slot = conn_table[i];
    if (!is_occupied(slot) || slot.kind != slot_kind::web_push) continue;
    slot_send(i, data, len);
    ++reached;
  }
  panel_push_time = reached > 0 ? tick_now() : 0;
}

void slot_close(int index) {
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_slot& slot = conn_table[index];
  int saved_link = slot.link_sock;
  slot.link_sock = -1;
  slot.flags |= SLOT_CLOSE_REQUESTED;
  if (slot.sock != -1) {
    // Final drain, bounded: bytes that arrived since the close request still
    // reach the handler in one last 'R'.
    uint32_t drained = 0;
    uint8_t buffer[4096];
    while (drained < CLOSE_DRAIN_LIMIT) {
      ssize_t got = recv(slot.sock, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got <= 0) break;
      if (!stream_append(slot.in, buffer, static_cast<uint32_t>(got))) break;
      slot.in.total += static_cast<uint32_t>(got);
      drained += static_cast<uint32_t>(got);
    }
    if (drained > 0) slot_dispatch(index, 'R');
    slot_dispatch(index, 'X');
    log_line(index, "Socket closed.");
    conn_slot& closing = conn_table[index];
    if (closing.io_state & IO_REGISTERED)
      epoll_ctl(engine_epoll_fd, EPOLL_CTL_DEL, closing.sock, nullptr);
    fdmap_clear(closing.sock);
    shutdown(closing.sock, SHUT_RDWR);
    close(closing.sock);
  }
  conn_slot& closing = conn_table[index];
  stream_free(closing.in);
  stream_free(closing.out);
  // Compaction: every later slot moves down one place.
  int last = slots_used - 1;
  if (index <= last) {
    if (index < last) {
      memmove(&conn_table[index], &conn_table[index + 1],
              sizeof(conn_slot) * static_cast<size_t>(last - index));
      for (int i = index; i < last; ++i)
        if (conn_table[i].sock != -1) fdmap_set(conn_table[i].sock, i);
    }
    clear_slot(conn_table[last]);
    --slots_used;
  } else {
    clear_slot(closing);
  }
  if (saved_link != 0 && saved_link != -1) {
    int other = slot_find_by_socket(saved_link);
    if (other >= 0) slot_close(other);
  }
}
