// Name lookups off the engine thread with a callback: a fixed table of
// requests served by the resolver workers of platform/resolve.h; the
// answers are handed back on the engine thread by lookup_poll (a
// housekeeping timer) and delivered there through each request's callback. A lookup that has
// no answer after LOOKUP_LIMIT_MS is answered "no address" and its late
// result is dropped; so is the result of a cancelled request.
#pragma once

#include <cstdint>
#include <string_view>

constexpr int LOOKUP_CAPACITY = 16;
constexpr uint32_t LOOKUP_LIMIT_MS = 10000;
constexpr size_t LOOKUP_NAME_SIZE = 256;

// The answer, on the engine thread: addr in network byte order, 0 when the
// name has no address or the time limit passed first.
using lookup_done_fn = void (*)(uint32_t cookie, uint32_t addr);

// The answer known without asking anyone: true for an empty name and a name
// under ".invalid" (addr 0) and for a dotted address (0.0.0.0 and
// 255.255.255.255 count as none).
bool lookup_literal(std::string_view name, uint32_t* addr);

// Queues a lookup of name; the ticket (never 0), or 0 when the table is
// full or the name too long. done(cookie, addr) runs exactly once from
// lookup_poll unless the ticket is cancelled first.
uint32_t lookup_begin(std::string_view name, lookup_done_fn done, uint32_t cookie);
// Forgets a queued or running lookup: its answer is never delivered.
void lookup_cancel(uint32_t ticket);
// Engine thread: delivers the answers that came, and "no address" for
// lookups older than the limit.
void lookup_poll();
// Requests in the table (queued, running or answered, not yet delivered).
int lookup_pending();
// Registers lookup_poll with the housekeeping pass.
void lookup_attach();
// Forgets every request without delivering it (tests).
void lookup_reset();

// The blocking resolver the workers call (it replaces the one of
// platform/resolve.h): an IPv4 address of the name in network byte order,
// 0 when none. Tests replace it; null restores the system resolver.
using lookup_resolver_fn = uint32_t (*)(const char* name);
void lookup_set_resolver(lookup_resolver_fn fn);
