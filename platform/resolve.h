// Name lookups and address literals: the one place that asks the system
// resolver for IPv4 addresses (tests replace it with a table of their own),
// and the parsing of IPv4 and IPv6 address texts, which never asks anyone.
#pragma once

#include <cstddef>
#include <cstdint>

// Blocking IPv4 lookup: fills up to max addresses (network byte order) and
// returns their number, 0 when the name does not resolve.
using host_resolver = int (*)(const char* host, uint32_t* addrs, int max);
int resolve_ipv4(const char* host, uint32_t* addrs, int max);
// Replaces the lookup behind resolve_ipv4; null restores getaddrinfo.
void resolver_set(host_resolver resolver);

// An IPv4 address text in any form the system's own parser takes
// ("127.0.0.1", "127.1", "0x7f000001"): its address in network byte order.
bool ipv4_literal(const char* text, uint32_t* addr);
// An IPv6 address text, without or within brackets: its 16 bytes.
bool ipv6_literal(const char* text, uint8_t (&addr)[16]);
// The name `localhost` or a name under `.localhost` (case ignored).
bool is_localhost_name(const char* host);
// "[v6]" for an IPv6 text, else the text itself, into out (size bytes).
void host_for_display(const char* host, char* out, size_t size);

// Lookups off the engine thread: a fixed table of requests served by a few
// worker threads (started on first use), polled by the engine. A request
// not collected within RESOLVE_LIMIT_MS is given up and its entry reused.
constexpr int RESOLVE_TABLE = 64;
constexpr int RESOLVE_WORKERS = 4;
constexpr uint32_t RESOLVE_LIMIT_MS = 10000;
enum class resolve_state : uint8_t { pending, done, failed };
// Queues a lookup of host; its ticket, or -1 when the table is full.
int resolve_start(const char* host);
// The state of a ticket; done gives the first address and frees the
// ticket, failed frees it too.
resolve_state resolve_poll(int ticket, uint32_t* addr);
// Gives a ticket up (its answer, when it comes, is thrown away).
void resolve_cancel(int ticket);
// True while a ticket waits to be collected (queued, running or answered);
// tickets given up do not count.
bool resolve_busy();
