// The connection slot table: every socket the server holds lives in one of
// 2048 fixed slots. This unit owns the slot record, the slot kinds, the
// event letters, allocation and lookup, dispatch to the handlers that
// subsystems attach per kind, and the socket operations handlers call
// (send, consume, link, connect, relay, broadcast, close). All of it runs
// on the engine thread only. The engine knows nothing of the protocols on
// its slots: a subsystem attaches a handler to each kind it owns, and a
// connection moves on by changing its kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

#include "engine/stream.h"

constexpr int SLOT_COUNT = 2048;

// Slot kinds. Values 0-5 are the states of client request recognition.
enum class slot_kind : uint16_t {
  fresh = 0,            // accepted, nothing read yet
  socks5_greeting = 1,  // SOCKS5 greeting expected
  socks_request = 2,    // SOCKS request expected
  first_data = 3,       // first data / HTTP head expected
  dest_known = 4,       // destination known
  socks5_signin = 5,    // SOCKS5 user name and password expected
  listen = 0xFFB1,
  web = 0xFFB3,       // panel connection, request being served
  web_push = 0xFFB5,  // served panel connection receiving pushed lines
  check = 0xFFB7,
  chain_test = 0xFFB9,
  myip = 0xFFBB,
  chain = 0xFFBD,  // chain being negotiated
  relay = 0xFFBF,  // established chain, relaying
  download = 0xFFC1,
  error = 0xFFFF,  // refused client: further input is thrown away
};

// Event letters delivered to handlers.
namespace slot_event {
constexpr char connected = 'C';  // an outbound connect succeeded
constexpr char input = 'R';      // bytes arrived in `in`
constexpr char drained = 'S';    // everything queued in `out` went out
constexpr char tick = 'T';       // 10 s passed without a tick
constexpr char deadline = 'D';   // the time set with slot_set_deadline has come
// A connection from this slot's own socket arrived at our listener (the
// slot's peer hands it back to this program): that connection was closed.
constexpr char looped = 'L';
constexpr char closing = 'X';  // the slot is being closed
}  // namespace slot_event

constexpr uint8_t SLOT_CLOSE_REQUESTED = 0x08;
// A close request of this slot (its peer ended, its connect failed, it was
// aborted) does not reach its linked slot, and the slot is closed as soon
// as its peer has ended, whatever the linked slot does: its handler decides
// at 'X' what becomes of the linked slot. Cleared when the pair relays.
constexpr uint8_t SLOT_CLOSE_ALONE = 0x10;
// Bytes sent on this slot are not copied into the diagnostic log (a chain
// signing in to a proxy); only their count is.
constexpr uint8_t SLOT_SECRET_OUTPUT = 0x20;
// The slot was accepted from the listener (a client or a panel connection).
constexpr uint8_t SLOT_ACCEPTED = 0x40;
// A plain HTTP proxy client that signed in with its request: that request
// is made the connection's last, so a later one (with its own sign-in
// line) is never relayed past recognition.
constexpr uint8_t SLOT_ONE_REQUEST = 0x80;

// Accepted connections never hold more than this many slots: each client
// needs a second slot for its chain, and a quarter of the table stays for
// the proxy checks. A client beyond it is closed at accept, so a burst of
// new connections never fails the older ones.
constexpr int CLIENT_SLOT_SHARE = (SLOT_COUNT - SLOT_COUNT / 4 - 2) / 2;

// Client protocol markers (conn_slot::proto).
constexpr uint8_t PROTO_SOCKS4 = 4;
constexpr uint8_t PROTO_SOCKS5 = 5;
constexpr uint8_t PROTO_HTTP = 104;
constexpr uint8_t PROTO_CONNECT = 115;

constexpr size_t ROUTE_SIZE = 251;
constexpr size_t DEST_HOST_SIZE = 192;

struct conn_slot {
  int sock;                // -1: empty slot
  int link_sock;           // socket of the linked slot, 0 or -1 when none
  uint32_t last_activity;  // tick of the last network activity
  uint32_t last_tick;      // tick of the last activity or 'T'
  uint8_t flags;           // SLOT_CLOSE_REQUESTED
  stream in;               // received, not yet consumed
  stream out;              // queued, not yet written
  slot_kind kind;
  uint8_t proto;
  char dest_host[DEST_HOST_SIZE];
  uint16_t dest_port;                    // host byte order
  uint32_t started;                      // tick of creation
  alignas(8) uint8_t route[ROUTE_SIZE];  // per-kind area, reached through slot_area<T>
  uint32_t peer_addr;                    // IPv4 of an accepted peer, network byte order
  uint32_t serial;
  uint32_t deadline;  // tick at which the handler hears 'D' (slot_set_deadline); 0: none
  // Engine-private bookkeeping (not part of the observable record).
  uint32_t io_tag;     // tag of the socket's epoll registration
  uint32_t io_events;  // events currently registered
  uint8_t io_state;    // engine I/O state bits
  uint32_t in_limit;   // unread input at which reading pauses; 0 = the relay mark
  // The ends of the socket: both ends of an outbound one (the local end
  // read once its connect started) and the peer's port of an accepted one,
  // so a connection we made to ourselves is told at accept. Both ends
  // count: one local port may serve connections to different places.
  uint32_t io_local_addr;   // network byte order
  uint16_t io_local_port;   // network byte order
  uint16_t io_peer_port;    // network byte order
  uint32_t io_remote_addr;  // where an outbound socket connects, network byte order
  uint16_t io_remote_port;  // network byte order
  // Bytes read from this socket that wait in a pipe for the linked socket
  // (the zero-copy relay): the pipe (pool entry + 1; 0: none) and its fill.
  uint16_t io_pipe;
  uint32_t io_piped;
};

