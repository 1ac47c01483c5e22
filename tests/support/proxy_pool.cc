#include "tests/support/proxy_pool.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

#include "tests/support/fault_support.h"
#include "tests/support/net.h"
#include "tests/support/program.h"

namespace {

// ---- the helper process: one epoll loop over every socket of the pool ----

constexpr unsigned HELPER_FDS = 65536;
constexpr size_t HEAD_MAX = 8192;
constexpr size_t QUEUE_MAX = 1 << 20;  // a side that stops reading ends its tunnel
constexpr int EVENTS = 256;

enum class role : uint8_t {
  none,
  listener,
  page_listener,
  silent,
  socks5,
  connect,
  page,
  upstream
};

// Steps of a proxy's client side (and of its upstream: connecting, relaying).
enum step : uint8_t { ASKING, REQUEST, CONNECTING, RELAYING };

struct helper_conn {
  role kind = role::none;
  pool_kind serves = pool_kind::closed;  // a listener's kind
  uint8_t step = ASKING;
  bool closing = false;  // closed once `out` is written
  int peer = -1;         // the other side of a tunnel
  uint32_t gen = 0;      // tells a late event from a reused descriptor
  std::string in, out;
};

struct helper_state {
  int ep = -1;
  std::vector<helper_conn> conns;
  pool_counts counts;
  std::string page_path, page_reply;
};

helper_state H;
volatile sig_atomic_t helper_stop = 0;

void on_stop_signal(int) {
  helper_stop = 1;
}

uint64_t tag_of(int fd) {
  return static_cast<uint64_t>(fd) | (static_cast<uint64_t>(H.conns[fd].gen) << 32);
}

void watch(int fd, uint32_t events, int op) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = tag_of(fd);
  epoll_ctl(H.ep, op, fd, &ev);
}

void open_conn(int fd, role kind, uint32_t events) {
  const uint32_t gen = H.conns[fd].gen;
  H.conns[fd] = helper_conn{};
  H.conns[fd].kind = kind;
  H.conns[fd].gen = gen;
  watch(fd, events, EPOLL_CTL_ADD);
}

void flush(int fd);

void drop(int fd) {
  helper_conn& c = H.conns[fd];
  if (c.kind == role::none) return;
  const int peer = c.peer;
  epoll_ctl(H.ep, EPOLL_CTL_DEL, fd, nullptr);
  close(fd);
  const uint32_t gen = c.gen + 1;
  c = helper_conn{};
  c.gen = gen;
  if (peer < 0) return;
  H.conns[peer].peer = -1;
  H.conns[peer].closing = true;  // the other side ends once its queue is out
  flush(peer);
}

void flush(int fd) {
  helper_conn& c = H.conns[fd];
  while (!c.out.empty()) {
    const ssize_t n = send(fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) return drop(fd);
    c.out.erase(0, static_cast<size_t>(n));
  }
  if (c.out.empty() && c.closing) return drop(fd);
  if (c.kind == role::upstream && c.step == CONNECTING) return;  // waits for EPOLLOUT anyway
  watch(fd, EPOLLIN | EPOLLRDHUP | (c.out.empty() ? 0u : static_cast<uint32_t>(EPOLLOUT)),
        EPOLL_CTL_MOD);
}

void answer(int fd, const std::string& bytes, bool then_close) {
  H.conns[fd].out += bytes;
  H.conns[fd].closing = H.conns[fd].closing || then_close;
  flush(fd);
}

std::string socks5_reply(uint8_t code, const sockaddr_in& bound) {
  std::string r = {5, static_cast<char>(code), 0, 1};
  r.append(reinterpret_cast<const char*>(&bound.sin_addr), 4);
  r.append(reinterpret_cast<const char*>(&bound.sin_port), 2);
  return r;
}

// The client side's answer when its tunnel cannot stand.
void tunnel_failed(int fd) {
  if (H.conns[fd].kind == role::socks5)
    answer(fd, socks5_reply(5, sockaddr_in{}), true);
  else
    answer(fd, "HTTP/1.0 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n", true);
}

