// HTTP request rewriting on a relayed chain: checks the destination's first
// reply and rewrites the client's first request to HTTP/1.0 with
// "Connection: close". Owns the cached "force_http_10" setting.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/slot.h"

// Called by slot_relay with both slots of a chain before forwarding.
void relay_hook(int index, int linked_index);
// 1 when the data is an HTTP status line with a status below 200 or above 399.
int response_is_error(const uint8_t* data, size_t length);
// Rewrites the request head in `s` in place. 1 when done with (rewritten,
// not HTTP, or not rewritable), 0 when the head is not complete yet.
// keep_target: leave an absolute target as it is (the last proxy is a plain
// HTTP proxy and routes by it).
int rewrite_request(stream& s, bool keep_target = false);
// Puts `line` (n bytes, ending in CR LF) right behind the request line of
// the complete head in `s`. 1 when done with (inserted, or not HTTP), 0
// while the head is not complete yet.
int insert_after_request_line(stream& s, const char* line, size_t n);
// The cached "force_http_10": read at first use, then at most every 30 s.
bool force_http_10_on();
// Forgets the cached value (tests).
void force_http_10_reset();
