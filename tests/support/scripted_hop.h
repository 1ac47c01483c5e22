// A scripted last proxy for chain tests: listens on a loopback address,
// answers one client at a time in SOCKS4, SOCKS5 or HTTP CONNECT, records
// the request it was given, then greets the client with "HELLO\n" and
// closes. It may ask for SOCKS5 user/password or Basic credentials and
// records what it was offered. As a plain HTTP proxy (script http) it
// answers every request head of a connection with "HELLO\n" and keeps the
// connection open unless the request said "Connection: close".
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class hop_script { socks4, socks5, connect, http };

struct scripted_hop {
  hop_script script = hop_script::socks5;
  std::string ip;
  uint16_t port = 0;
  // Credentials the hop insists on (empty user: none asked for).
  std::string user, password;

  bool start(hop_script kind, const char* listen_ip);
  ~scripted_hop();
  // The requests (raw bytes after any greeting or sign-in) received so far.
  std::vector<std::string> requests();
  // What the client offered to sign in ("user:password", or the
  // Proxy-Authorization line), per connection (per request for http).
  std::vector<std::string> sign_ins();
  int served() const { return served_count.load(); }

 private:
  int listen_fd = -1;
  std::atomic<bool> stopping{false};
  std::atomic<int> served_count{0};
  std::thread worker;
  std::mutex lock;
  std::vector<std::string> seen, offered;
  void run();
  void serve(int fd);
  void serve_http(int fd);
  void record(const std::string& request, const std::string& sign_in);
};