// Opens the upstream connection of client fd to ip:port (network order),
// from the proxy's own address.
void begin_upstream(int fd, uint32_t ip, uint16_t port) {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
  local.sin_port = 0;
  const int u = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (u < 0 || static_cast<size_t>(u) >= H.conns.size()) {
    if (u >= 0) close(u);
    return tunnel_failed(fd);
  }
  bind(u, reinterpret_cast<sockaddr*>(&local), sizeof local);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = port;
  to.sin_addr.s_addr = ip;
  if (connect(u, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
    close(u);
    return tunnel_failed(fd);
  }
  open_conn(u, role::upstream, EPOLLOUT | EPOLLIN | EPOLLRDHUP);
  H.conns[u].step = CONNECTING;
  H.conns[u].peer = fd;
  H.conns[fd].peer = u;
  H.conns[fd].step = CONNECTING;
}

bool in_loopback(uint32_t ip) {
  return (ntohl(ip) >> 24) == 127;
}

// The upstream's connect ended: the client hears the outcome and, on
// success, the bytes it sent early go along.
void upstream_connected(int u) {
  int error = 0;
  socklen_t size = sizeof error;
  getsockopt(u, SOL_SOCKET, SO_ERROR, &error, &size);
  const int client = H.conns[u].peer;
  if (error != 0) {
    H.conns[u].peer = -1;
    H.conns[client].peer = -1;
    drop(u);
    return tunnel_failed(client);
  }
  ++H.counts.relays;
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  getsockname(u, reinterpret_cast<sockaddr*>(&bound), &len);
  helper_conn& c = H.conns[client];
  c.step = RELAYING;
  H.conns[u].step = RELAYING;
  answer(client,
         c.kind == role::socks5 ? socks5_reply(0, bound)
                                : "HTTP/1.0 200 Connection established\r\n\r\n",
         false);
  if (H.conns[u].kind == role::none) return;
  H.conns[u].out += H.conns[client].in;
  H.conns[client].in.clear();
  flush(u);
}

// Greeting: no authentication or nothing.
void socks5_greeting(int fd) {
  helper_conn& c = H.conns[fd];
  if (c.in.size() < 2 || c.in.size() < 2u + static_cast<uint8_t>(c.in[1])) return;
  const size_t n = 2u + static_cast<uint8_t>(c.in[1]);
  const bool plain = std::memchr(c.in.data() + 2, 0, n - 2) != nullptr;  // "no authentication"
  c.in.erase(0, n);
  if (!plain) return answer(fd, std::string("\x05\xFF", 2), true);
  c.step = REQUEST;
  answer(fd, std::string("\x05\x00", 2), false);
}

// CONNECT request for an IPv4 address; names and other commands refused.
void socks5_request(int fd) {
  helper_conn& c = H.conns[fd];
  if (c.in.size() < 4) return;
  if (c.in[1] != 1 || c.in[3] != 1) {
    ++H.counts.refused;
    return answer(fd, socks5_reply(c.in[1] != 1 ? 7 : 8, sockaddr_in{}), true);
  }
  if (c.in.size() < 10) return;
  uint32_t ip;
  uint16_t port;
  std::memcpy(&ip, c.in.data() + 4, 4);
  std::memcpy(&port, c.in.data() + 8, 2);
  c.in.erase(0, 10);
  if (!in_loopback(ip)) {
    ++H.counts.refused;
    return answer(fd, socks5_reply(2, sockaddr_in{}), true);
  }
  begin_upstream(fd, ip, port);
}

// A SOCKS4 request or any other protocol is dropped at once, as microsocks does.
void socks5_input(int fd) {
  helper_conn& c = H.conns[fd];
  if (c.in.empty()) return;
  if (c.step == ASKING && c.in[0] != 5) return drop(fd);
  if (c.step == ASKING) socks5_greeting(fd);
  if (H.conns[fd].kind != role::none && H.conns[fd].step == REQUEST) socks5_request(fd);
}

// "a.b.c.d:port" into network-order numbers.
bool parse_target(const std::string& target, uint32_t* ip, uint16_t* port) {
  const size_t colon = target.rfind(':');
  if (colon == std::string::npos) return false;
  in_addr a{};
  if (inet_pton(AF_INET, target.substr(0, colon).c_str(), &a) != 1) return false;
  const long p = std::strtol(target.c_str() + colon + 1, nullptr, 10);
  if (p < 1 || p > 65535) return false;
  *ip = a.s_addr;
  *port = htons(static_cast<uint16_t>(p));
  return true;
}

// An HTTP proxy that only tunnels: CONNECT to a loopback address.
void connect_input(int fd) {
  helper_conn& c = H.conns[fd];
  if (c.in.empty() || c.step != ASKING) return;
  if (c.in[0] < 'A' || c.in[0] > 'Z') return drop(fd);
  const size_t end = c.in.find("\r\n\r\n");
  if (end == std::string::npos) {
    if (c.in.size() > HEAD_MAX) drop(fd);
    return;
  }
  const std::string line = c.in.substr(0, c.in.find("\r\n"));
  c.in.erase(0, end + 4);
  if (line.compare(0, 8, "CONNECT ") != 0)
    return answer(fd, "HTTP/1.0 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n", true);
  uint32_t ip = 0;
  uint16_t port = 0;
  if (!parse_target(line.substr(8, line.find(' ', 8) - 8), &ip, &port) || !in_loopback(ip)) {
    ++H.counts.refused;
    return answer(fd, "HTTP/1.0 403 Forbidden\r\nContent-Length: 0\r\n\r\n", true);
  }
  begin_upstream(fd, ip, port);
}

void page_input(int fd) {
  helper_conn& c = H.conns[fd];
  if (c.closing) return;
  if (c.in.find("\r\n\r\n") == std::string::npos) {
    if (c.in.size() > HEAD_MAX) drop(fd);
    return;
  }
  const std::string line = c.in.substr(0, c.in.find("\r\n"));
  if (line.compare(0, 4 + H.page_path.size(), "GET " + H.page_path) != 0)
    return answer(fd, "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n", true);
  ++H.counts.pages;
  answer(fd, H.page_reply, true);
}

// Bytes read on fd: to the other side of a tunnel, or to the protocol.
void take_input(int fd, const char* data, size_t n) {
  helper_conn& c = H.conns[fd];
  if (c.kind == role::silent) return;
  if (c.step == RELAYING && c.peer >= 0) {
    helper_conn& other = H.conns[c.peer];
    other.out.append(data, n);
    if (other.out.size() > QUEUE_MAX) return drop(fd);
    return flush(c.peer);
  }
  c.in.append(data, n);
  if (c.in.size() > QUEUE_MAX) return drop(fd);
  if (c.kind == role::socks5) socks5_input(fd);
  if (c.kind == role::connect) connect_input(fd);
  if (c.kind == role::page) page_input(fd);
}

void on_readable(int fd) {
  const uint32_t gen = H.conns[fd].gen;
  char buf[16384];
  for (int i = 0; i < 16; ++i) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return drop(fd);  // the other side ends once its queue is out
    take_input(fd, buf, static_cast<size_t>(n));
    if (H.conns[fd].gen != gen || H.conns[fd].kind == role::none) return;
  }
}

