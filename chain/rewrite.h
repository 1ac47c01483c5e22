// HTTP request rewriting on a relayed chain: checks the destination's first
// reply, rewrites the client's first request so that the connection ends
// after one answer (HTTP/1.0 with "Connection: close" where that keeps the
// request valid), and then tells the client so in the first reply head.
// Tunnels (CONNECT) are never touched. Owns the cached "force_http_10"
// setting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/slot.h"

// Called with both slots of a chain before forwarding. The number of bytes
// at the end of the destination's input that must wait (an unfinished reply
// head still to be marked), 0 when everything may go.
uint32_t relay_hook(int index, int linked_index);
// True once nothing in the relay needs to see the pair's bytes any more
// (first reply checked, rewrite, reply mark and sign-in done): the engine
// may then move them without the handler (slot_set_raw_test).
bool relay_bytes_unseen(int index, int linked_index);
// 1 when the data is an HTTP status line with a status of 400 or above; an
// interim answer (1xx) is not a refusal.
int response_is_error(const uint8_t* data, size_t length);

// Outcomes of the request rewrite and the reply mark.
constexpr int REWRITE_WAIT = 0;          // the head is not complete yet
constexpr int REWRITE_DONE = 1;          // done with (edited or not, or not HTTP)
constexpr int REWRITE_CLOSE_FORCED = 2;  // done, and the connection now ends after
                                         // the answer where the client meant to keep it
// A reply head longer than this is passed on unmarked.
constexpr uint32_t REPLY_HEAD_LIMIT = 16u << 10;

// What a request head asks of its connection (data: the head's lines).
struct request_traits {
  bool version_11;   // HTTP/1.1 or later: kept open unless told otherwise
  bool upgrade;      // an Upgrade line, or "upgrade" among the Connection tokens
  bool framed;       // a Transfer-Encoding line (HTTP/1.0 has no such framing)
  bool expects_100;  // "Expect: 100-continue" (HTTP/1.0 gets no 100)
  bool asks_close;   // "close" among the Connection tokens
  bool asks_keep;    // "keep-alive" among them
};
request_traits request_traits_of(const uint8_t* data, size_t length);

// Rewrites the request head in `s` in place; REWRITE_* above. An upgrade
// keeps its version and its Connection line; a framed body or an Expect
// keeps HTTP/1.1 with "Connection: close"; any other request becomes
// HTTP/1.0 with "Connection: close". keep_target: leave an absolute target
// as it is (the last proxy is a plain HTTP proxy and routes by it).
int rewrite_request(stream& s, bool keep_target = false);

// An origin-form request target ("/path") becomes "http://" authority
// "/path", so that a plain HTTP proxy as the last hop goes where a SOCKS
// client asked, whatever its Host line says. REWRITE_WAIT while the head is
// not complete, else REWRITE_DONE (edited, or another form, or not HTTP).
int absolute_target(stream& s, std::string_view authority);

// Marks the first final reply head in `s` "Connection: close" (its
// Connection and Keep-Alive lines replaced), passing over interim (1xx)
// heads. done: REWRITE_DONE once marked, or when the bytes are not a reply
// head, a 101, or a head past REPLY_HEAD_LIMIT; REWRITE_WAIT while the
// final head is still to come. held: the bytes at the end of `s` (an
// unfinished head) that must not go out yet.
struct reply_mark {
  int done;
  uint32_t held;
};
reply_mark mark_reply_close(stream& s);
// Puts `line` (n bytes, ending in CR LF) right behind the request line of
// the complete head in `s`. 1 when done with (inserted, or not HTTP), 0
// while the head is not complete yet.
int insert_after_request_line(stream& s, const char* line, size_t n);
// The cached "force_http_10": read at first use, then at most every 30 s.
bool force_http_10_on();
// Forgets the cached value (tests).
void force_http_10_reset();
