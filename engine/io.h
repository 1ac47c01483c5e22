// Engine-internal socket layer shared by the slot operations and the event
// loop: the epoll instance, registration tags, the socket-to-slot map, the
// read and write paths with flow control, and the queue of 'S' events.
// Nothing outside engine/ includes this header.
#pragma once

#include <cstdint>

#include "engine/slot.h"

// conn_slot::io_state bits.
constexpr uint8_t IO_REGISTERED = 0x01;    // the socket is in the epoll set
constexpr uint8_t IO_CONNECTING = 0x02;    // outbound connect in progress
constexpr uint8_t IO_EOF = 0x04;           // the peer closed its sending side
constexpr uint8_t IO_PAUSED = 0x08;        // reading paused by flow control
constexpr uint8_t IO_SHUT_PENDING = 0x10;  // shut the sending side once out drains
constexpr uint8_t IO_S_PENDING = 0x20;     // an 'S' is due from the loop

// Flow control: stop reading a slot while its own unread input or its linked
// slot's unsent output exceeds the high mark; resume below the low mark.
constexpr uint32_t FLOW_HIGH = 1u << 20;
constexpr uint32_t FLOW_LOW = 256u << 10;
// Bytes read per receive call, and receive calls per readiness event.
constexpr uint32_t READ_CHUNK = 32u << 10;
constexpr int READ_CALLS_PER_EVENT = 8;
// The final drain of a closing slot reads at most this much.
constexpr uint32_t CLOSE_DRAIN_LIMIT = 64u << 10;

extern int engine_epoll_fd;

// Diagnostic lines through the hooks log/ attached (formatted only when
// the slot's lines are wanted).
void engine_log_line(int index, const char* format, ...) __attribute__((format(printf, 2, 3)));
void engine_log_dump(int index, const void* bytes, uint32_t count, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// The same for bytes sent: while the slot's output is secret (a proxy's
// sign-in) only the count is logged.
void engine_log_sent(int index, const void* bytes, uint32_t count, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
// Queues an 'S' for the slot (once until it is delivered).
void io_queue_s(conn_slot& slot);

// Adds the slot's socket to the epoll set with a fresh tag.
bool io_register(int index, uint32_t events);
// Recomputes and applies the slot's epoll events (input unless paused or
// at end of file; output while bytes wait or a connect is in progress).
void io_update(int index);
// Handles one readiness report for a slot other than the listener.
void io_handle(int index, uint32_t events);
// Writes as much of `out` as the socket takes.
void io_flush(int index);
// Delivers the queued 'S' events and closes finished pairs.
void io_after_events();
// A slot's deadline was set for tick `at`: the loop wakes for it.
void io_deadline_armed(uint32_t at);
// The housekeeping pass is wanted at tick `at` (or at the pace's next pass).
void io_pass_wanted(uint32_t at);
// A slot was taken or asked to close: the pass comes when its tick, close
// or idle time does.
void io_slot_due(int index);
// True for a socket error after which nothing more can pass.
bool io_fatal_error(int err);
// Whether the slot's diagnostic lines are kept (they see its bytes).
bool engine_log_wanted(int index);
// Everything due on the slot's socket went out (its stream and the pipe
// toward it): a pending shut of its sending side happens, a finished slot
// may be closed, the linked slot may read again.
void io_output_done(int index);

// The zero-copy relay (splice.cc). Whether bytes read from `index` may go
// to `other` through a pipe now.
bool io_splice_allowed(int index, int other);
enum class splice_result : uint8_t {
  more,     // a full chunk moved: read again
  again,    // the socket has nothing more now
  blocked,  // bytes wait in the pipe: the linked socket is full
  end,      // the peer ended its stream
  failed,   // the socket failed (errno)
  copy,     // no pipe could be had: copy instead
};
splice_result io_splice_in(int index);
// Moves the bytes waiting in the slot's pipe to the linked socket; true
// when the pipe is empty (and given back).
bool io_pipe_flush(int index);
// Moves the bytes still in the slot's pipe into the linked slot's output
// stream, ahead of anything queued after (the slot closes).
void io_unpipe(int index);
// Bytes waiting in the linked slot's pipe for this slot's socket.
uint32_t io_piped_toward(const conn_slot& slot);
void io_pipes_close_all();

// Socket-to-slot map maintenance.
void fdmap_set(int sock, int index);
void fdmap_clear(int sock);
// Drops everything queued for delivery (engine start and stop).
void io_reset_queues();
// Clears the whole table without touching sockets (engine start).
void engine_reset_slots();
// Counts slot 0 as occupied once the listener is placed there.
void engine_claim_listener_slot();
