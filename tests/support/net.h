// Loopback sockets for tests and benchmarks: free ports, listeners,
// connections with time limits, and whole-message reads and writes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

// A TCP port on ip that nothing listens on right now (bound, read back,
// released); 0 on failure.
uint16_t free_port(const char* ip = "127.0.0.1");
// True when a TCP connection to ip:port is accepted.
bool can_connect(const char* ip, uint16_t port);
// True once ip:port accepts a connection, polling for at most ms.
bool wait_listening(const char* ip, uint16_t port, int ms = 5000);
// A listening socket on ip:port (port 0: any; the bound port through
// bound), or -1.
int listen_on(const char* ip, uint16_t port, uint16_t* bound = nullptr, int backlog = 128);
// Connected socket to ip:port (IPv4 or IPv6) with TCP_NODELAY, or -1. With
// timeout_ms > 0 sends and receives time out after that long; with a
// source address the connection comes from there.
int connect_to(const std::string& ip, uint16_t port, int timeout_ms = 0,
               const char* source = nullptr);
inline int connect_local(uint16_t port, int timeout_ms = 0) {
  return connect_to("127.0.0.1", port, timeout_ms);
}

// A listener on ip whose accept queue is full and never taken from: the
// kernel drops every further SYN, as a firewalled or vanished host does.
struct syn_dropper {
  std::string ip;
  uint16_t port = 0;
  bool start(const char* listen_ip);
  void stop();
  ~syn_dropper() { stop(); }

 private:
  int listen_fd = -1;
  int fillers[4] = {-1, -1, -1, -1};
};

// Writes all bytes; false on error.
bool send_all(int fd, const void* data, size_t n);
inline bool send_all(int fd, const std::string& bytes) {
  return send_all(fd, bytes.data(), bytes.size());
}
// Reads exactly n bytes within ms; false on error, end or time-out.
bool read_exact(int fd, void* data, size_t n, int ms = 5000);
// Reads until n bytes arrived, the peer closed, or ms passed.
std::string read_upto(int fd, size_t n, int ms);
// Reads until the peer closes (or resets) or ms pass; *closed tells which.
std::string read_to_close(int fd, int ms, bool* closed = nullptr);
// Reads one HTTP message within ms: the head, then Content-Length bytes of
// body. Without a length a request ends at its head, a reply (reply = true)
// at the close or the time limit.
std::string read_http(int fd, int ms = 5000, bool reply = false);
inline std::string read_http_reply(int fd, int ms) {
  return read_http(fd, ms, true);
}

// A whole file; "" when it cannot be read.
std::string read_file(const std::string& path);

// A test server's accepting side: accepts on listen_fd on its own thread
// (polling every 100 ms for `stopping`) and hands each connection, with
// its source address "a.b.c.d", to on_accept, which serves it (on a thread
// of its own when it may take long).
std::thread accept_loop(int listen_fd, std::atomic<bool>& stopping,
                        std::function<void(int fd, const char* from)> on_accept);
// Ends it: sets stopping, joins the thread, closes listen_fd (set to -1)
// and waits at most 5 s for `active` connections to end.
void accept_loop_stop(std::thread& acceptor, int& listen_fd, std::atomic<bool>& stopping,
                      const std::atomic<int>& active);