role client_role(pool_kind kind) {
  if (kind == pool_kind::socks5) return role::socks5;
  if (kind == pool_kind::connect) return role::connect;
  return role::silent;
}

void accept_all(int lfd) {
  const helper_conn& l = H.conns[lfd];
  const role kind = l.kind == role::page_listener ? role::page : client_role(l.serves);
  const pool_kind serves = l.serves;
  for (int i = 0; i < 64; ++i) {
    const int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (static_cast<size_t>(fd) >= H.conns.size()) {
      close(fd);
      continue;
    }
    open_conn(fd, kind, EPOLLIN | EPOLLRDHUP);
    if (kind != role::page) ++H.counts.accepted[static_cast<int>(serves)];
  }
}

void dispatch(int fd, uint32_t events) {
  helper_conn& c = H.conns[fd];
  if (c.kind == role::listener || c.kind == role::page_listener) return accept_all(fd);
  if (c.kind == role::upstream && c.step == CONNECTING) return upstream_connected(fd);
  const uint32_t gen = c.gen;
  if (events & EPOLLOUT) flush(fd);
  if (H.conns[fd].gen != gen || H.conns[fd].kind == role::none) return;
  if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) on_readable(fd);
}

void run_loop(int lifetime_s) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime_s);
  epoll_event events[EVENTS];
  while (helper_stop == 0 && std::chrono::steady_clock::now() < deadline) {
    const int n = epoll_wait(H.ep, events, EVENTS, 200);
    for (int i = 0; i < n; ++i) {
      const int fd = static_cast<int>(events[i].data.u64 & 0xFFFFFFFFu);
      const uint32_t gen = static_cast<uint32_t>(events[i].data.u64 >> 32);
      if (static_cast<size_t>(fd) >= H.conns.size() || H.conns[fd].gen != gen ||
          H.conns[fd].kind == role::none)
        continue;
      dispatch(fd, events[i].events);
    }
  }
}

void write_counts(const std::string& path) {
  std::ofstream f(path, std::ios::trunc);
  for (int k = 0; k < POOL_KINDS; ++k) f << H.counts.accepted[k] << "\n";
  f << H.counts.relays << "\n" << H.counts.refused << "\n" << H.counts.pages << "\n";
}

struct helper_listener {
  int fd;
  pool_kind kind;
};

