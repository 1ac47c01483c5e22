// Real peers on loopback for chain tests and benchmarks: upstream proxies
// (microsocks, danted, tinyproxy, privoxy) as child processes stopped by
// their PID, a local origin HTTP server on a thread, the program itself
// with a prepared database, and curl as a client.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A scratch directory for this process (created once, kept for inspection).
const std::string& peers_dir();
// A TCP port on ip that nothing listens on right now (0 on failure).
uint16_t peer_free_port(const char* ip);
// True once ip:port accepts a connection, polling for at most ms.
bool peer_wait_listening(const char* ip, uint16_t port, int ms = 5000);

// A child process in its own process group, stopped (SIGTERM, then SIGKILL)
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

// Starts argv (argv[0] looked up in PATH) with output in log_path; -1 on failure.
// Ends a child started by the tests: SIGTERM, up to wait_ms for it to exit,
// then SIGKILL. Sets pid to -1.
void peer_stop_child(pid_t& pid, int wait_ms);
pid_t peer_spawn(const std::vector<std::string>& argv, const std::string& log_path,
                 const std::vector<std::string>& env = {});

// Each returns a started peer listening on ip:port, or null.
peer_process* start_microsocks(const char* ip, uint16_t port);
peer_process* start_danted(const char* ip, uint16_t port);
// upstream_socks5: "IP:PORT" to chain it through a SOCKS5 proxy, or "".
peer_process* start_tinyproxy(const char* ip, uint16_t port,
                              const std::string& upstream_socks5 = "");
peer_process* start_privoxy(const char* ip, uint16_t port, const std::string& upstream_socks5);

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

// The program under test in its own MEROVANE_HOME, listening on ip:port,
// with a database prepared before it starts (the database is held
// exclusively while the program runs).
struct program_instance {
  std::string home, ip, log_base;
  uint16_t port = 0;
  pid_t pid = -1;
  // Creates the home, the registry and the database; fill() runs with the
  // database open (proxies, links, settings). Maintenance is pointed at a
  // loopback address where nothing listens.
  bool prepare(const char* listen_ip, const std::function<void()>& fill);
  // Reopens the database of a stopped program for changes.
  bool change(const std::function<void()>& fill);
  bool start();
  void stop();
  ~program_instance() { stop(); }
  std::string url() const { return ip + ":" + std::to_string(port); }
  std::string db_path() const { return home + "/merovane/settings.db"; }
};

// Runs curl with args (proxy environment cleared) and its body into
// out_path; returns the exit status (-1 when it could not run or timed out).
int run_curl(const std::vector<std::string>& args, const std::string& out_path,
             int timeout_s = 120);
std::string read_whole(const std::string& path);
