// Client request recognition on the proxy port: tells SOCKS4/4a, SOCKS5,
// HTTP and CONNECT apart, answers SOCKS handshakes, reads destinations,
// refuses bad or local requests and hands panel requests to the panel.
#pragma once

#include <cstddef>
#include <cstdint>

// Handler of kinds 0-4 (and kinds without a handler of their own), 'R' only.
void client_recognize(int index);
// Offset just past the HTTP method name, or 0 when the data is not HTTP.
size_t http_verb_offset(const uint8_t* data, size_t length);
int is_local_host(const char* host);
int is_host_char(int c);
