// A pool of proxies such as a public list holds, served on loopback by one
// helper process for tests and benchmarks: live SOCKS5 and CONNECT proxies
// that really relay (to 127.0.0.0/8 only), silent ones that accept and
// never answer, closed ports where nothing listens, and a check page (an
// HTTP origin whose page holds a known word). The helper runs one epoll
// loop with a raised descriptor limit and stops by itself after its
// lifetime.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

enum class pool_kind : uint8_t { socks5, connect, silent, closed };
constexpr int POOL_KINDS = 4;

const char* pool_kind_name(pool_kind kind);

// One line of the list: "ip:port" and what serves it.
struct pool_entry {
  std::string ip;
  uint16_t port = 0;
  pool_kind kind = pool_kind::closed;
};

// n entries in the ratio live 10 / silent 20 / closed 70 (live half SOCKS5,
// half CONNECT), mixed in a fixed order. Entry i has an address of its own,
// 127.<second_octet>.x.y, as the addresses of a public list differ; ports
// are given by proxy_pool::start.
std::vector<pool_entry> pool_layout(int n, uint8_t second_octet);
// How many entries of the kind.
int pool_count(const std::vector<pool_entry>& entries, pool_kind kind);
// The list as "ip:port" lines.
std::string pool_list_text(const std::vector<pool_entry>& entries);

// What the helper served, written when it stops.
struct pool_counts {
  long accepted[POOL_KINDS] = {};  // connections accepted, by kind (closed stays 0)
  long relays = 0;                 // tunnels established to their target
  long refused = 0;                // requests for a destination outside 127.0.0.0/8 or bad
  long pages = 0;                  // check pages served
};

struct proxy_pool {
  pid_t pid = -1;
  std::string page_ip;
  uint16_t page_port = 0;
  std::string page_path = "/pool-check.html";
  std::string page_word = "marigold";
  // Gives every live and silent entry a listener on its address (any free
  // port) and every closed one a port where nothing listens, opens the check
  // page on page_ip, and hands them to the helper process. Call it before
  // the caller starts any thread (the helper is a fork without exec).
  bool start(std::vector<pool_entry>& entries, const char* check_page_ip, int lifetime_s);
  // The check_sites line of the page: "http://IP:PORT/PATH WORD".
  std::string check_site() const;
  // Stops the helper (SIGTERM, then SIGKILL) and reads its counts.
  pool_counts stop();
  ~proxy_pool() { stop(); }

 private:
  std::string counts_path;
};
