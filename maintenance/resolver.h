// Reverse name lookups on a worker thread of their own: the engine posts
// (address, port) requests, the worker writes the found name (or the dotted
// address) into the proxy's host-name column.
#pragma once

#include <cstdint>

// Queues one lookup; starts the worker on first use. addr in network byte order.
void request_host_name(uint32_t addr, uint16_t port);
// Stops the worker: asks it to end and waits at most 5 s.
void resolver_stop();
// Name of an address as the worker writes it (host name or dotted text).
void resolver_lookup_name(uint32_t addr, char* out, int capacity);

// Replaces the system's reverse lookup (tests): returns true and fills
// name when the address has one. Null restores the system lookup.
using resolver_lookup_fn = bool (*)(uint32_t addr, char* name, int capacity);
void resolver_set_lookup(resolver_lookup_fn fn);
