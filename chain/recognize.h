// Client request recognition on the proxy port: tells SOCKS4/4a, SOCKS5,
// HTTP and CONNECT apart, answers SOCKS handshakes, reads destinations,
// refuses bad or local requests and hands panel requests to the panel.
// Owns the verb list, the tunnel-established response and the list of this
// machine's own addresses.
#pragma once

#include <cstddef>
#include <cstdint>

// Handler of kinds 0-4 (and kinds without a handler of their own), 'R' only.
void client_recognize(int index);
// Offset just past the HTTP method name, or 0 when the data is not HTTP.
size_t http_verb_offset(const uint8_t* data, size_t length);
// 1 when any address of host is one of this machine's own addresses.
int is_local_host(const char* host);
// 1 for A-Z, a-z, 0-9, '.', '-' and '_'.
int is_host_char(int c);

// A client that has sent this many bytes without completing what its
// recognition state waits for is refused.
constexpr uint32_t RECOGNIZE_INPUT_LIMIT = 64u << 10;

// Names of the methods taken as HTTP, one per line (CONNECT among them).
const char* http_verb_list();
// Response head sent to a CONNECT client once its request has been read.
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

// Where a recognised request goes: the panel request handler and the chain
// start. Tests replace them to watch the hand-over; null restores the
// program's own.
using panel_request_fn = int (*)(int index);
using chain_start_fn = void (*)(int index, size_t http_offset);
void recognize_set_calls(panel_request_fn panel, chain_start_fn chain);
