// A last proxy that knows names nobody else resolves: it listens on a
// loopback address and speaks SOCKS5 (no sign-in) or HTTP CONNECT, told
// apart by the first byte. A destination given as a name or an IPv6
// address is looked up in its own table (never in the system resolver);
// IPv4 destinations must be loopback. It relays both ways until both sides
// have ended, and counts which forms of destination it was given and from
// which addresses the connections came.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// How a destination reached the hop.
enum hop_form : int {
  FORM_SOCKS5_V4,     // SOCKS5 address type 1
  FORM_SOCKS5_NAME,   // SOCKS5 address type 3
  FORM_SOCKS5_V6,     // SOCKS5 address type 4
  FORM_CONNECT_V4,    // CONNECT a.b.c.d:port
  FORM_CONNECT_NAME,  // CONNECT name:port
  FORM_CONNECT_V6,    // CONNECT [v6]:port
  FORM_COUNT
};
extern const char* const kHopFormNames[FORM_COUNT];

struct name_hop {
  std::string ip;
  uint16_t port = 0;

  // Listens on listen_ip (any free port). table maps a name, or an IPv6
  // address in any spelling, to the IPv4 address text it stands for.
  bool start(const char* listen_ip, const std::map<std::string, std::string>& table);
  // Stops accepting and waits (at most 5 s) for the open relays to end.
  void stop();
  ~name_hop() { stop(); }

  uint64_t count(hop_form form) const { return forms[form].load(); }
  uint64_t refused() const { return refusals.load(); }  // unknown or non-loopback destinations
  uint64_t bad_requests() const { return malformed.load(); }  // neither SOCKS5 nor CONNECT
  uint64_t accepted() const { return connections.load(); }
  uint64_t ended_early() const { return early.load(); }  // closed before a whole request
  int open() const { return active.load(); }
  // Connections per source address ("a.b.c.d"), since the start.
  std::map<std::string, uint64_t> sources();

 private:
  int listen_fd = -1;
  std::map<std::string, std::string> names;             // lower-case names
  std::vector<std::pair<std::string, std::string>> v6;  // 16 raw bytes -> IPv4 text
  std::atomic<bool> stopping{false};
  std::atomic<int> active{0};
  std::atomic<uint64_t> forms[FORM_COUNT] = {};
  std::atomic<uint64_t> refusals{0}, malformed{0}, connections{0}, early{0};
  std::thread acceptor;
  std::mutex lock;
  std::map<std::string, uint64_t> by_source;
  void serve(int fd);
  // The IPv4 text a destination stands for, "" when it is not allowed.
  std::string destination(const std::string& host, bool is_v6);
};