extern conn_slot conn_table[SLOT_COUNT];
extern uint32_t next_serial;
extern uint16_t listen_port;  // port the listener was bound to
// Address the listener was bound to, network byte order; 0: every interface;
// 127.0.0.1 (this machine) for an IPv6 address.
extern uint32_t listen_address;

// The per-kind area of a slot seen as the record of the unit that owns the
// kind. Records are plain bytes (trivially copyable, no alignment above 8),
// because slots move by memmove when the table is compacted.
template <class T>
T& slot_area(conn_slot& slot) {
  static_assert(sizeof(T) <= ROUTE_SIZE, "record larger than the per-kind area");
  static_assert(std::is_trivially_copyable_v<T>, "per-kind records are plain bytes");
  static_assert(alignof(T) <= 8, "per-kind area is 8-byte aligned");
  return *std::launder(reinterpret_cast<T*>(slot.route));
}
template <class T>
const T& slot_area(const conn_slot& slot) {
  return slot_area<T>(const_cast<conn_slot&>(slot));
}
template <class T>
T& slot_area(int index) {
  return slot_area<T>(conn_table[index]);
}

// The area of kinds that keep a status text there (listener, refused
// clients, recognition states).
struct slot_text {
  char text[ROUTE_SIZE];
};

// A handler receives every event letter of the slots of the kinds it is
// attached to.
using slot_handler = void (*)(int index, char letter);

// Attaches `handler` to `kind` and returns the handler it replaces (null
// when none). A null handler detaches. Slots of a kind nobody attached have
// their input thrown away, so their close is still seen.
slot_handler slot_attach(slot_kind kind, slot_handler handler);
// Detaches every handler (engine tests).
void slot_detach_all();

int slot_alloc(int listen_sock);  // listening socket, or 0 for a new outbound socket
int slot_find_by_socket(int sock);
int slot_linked(int index);  // index of the linked slot, -1 when none
// Closing a slot closes its linked slot too, unless that one was linked to
// another slot meanwhile (by the closing slot's handler at 'X').
int slot_count_used();      // occupied slots (they form a prefix of the table)
int slot_count_accepted();  // occupied slots accepted from the listener
void slot_request_close(int index);
void slot_dispatch(int index, char letter);
void slot_send(int index, const void* data, int len);
void slot_consume(int index, uint32_t in_count, uint32_t out_count);
void slot_consume_input(int index, uint32_t count);
void slot_abort(int index);
int slot_create_linked(int index);
int slot_connect(int index, uint32_t addr_net, uint16_t port);  // 1 started, 0 failed
// Lets a slot's unread input grow to `bytes` before reading pauses (an
// unlinked slot that reads a whole answer before judging it; SLOT_NO_INPUT_LIMIT
// for a handler that refuses what passes its own limit). Its handler must
// end the slot itself at that size: past it nothing more is read.
void slot_set_input_limit(int index, uint32_t bytes);
// The slot's handler hears 'D' once `ms` have passed (on time, not on the
// housekeeping pass); a new call replaces the earlier time, 0 clears it.
void slot_set_deadline(int index, uint32_t ms);
constexpr uint32_t SLOT_NO_INPUT_LIMIT = 0xFFFFFFFFu;
// Makes both slots of a linked pair kind relay and forwards what each holds.
void slot_relay(int index);
// The same, except the last `held` bytes of slot held_index's input, which
// wait there for the next run (a head not yet whole).
void slot_relay_holding(int index, int held_index, uint32_t held);
// Zero-copy relay: while both slots of a pair are kind relay, neither has
// bytes waiting in its streams and neither slot's lines are logged, bytes
// move from socket to socket through a pipe (splice) without reaching the
// slots' streams or the handler; totals, flow control, half-close and the
// close rules stay as on the copy path. `test` (set by the unit owning the
// relay) is asked first whether the pair's bytes may go unseen (no rewrite
// or sign-in pending); null: they may. engine_set_splice(false) keeps every
// pair on the copy path (benchmarks compare both).
using slot_raw_test = bool (*)(int index, int linked_index);
void slot_set_raw_test(slot_raw_test test);
void engine_set_splice(bool on);
// Pipes the zero-copy relay holds open now (busy and kept), at most
// ENGINE_PIPES_MAX; each is two descriptors.
int engine_pipes_open();
constexpr int ENGINE_PIPES_MAX = 128;
// Sends the bytes to every slot of `kind`; returns how many slots got them.
int slot_broadcast(slot_kind kind, const void* data, int len);
void slot_close(int index);

// Where the engine's own diagnostic lines go (a connect, bytes moved, a
// close). `wanted` is asked first so that nothing is formatted when the
// slot's lines are not kept. All null (the default): nothing is written.
struct engine_log_hooks {
  bool (*wanted)(int index);
  void (*line)(int index, const char* text);
  void (*dump)(int index, const void* bytes, uint32_t count, const char* text);
};
void engine_set_log(const engine_log_hooks& hooks);
