// Client request recognition on the proxy port: tells SOCKS4/4a, SOCKS5,
// HTTP and CONNECT apart, answers SOCKS handshakes, reads destinations,
// refuses bad or local requests and hands panel requests to the panel.
// Owns the verb list, the tunnel-established response and the list of this
// machine's own addresses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/http.h"

// Attaches recognition to kinds 0-4. A request for the panel becomes kind
// web and is dispatched again to whoever serves that kind.
void front_attach();
// Recognition step on new input of a slot of kinds 0-4.
void client_recognize(int index);
// 1 when any address of host is one of this machine's own addresses.
int is_local_host(const char* host);

// A client that has sent this many bytes without completing what its
// recognition state waits for is refused.
constexpr uint32_t RECOGNIZE_INPUT_LIMIT = 64u << 10;

// A SOCKS client that has sent nothing this long after its reply gets its
// chain started (the server is to speak first).
constexpr uint32_t SERVER_FIRST_MS = 300;

// Response head sent to a CONNECT client once its chain stands.
const char* tunnel_established_response();

// Blocking IPv4 lookup: fills up to max addresses (network byte order) and
// returns their number, 0 when the name does not resolve. The default uses
// getaddrinfo; tests plug in a table of their own (null restores it).
using host_resolver = int (*)(const char* host, uint32_t* addrs, int max);
void recognize_set_resolver(host_resolver resolver);
// This machine's own addresses (network byte order, 0-terminated, at most
// 16 entries); built on first use, empty while the host name does not
// resolve. Forgetting it makes the next use build it again (tests).
const uint32_t* own_addresses();
void own_addresses_forget();

// Where a recognised request goes: the chain start. Tests replace it to
// watch the hand-over; null restores the program's own.
using chain_start_fn = void (*)(int index, size_t http_offset);
void recognize_set_chain_start(chain_start_fn chain);
