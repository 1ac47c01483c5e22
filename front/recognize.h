// Client request recognition on the proxy port: tells SOCKS4/4a, SOCKS5,
// HTTP and CONNECT apart, answers SOCKS handshakes, reads destinations,
// refuses bad or local requests and hands panel requests to the panel.
// Owns the verb list and the tunnel-established response; this machine's
// own addresses are front/local.h's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "front/local.h"
#include "platform/resolve.h"
#include "util/http.h"

// Attaches recognition to kinds 0-5. A request for the panel becomes kind
// web and is dispatched again to whoever serves that kind.
void front_attach();
// Recognition step on new input of a slot of kinds 0-5.
void client_recognize(int index);
// A client that has sent this many bytes without completing what its
// recognition state waits for is refused.
constexpr uint32_t RECOGNIZE_INPUT_LIMIT = 64u << 10;

// A SOCKS client that has sent nothing this long after its reply gets its
// chain started (the server is to speak first).
constexpr uint32_t SERVER_FIRST_MS = 300;

// Replaces the name lookup (platform/resolve.h) with a table of the
// test's own; null restores getaddrinfo.
void recognize_set_resolver(host_resolver resolver);
// Where a recognised request goes: the chain start. Tests replace it to
// watch the hand-over; null restores the program's own.
using chain_start_fn = void (*)(int index, size_t http_offset);
void recognize_set_chain_start(chain_start_fn chain);
