// Real peers on loopback for tests and benchmarks: upstream proxies
// (microsocks, danted, tinyproxy, privoxy, merovane-judge) as child
// processes stopped by their PID, a local origin HTTP server and an echo
// server on threads, and curl as a client.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A child process started by the tests, stopped (SIGTERM, then SIGKILL)
// by its PID when destroyed.
struct peer_process {
  pid_t pid = -1;
  std::string name, ip, log_path;
  uint16_t port = 0;
  peer_process() = default;
  peer_process(const peer_process&) = delete;
  peer_process& operator=(const peer_process&) = delete;
  ~peer_process() { stop(); }
  void stop();
  bool running() const;
};

// Each returns a started peer listening on ip:port, or null.
// microsocks sends from bind_ip (default: ip).
peer_process* start_microsocks(const char* ip, uint16_t port, const char* bind_ip = nullptr);
// microsocks that asks every client for user and password (RFC 1929).
peer_process* start_microsocks_login(const char* ip, uint16_t port, const std::string& user,
                                     const std::string& password);
peer_process* start_danted(const char* ip, uint16_t port);
// tinyproxy with its port, address, loopback clients and a PID file, plus
// `settings` lines (default kTinyproxyChain); upstream_socks5: "IP:PORT"
// to chain it through a SOCKS5 proxy, or "".
peer_process* start_tinyproxy(const char* ip, uint16_t port,
                              const std::string& upstream_socks5 = "",
                              const std::string& settings = "");
// The default settings of start_tinyproxy: sends from its own address.
std::string tinyproxy_settings(const char* bind_ip, int timeout_s = 30, int max_clients = 200);
peer_process* start_privoxy(const char* ip, uint16_t port, const std::string& upstream_socks5);
// tools/merovane-judge on ip port 80 (control_file: its answers, optional).
peer_process* start_judge(const char* ip, const std::string& control_file = "");

// Deterministic content: the byte at position i of every body.
void pattern_fill(uint8_t* out, uint64_t offset, size_t n);
// Position of the first byte that differs from the pattern, or -1.
int64_t pattern_mismatch(const uint8_t* data, uint64_t offset, size_t n);

// Origin HTTP server on a thread; one request per connection, then close.
//   GET /bytes/N   200 with N pattern bytes
//   POST /upload   reads Content-Length bytes, answers "ok N" when they are
//                  the pattern, else "bad N at P"
//   GET /head      200 with the request head it received as body
//   GET /fast/N    200 with N bytes of no particular content (benchmarks)
//   POST /sink     reads Content-Length bytes unchecked, answers "ok N"
//   GET /hold      no answer; held open until the client or stop() ends it
//   anything else  404
struct origin_server {
  std::string ip;
  uint16_t port = 0;
  bool start(const char* listen_ip);
  void stop();
  ~origin_server() { stop(); }
  std::string last_head();
  int requests() const { return served.load(); }
  int held() const { return holding.load(); }  // connections held open by GET /hold
  std::vector<std::string> peers();            // remote addresses seen, "a.b.c.d"
  std::string last_peer();                     // "" before the first request

 private:
  int listen_fd = -1;
  std::atomic<bool> stopping{false};
  std::atomic<int> served{0};
  std::atomic<int> active{0};
  std::atomic<int> holding{0};
  std::thread acceptor;
  std::mutex lock;
  std::string head;
  std::vector<std::string> seen;
  void serve(int fd, std::string peer);
};

// Echo server on a thread per connection: every byte comes back, until the
// client closes or stop().
struct echo_server {
  std::string ip;
  uint16_t port = 0;
  bool start(const char* listen_ip);
  void stop();
  ~echo_server() { stop(); }

 private:
  int listen_fd = -1;
  std::atomic<bool> stopping{false};
  std::atomic<int> active{0};
  std::thread acceptor;
  void serve(int fd);
};

// Runs curl with args (proxy environment cleared) and its body into
// out_path; returns the exit status (-1 when it could not run or timed out).
int run_curl(const std::vector<std::string>& args, const std::string& out_path,
             int timeout_s = 120);
