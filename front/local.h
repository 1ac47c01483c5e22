// This machine's own addresses and names, as the front end and the chain
// compare destinations with them. Nothing here looks a name up.
#pragma once

#include <cstdint>

// 1 when host is this machine: `localhost` or a name under it, its own
// host name, or a literal address that reaches it (127.0.0.1, ::1 and their
// mapped forms, 0.0.0.0, every interface address, the listener's address,
// and all of 127.0.0.0/8 while the listener takes every interface). No name
// is looked up (a name the chain looks up has its address tested there).
int is_local_host(const char* host);
// 1 when host:port is where our own listener answers.
int is_own_listener(const char* host, uint16_t port);

// 1 when the address (network byte order) reaches this machine and
// something may listen on it: 127.0.0.1, 0.0.0.0, the listener's address,
// an interface address, all of 127.0.0.0/8 while the listener takes every
// interface.
bool address_is_local(uint32_t addr);
// This machine's own host name, compared as text.
bool is_own_name(const char* host);
// This machine's own IPv4 addresses, read from its interfaces (network byte
// order, 0-terminated, at most 32 entries, 127.0.0.1 always first); read
// again when older than 10 s. Forgetting it makes the next use read it
// again (tests).
const uint32_t* own_addresses();
void own_addresses_forget();
