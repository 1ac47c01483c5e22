// Client request recognition on the proxy port: tells SOCKS4/4a, SOCKS5,
// HTTP and CONNECT apart, answers SOCKS handshakes, reads destinations,
// refuses bad or local requests and hands panel requests to the panel.
// Owns the verb list, the tunnel-established response and the list of this
// machine's own addresses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/resolve.h"
#include "util/http.h"

// Attaches recognition to kinds 0-5. A request for the panel becomes kind
// web and is dispatched again to whoever serves that kind.
void front_attach();
// Recognition step on new input of a slot of kinds 0-5.
void client_recognize(int index);
// 1 when host is this machine: `localhost` or a name under it, its own
// host name, or a literal address that reaches it (127.0.0.1, ::1 and their
// mapped forms, 0.0.0.0, every interface address, the listener's address,
// and all of 127.0.0.0/8 while the listener takes every interface). No name
// is looked up (a name the chain looks up has its address tested there).
int is_local_host(const char* host);
// 1 when host:port is where our own listener answers.
int is_own_listener(const char* host, uint16_t port);

// A client that has sent this many bytes without completing what its
// recognition state waits for is refused.
constexpr uint32_t RECOGNIZE_INPUT_LIMIT = 64u << 10;

// A SOCKS client that has sent nothing this long after its reply gets its
// chain started (the server is to speak first).
constexpr uint32_t SERVER_FIRST_MS = 300;

// Replaces the name lookup (platform/resolve.h) with a table of the
// test's own; null restores getaddrinfo.
void recognize_set_resolver(host_resolver resolver);
// This machine's own IPv4 addresses, read from its interfaces (network byte
// order, 0-terminated, at most 32 entries, 127.0.0.1 always first); read
// again when older than 10 s. Forgetting it makes the next use read it
// again (tests).
const uint32_t* own_addresses();
void own_addresses_forget();

// Where a recognised request goes: the chain start. Tests replace it to
// watch the hand-over; null restores the program's own.
using chain_start_fn = void (*)(int index, size_t http_offset);
void recognize_set_chain_start(chain_start_fn chain);