[[noreturn]] void helper_main(const std::vector<helper_listener>& listeners, int page_fd,
                              int lifetime_s, const std::string& counts_path) {
  prctl(PR_SET_PDEATHSIG, SIGTERM);  // a bench that dies takes the pool along
  signal(SIGTERM, on_stop_signal);
  signal(SIGINT, on_stop_signal);
  signal(SIGPIPE, SIG_IGN);
  fault_raise_own_limit(HELPER_FDS);
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  H.conns.resize(std::min<rlim_t>(limit.rlim_cur, HELPER_FDS));
  H.ep = epoll_create1(EPOLL_CLOEXEC);
  for (const helper_listener& l : listeners) {
    fcntl(l.fd, F_SETFL, O_NONBLOCK);
    open_conn(l.fd, role::listener, EPOLLIN);
    H.conns[l.fd].serves = l.kind;
  }
  fcntl(page_fd, F_SETFL, O_NONBLOCK);
  open_conn(page_fd, role::page_listener, EPOLLIN);
  run_loop(lifetime_s);
  write_counts(counts_path);
  _exit(0);
}

std::string page_reply(const std::string& word) {
  const std::string body = "<html><head><title>" + word + "</title></head><body><p>" + word +
                           " check page</p><p>" + word + "</p></body></html>\n";
  return "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// Listeners for the live and silent entries, ports for the closed ones.
bool open_listeners(std::vector<pool_entry>& entries, std::vector<helper_listener>& out) {
  for (pool_entry& e : entries) {
    if (e.kind == pool_kind::closed) {
      e.port = free_port(e.ip.c_str());
      if (e.port == 0) return false;
      continue;
    }
    const int fd = listen_on(e.ip.c_str(), 0, &e.port, 128);
    if (fd < 0) return false;
    out.push_back({fd, e.kind});
  }
  return true;
}

void close_listeners(const std::vector<helper_listener>& listeners, int page_fd) {
  for (const helper_listener& l : listeners) close(l.fd);
  if (page_fd >= 0) close(page_fd);
}

}  // namespace

const char* pool_kind_name(pool_kind kind) {
  static constexpr const char* NAMES[POOL_KINDS] = {"socks5", "connect", "silent", "closed"};
  return NAMES[static_cast<int>(kind)];
}

std::vector<pool_entry> pool_layout(int n, uint8_t second_octet) {
  n = std::clamp(n, 1, 60000);
  const int live = (n + 5) / 10, silent = (n + 2) / 5;
  std::vector<pool_kind> kinds;
  kinds.insert(kinds.end(), static_cast<size_t>(live / 2), pool_kind::socks5);
  kinds.insert(kinds.end(), static_cast<size_t>(live - live / 2), pool_kind::connect);
  kinds.insert(kinds.end(), static_cast<size_t>(silent), pool_kind::silent);
  kinds.resize(static_cast<size_t>(n), pool_kind::closed);
  std::mt19937 order(20261209u);
  std::shuffle(kinds.begin(), kinds.end(), order);
  std::vector<pool_entry> entries(kinds.size());
  for (size_t i = 0; i < kinds.size(); ++i) {
    const size_t host = i + 1;
    entries[i].ip = "127." + std::to_string(second_octet) + "." + std::to_string(host / 250) + "." +
                    std::to_string(host % 250 + 1);
    entries[i].kind = kinds[i];
  }
  return entries;
}

int pool_count(const std::vector<pool_entry>& entries, pool_kind kind) {
  return static_cast<int>(std::count_if(entries.begin(), entries.end(),
                                        [kind](const pool_entry& e) { return e.kind == kind; }));
}

std::string pool_list_text(const std::vector<pool_entry>& entries) {
  std::string text;
  for (const pool_entry& e : entries) text += e.ip + ":" + std::to_string(e.port) + "\n";
  return text;
}

bool proxy_pool::start(std::vector<pool_entry>& entries, const char* check_page_ip,
                       int lifetime_s) {
  if (!fault_raise_own_limit(static_cast<unsigned>(entries.size()) + 1024)) return false;
  std::vector<helper_listener> listeners;
  page_ip = check_page_ip;
  const int page_fd = listen_on(check_page_ip, 0, &page_port, 256);
  if (page_fd < 0 || !open_listeners(entries, listeners)) {
    close_listeners(listeners, page_fd);
    return false;
  }
  counts_path = scratch_name("pool-counts");
  H.page_path = page_path;
  H.page_reply = page_reply(page_word);
  pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    helper_main(listeners, page_fd, lifetime_s, counts_path);
  }
  if (pid > 0) setpgid(pid, pid);
  close_listeners(listeners, page_fd);
  usleep(100000);
  return pid > 0 && child_alive(pid);
}

std::string proxy_pool::check_site() const {
  return "http://" + page_ip + ":" + std::to_string(page_port) + page_path + " " + page_word;
}

pool_counts proxy_pool::stop() {
  pool_counts counts;
  if (pid <= 0) return counts;
  stop_child(pid, 5000);
  std::ifstream f(counts_path);
  for (long& n : counts.accepted) f >> n;
  f >> counts.relays >> counts.refused >> counts.pages;
  return counts;
}
