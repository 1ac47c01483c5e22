// Slot allocation, lookup, close requests and the close itself with the
// table's compaction.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "engine/io.h"
#include "engine/slot.h"
#include "platform/clock.h"

conn_slot conn_table[SLOT_COUNT];
uint32_t next_serial = 1;
uint16_t listen_port = 8080;
uint32_t listen_address = 0x0100007F;  // 127.0.0.1

namespace {
// Occupied slots always form a prefix of the table (compaction on close).
int slots_used = 0;
int slots_accepted = 0;

void clear_slot(conn_slot& slot) {
  memset(&slot, 0, sizeof slot);
  slot.sock = -1;
}

void apply_socket_options(int sock) {
  int one = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Reads the accepted peer's IPv4 address into the slot (also as a
// dual-stack listener sees it, ::ffff:a.b.c.d); an IPv6 peer leaves none.
void note_peer(conn_slot& slot) {
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  if (getpeername(slot.sock, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || len == 0) return;
  const auto* a6 = reinterpret_cast<const sockaddr_in6*>(&peer);
  if (peer.ss_family == AF_INET) {
    const auto* a4 = reinterpret_cast<const sockaddr_in*>(&peer);
    slot.peer_addr = a4->sin_addr.s_addr;
    slot.io_peer_port = a4->sin_port;
  } else if (peer.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&a6->sin6_addr)) {
    memcpy(&slot.peer_addr, a6->sin6_addr.s6_addr + 12, 4);
    slot.io_peer_port = a6->sin6_port;
  }
}

// Final drain, bounded: bytes that arrived since the close request still
// reach the handler in one last 'R'; then 'X'.
void deliver_last_events(int index) {
  conn_slot& slot = conn_table[index];
  uint32_t drained = 0;
  uint8_t buffer[4096];
  while (drained < CLOSE_DRAIN_LIMIT) {
    ssize_t got = recv(slot.sock, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got <= 0) break;
    if (!stream_append(slot.in, buffer, static_cast<uint32_t>(got))) break;
    slot.in.total += static_cast<uint32_t>(got);
    drained += static_cast<uint32_t>(got);
  }
  if (drained > 0) slot_dispatch(index, slot_event::input);
  slot_dispatch(index, slot_event::closing);
  engine_log_line(index, "Socket closed.");
}

void release_socket(conn_slot& slot) {
  if (slot.io_state & IO_REGISTERED) epoll_ctl(engine_epoll_fd, EPOLL_CTL_DEL, slot.sock, nullptr);
  fdmap_clear(slot.sock);
  shutdown(slot.sock, SHUT_RDWR);
  close(slot.sock);
}

// Every later slot moves down one place.
void compact_from(int index) {
  int last = slots_used - 1;
  if (index > last) {
    clear_slot(conn_table[index]);
    return;
  }
  if (index < last) {
    memmove(&conn_table[index], &conn_table[index + 1],
            sizeof(conn_slot) * static_cast<size_t>(last - index));
    for (int i = index; i < last; ++i)
      if (conn_table[i].sock != -1) fdmap_set(conn_table[i].sock, i);
  }
  clear_slot(conn_table[last]);
  --slots_used;
}
}  // namespace

int slot_count_used() {
  return slots_used;
}
int slot_count_accepted() {
  return slots_accepted;
}
void engine_claim_listener_slot() {
  if (slots_used == 0) slots_used = 1;
}
void engine_reset_slots() {
  for (auto& slot : conn_table) clear_slot(slot);
  slots_used = 0;
  slots_accepted = 0;
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
  io_slot_due(index);
  if (listen_sock > 0) {
    slot.flags |= SLOT_ACCEPTED;
    ++slots_accepted;
    // An accepted socket is connected: watch it for input at once.
    if (!io_register(index, EPOLLIN | EPOLLRDHUP)) {
      slot_request_close(index);
      return -1;
    }
    note_peer(slot);
  }
  return index;
}

int slot_linked(int index) {
  if (index < 0 || index >= SLOT_COUNT) return -1;
  const conn_slot& slot = conn_table[index];
  if (slot.link_sock == 0 || slot.link_sock == -1) return -1;
  return slot_find_by_socket(slot.link_sock);
}

void slot_request_close(int index) {
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_table[index].flags |= SLOT_CLOSE_REQUESTED;
  io_slot_due(index);
  if (conn_table[index].flags & SLOT_CLOSE_ALONE) return;
  int other = slot_linked(index);
  if (other < 0) return;
  conn_table[other].flags |= SLOT_CLOSE_REQUESTED;
  io_slot_due(other);
}

void slot_close(int index) {
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_slot& slot = conn_table[index];
  int saved_link = slot.link_sock;
  const int own_sock = slot.sock;
  // Bytes still in this slot's pipe keep their place ahead of the last ones
  // read below.
  if (slot.io_pipe != 0) io_unpipe(index);
  slot.link_sock = -1;
  slot.flags |= SLOT_CLOSE_REQUESTED;
  if (slot.sock != -1) {
    deliver_last_events(index);
    release_socket(conn_table[index]);
  }
  stream_free(conn_table[index].in);
  stream_free(conn_table[index].out);
  if ((conn_table[index].flags & SLOT_ACCEPTED) && slots_accepted > 0) --slots_accepted;
  compact_from(index);
  if (saved_link != 0 && saved_link != -1) {
    // The partner goes too, unless its handler linked it to a new slot
    // while this one closed (a chain rebuilt for the same client).
    int other = slot_find_by_socket(saved_link);
    if (other >= 0 && (own_sock == -1 || conn_table[other].link_sock == own_sock ||
                       conn_table[other].link_sock == -1 || conn_table[other].link_sock == 0))
      slot_close(other);
  }
}
