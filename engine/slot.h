// The connection slot table: every socket the server holds lives in one of
// 2048 fixed slots. This unit owns the slot record, the byte streams, the
// slot kinds and their labels, the event letters, allocation, lookup,
// dispatch by kind, and the socket operations handlers call (send, consume,
// link, connect, relay, close). All of it runs on the engine thread only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

constexpr int SLOT_COUNT = 2048;

// A byte buffer of a slot: bytes waiting (len) and the running total moved
// over the slot's life. `cap` is the allocated size of `data` (malloc'd).
// Change a stream only through the functions below, never by assigning
// `data` directly: the engine keeps small blocks for reuse.
struct stream {
  uint8_t* data;
  uint32_t len;
  uint32_t total;
  uint32_t cap;   // size of the block data lies in
  uint32_t head;  // bytes consumed at the block's start (data = block + head)
};

// Appends n bytes; false (nothing appended) when memory cannot be had.
bool stream_append(stream& s, const void* bytes, uint32_t n);
// Drops n bytes from the front; n >= len empties the stream and frees the block.
void stream_consume(stream& s, uint32_t n);
void stream_free(stream& s);
// Replaces the whole content by n bytes (copied); false when memory cannot be had.
bool stream_assign(stream& s, const void* bytes, uint32_t n);

// Slot kinds. Values 0-4 are the states of client request recognition.
enum class slot_kind : uint16_t {
  fresh = 0,            // accepted, nothing read yet
  socks5_greeting = 1,  // SOCKS5 greeting expected
  socks_request = 2,    // SOCKS request expected
  first_data = 3,       // first data / HTTP head expected
  dest_known = 4,       // destination known
  listen = 0xFFB1,
  web = 0xFFB3,       // panel connection, request being served
  web_push = 0xFFB5,  // served panel connection receiving pushed lines
  check = 0xFFB7,
  chain_test = 0xFFB9,
  myip = 0xFFBB,
  chain = 0xFFBD,  // chain being negotiated
  relay = 0xFFBF,  // established chain, relaying
  download = 0xFFC1,
  error = 0xFFFF,
};

constexpr uint8_t SLOT_CLOSE_REQUESTED = 0x08;

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
  alignas(8) uint8_t route[ROUTE_SIZE];  // per-kind area, layout owned by the kind's unit
  uint32_t peer_addr;                    // IPv4 of an accepted peer, network byte order
  uint32_t serial;
  // Engine-private bookkeeping (not part of the observable record).
  uint32_t io_tag;     // tag of the socket's epoll registration
  uint32_t io_events;  // events currently registered
  uint8_t io_state;    // engine I/O state bits
};

extern conn_slot conn_table[SLOT_COUNT];
extern uint32_t next_serial;
extern std::atomic<uint32_t> stop_flag;
extern uint32_t panel_push_time;
extern uint16_t listen_port;  // port the listener was bound to

// Event letters: 'C' connected, 'R' input, 'S' output drained, 'T' tick, 'X' closing.
using slot_handler = void (*)(int index, char letter);

int slot_alloc(int listen_sock);  // listening socket, or 0 for a new outbound socket
int slot_find_by_socket(int sock);
void slot_request_close(int index);
void slot_dispatch(int index, char letter);
void slot_send(int index, const void* data, int len);
void slot_consume(int index, uint32_t in_count, uint32_t out_count);
void slot_consume_input(int index, uint32_t count);
void slot_abort(int index);
int slot_create_linked(int index);
int slot_connect(int index, uint32_t addr_net, uint16_t port);  // 1 started, 0 failed
void slot_relay(int index);
void panel_broadcast(const void* data, int len);
void slot_close(int index);

// Status-page label of a slot ("Unknown", "Listen", "Web server", ...).
const char* slot_kind_label(const conn_slot& slot);

// Replaces the handler of one kind (tests plug their own handlers in).
// A null handler restores the program's own.
void engine_set_handler(slot_kind kind, slot_handler handler);
