// The zero-copy relay: bytes of a relay pair move from one socket to the
// other through a pipe (splice), never through the slots' streams. A pipe is
// held by the slot that read the bytes only while some wait in it for the
// linked socket; empty pipes go back to a small free list.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "engine/io.h"
#include "engine/slot.h"
#include "platform/clock.h"

namespace {
// Bytes moved by one splice call, and the pipe's capacity (kernel pages
// are taken only while bytes wait in it).
constexpr uint32_t PIPE_CHUNK = 1024u << 10;
// Empty pipes kept open for the next pair.
constexpr int PIPES_KEPT = 8;

struct engine_pipe {
  int read_fd;
  int write_fd;
  bool open;
  bool busy;
};
engine_pipe pipes[ENGINE_PIPES_MAX];
int pipes_open = 0;
int pipes_idle = 0;

// Set from a benchmark's own thread.
std::atomic<bool> splice_on{true};
slot_raw_test raw_test = nullptr;

// A pool entry with an open pipe, or -1 when none can be had (the pair
// then copies).
int pipe_take() {
  int empty = -1;
  for (int k = 0; k < ENGINE_PIPES_MAX; ++k) {
    engine_pipe& p = pipes[k];
    if (p.open && !p.busy) {
      p.busy = true;
      --pipes_idle;
      return k;
    }
    if (!p.open && empty < 0) empty = k;
  }
  if (empty < 0) return -1;
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
  fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(PIPE_CHUNK));  // the default 64 KiB otherwise
  pipes[empty] = engine_pipe{fds[0], fds[1], true, true};
  ++pipes_open;
  return empty;
}

// An empty pipe goes back to the free list (or is closed when the list is
// full); one still holding bytes is closed, so they never reach another pair.
void pipe_give_back(int k, bool empty) {
  engine_pipe& p = pipes[k];
  if (empty && pipes_idle < PIPES_KEPT) {
    p.busy = false;
    ++pipes_idle;
    return;
  }
  close(p.read_fd);
  close(p.write_fd);
  p = engine_pipe{};
  --pipes_open;
}

void release_pipe(conn_slot& slot) {
  if (slot.io_pipe == 0) return;
  pipe_give_back(slot.io_pipe - 1, slot.io_piped == 0);
  slot.io_pipe = 0;
  slot.io_piped = 0;
}

bool fatal(int err) {
  return err != EAGAIN && err != EWOULDBLOCK && err != EINTR;
}
}  // namespace

void slot_set_raw_test(slot_raw_test test) {
  raw_test = test;
}

void engine_set_splice(bool on) {
  splice_on.store(on, std::memory_order_relaxed);
}

int engine_pipes_open() {
  return pipes_open;
}

bool io_splice_allowed(int index, int other) {
  if (!splice_on.load(std::memory_order_relaxed) || other < 0) return false;
  const conn_slot& from = conn_table[index];
  const conn_slot& to = conn_table[other];
  if (from.kind != slot_kind::relay || to.kind != slot_kind::relay) return false;
  if (to.link_sock != from.sock) return false;  // linked one way only
  if (from.in.len != 0 || to.out.len != 0) return false;
  if ((to.io_state & (IO_REGISTERED | IO_CONNECTING)) != IO_REGISTERED) return false;
  if (engine_log_wanted(index) || engine_log_wanted(other)) return false;
  return raw_test == nullptr || raw_test(index, other);
}

bool io_pipe_flush(int index) {
  conn_slot& from = conn_table[index];
  if (from.io_piped == 0) return true;
  const int other = slot_linked(index);
  if (other < 0) {
    release_pipe(from);  // nobody to deliver to
    return true;
  }
  conn_slot& to = conn_table[other];
  const int read_fd = pipes[from.io_pipe - 1].read_fd;
  bool moved = false;
  while (from.io_piped > 0) {
    const ssize_t n = splice(read_fd, nullptr, to.sock, nullptr, from.io_piped,
                             SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (n > 0) {
      from.io_piped -= static_cast<uint32_t>(n);
      to.out.total += static_cast<uint32_t>(n);
      moved = true;
      continue;
    }
    const int err = errno;
    if (n < 0 && !fatal(err)) break;
    // The bytes can never be delivered: drop them, as the copy path does.
    release_pipe(from);
    if (io_fatal_error(err)) slot_request_close(other);
    break;
  }
  if (moved) to.last_activity = to.last_tick = tick_now();
  if (from.io_piped > 0) return false;
  release_pipe(from);
  io_output_done(other);
  return true;
}

splice_result io_splice_in(int index) {
  conn_slot& slot = conn_table[index];
  if (slot.io_pipe == 0) {
    const int k = pipe_take();
    if (k < 0) return splice_result::copy;
    slot.io_pipe = static_cast<uint16_t>(k + 1);
  }
  const int write_fd = pipes[slot.io_pipe - 1].write_fd;
  const ssize_t n =
      splice(slot.sock, nullptr, write_fd, nullptr, PIPE_CHUNK, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
  if (n <= 0) {
    const int err = errno;
    release_pipe(slot);
    if (n == 0) return splice_result::end;
    if (!fatal(err)) return splice_result::again;
    errno = err;
    return splice_result::failed;
  }
  slot.io_piped += static_cast<uint32_t>(n);
  slot.in.total += static_cast<uint32_t>(n);
  slot.last_activity = slot.last_tick = tick_now();
  const bool full = static_cast<uint32_t>(n) == PIPE_CHUNK;
  if (!io_pipe_flush(index)) return splice_result::blocked;
  return full ? splice_result::more : splice_result::again;
}

void io_unpipe(int index) {
  conn_slot& from = conn_table[index];
  if (from.io_piped == 0) {
    release_pipe(from);
    return;
  }
  const int other = slot_linked(index);
  const int read_fd = pipes[from.io_pipe - 1].read_fd;
  // The bytes keep their place: they go before anything queued later.
  while (other >= 0 && from.io_piped > 0) {
    uint8_t chunk[16384];
    const ssize_t n = read(read_fd, chunk, sizeof chunk);
    if (n <= 0 || !stream_append(conn_table[other].out, chunk, static_cast<uint32_t>(n))) break;
    from.io_piped -= static_cast<uint32_t>(n);
  }
  release_pipe(from);
  if (other >= 0) io_update(other);
}

uint32_t io_piped_toward(const conn_slot& slot) {
  if (slot.link_sock == 0 || slot.link_sock == -1) return 0;
  // Only a pair linked both ways pipes (a slot may be linked one way, as
  // a racing attempt is to its client).
  const int source = slot_find_by_socket(slot.link_sock);
  if (source < 0 || conn_table[source].link_sock != slot.sock) return 0;
  return conn_table[source].io_piped;
}

void io_pipes_close_all() {
  for (int k = 0; k < ENGINE_PIPES_MAX; ++k)
    if (pipes[k].open) {
      pipes[k].busy = false;
      pipe_give_back(k, false);
    }
  pipes_idle = 0;
}
