// Scripted clients that behave as real ones do, for the tests and benchmarks
// that carry them through the program: a SOCKS5 and a CONNECT opening, a
// WebSocket client (the RFC 6455 handshake and one echoed frame), and a
// keep-alive client that reuses its connection the way Python's requests
// does.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A SOCKS5 connection through ip:port to an IPv4 address or a name, or a
// CONNECT tunnel (status 2xx read); the socket, or -1.
int open_socks5(const std::string& ip, uint16_t port, const std::string& host, uint16_t dest_port,
                int timeout_ms = 10000);
int open_connect(const std::string& ip, uint16_t port, const std::string& host, uint16_t dest_port,
                 int timeout_ms = 10000);

// A SOCKS request through ip:port (version 4: SOCKS4a, the host sent as a
// name unless it is an IPv4 address; version 5: no sign-in): the reply
// code (SOCKS5's status byte, SOCKS4's 0x5A or 0x5B), -1 when no reply came.
// *fd is the open socket when the request was granted, else -1.
int socks_request(int version, const std::string& ip, uint16_t port, const std::string& host,
                  uint16_t dest_port, int* fd, int timeout_ms = 10000);

// The WebSocket handshake for GET /ws on an open connection, then one text
// frame sent (masked) and read back. "" when the echo came back, else what
// went wrong.
std::string websocket_echo(int fd, const std::string& host, const std::string& message);

// What a keep-alive client saw over a run of requests.
struct keepalive_run {
  int answered = 0;     // complete 200 answers
  int connections = 0;  // connections opened
  int failures = 0;     // requests without an answer (a kept connection the far end closed)
  int closes_told = 0;  // answers that said "Connection: close"
};
// GETs each path in turn, HTTP/1.1 keep-alive, on one connection for as
// long as the answers allow (a new one after "Connection: close", as a
// client library does). open_fn opens a connection, -1 on failure.
keepalive_run keepalive_gets(const std::function<int()>& open_fn, const std::string& host,
                             const std::vector<std::string>& paths);
