// An HTTP/1.1 origin on loopback for the tests and benchmarks of real
// clients, stricter than origin_server: it keeps a connection open as
// HTTP/1.1 allows, answers "100 Continue", reads chunked bodies, refuses a
// request that HTTP/1.0 cannot carry (Transfer-Encoding, RFC 9112 §6.1; an
// upgrade) with 400 and a close, and turns GET /ws into a WebSocket echo
// (RFC 6455).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

// Routes:
//   GET /bytes/N   200 with N pattern bytes
//   POST /upload   the body (Content-Length or chunked) checked against the
//                  pattern: "ok N", else "bad N at P"
//   POST /sink     the body read unchecked: "ok N"
//   GET /ws        101 and an echo of every frame until a close frame
//   anything else  404
// A reply says "Connection: close" and the connection ends when the request
// asked for it, or is HTTP/1.0 without keep-alive.
struct origin11_server {
  std::string ip;
  uint16_t port = 0;
  bool start(const char* listen_ip);
  void stop();
  ~origin11_server() { stop(); }
  int connections() const { return accepted.load(); }
  int requests() const { return served.load(); }
  int refused() const { return refusals.load(); }  // 400 answers
  std::string last_head();

 private:
  int listen_fd = -1;
  std::atomic<bool> stopping{false};
  std::atomic<int> accepted{0};
  std::atomic<int> served{0};
  std::atomic<int> refusals{0};
  std::atomic<int> active{0};
  std::thread acceptor;
  std::mutex lock;
  std::string head;
  void serve(int fd);
  bool serve_one(int fd, std::string& pending);
};

// "Sec-WebSocket-Accept" for a key (RFC 6455 §4.2.2).
std::string websocket_accept(const std::string& key);
