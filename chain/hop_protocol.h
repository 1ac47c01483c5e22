// The hop protocols of a chain: what each kind of proxy (SOCKS4/4a,
// SOCKS5 with its sign-in, HTTP CONNECT, plain HTTP last) is sent and how
// its replies are read, one step at a time over the bytes received, so
// that the chain slot, the chain test and the tests on byte buffers share
// one reader. Also the small text helpers the chain's units share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chain/route.h"
#include "engine/stream.h"

constexpr int CHAIN_QUIET = 0xF000;  // letter bits: no log lines
// A CONNECT proxy's reply head longer than this fails its hop.
constexpr uint32_t CONNECT_REPLY_HEAD_LIMIT = 16u << 10;
constexpr uint8_t SIGN_IN_REFUSED = 0xA5;  // socks5_stage of a failed sign-in
constexpr uint8_t STEP_TIMED_OUT = 0xA6;   // socks5_stage of a hop out of time
constexpr uint8_t LOOP_FOUND = 0xA7;       // socks5_stage of a hop that is this program
constexpr uint8_t RACE_LOST = 0xA8;        // socks5_stage of an attempt another one beat

// Negotiation progress over one hop list. The chain slot keeps these fields
// in its route record; the chain test keeps them in its own record.
struct chain_state {
  uint8_t hop_index;     // hop being talked to; 0 = first proxy
  uint8_t failed;        // the chain has failed
  uint8_t established;   // the destination has been reached
  uint8_t awaiting;      // a request went to the current hop, its reply is due
  uint8_t socks5_stage;  // SOCKS5 hop: 0 method reply due, 1 connect reply due, 2 sign-in
                         // reply due; SIGN_IN_REFUSED once a hop refused its sign-in
  uint16_t hop_proto;    // protocol bit used with the current hop (0x08/0x10/0x20/0x40)
};

// Where chain_step puts its requests and aborts: the engine's slot_send and
// slot_abort unless replaced (tests capture the exchange on byte buffers).
struct chain_io_ops {
  void (*send)(int index, const void* data, int len);
  void (*abort)(int index);
};
extern chain_io_ops chain_io;

// One step of the negotiation on event `letter` (bits CHAIN_QUIET: no log
// lines). Reads replies from `in` (consuming them), sends requests on slot
// `index`, and updates `st`. hops/hop_count: the proxies in chain order and
// the destination entry last.
void chain_step(int letter, int index, stream& in, const hop* hops, uint8_t hop_count,
                chain_state& st);

// Protocol a hop is spoken to in: the first of SOCKS4, SOCKS5, HTTPS, HTTP
// that its type holds; 0 for none.
uint16_t hop_protocol(uint16_t type);
// The four bytes of a hop's IPv4 address, in order.
const uint8_t* hop_addr_bytes(const hop& h, uint8_t (&out)[4]);
// A reply head (or status line) whose status is 407: a proxy wants a
// sign-in it has not got, or refused ours.
bool status_is_407(const uint8_t* d, size_t n);
// A host text that is not a dotted IPv4 address.
bool host_is_name(const char* host);
// Appends formatted text at `used` within `size` bytes, keeping the terminator.
void chain_text_put(char* buf, size_t size, size_t& used, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
