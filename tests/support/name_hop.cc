#include "tests/support/name_hop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include "tests/support/net.h"

const char* const kHopFormNames[FORM_COUNT] = {"socks5 ipv4",  "socks5 name",  "socks5 ipv6",
                                               "connect ipv4", "connect name", "connect ipv6"};

namespace {

constexpr int kNegotiateMs = 30000;   // for the request once connected
constexpr int kIdleLimitMs = 120000;  // a relay with no byte moving this long ends

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

bool v6_bytes(std::string text, uint8_t (&out)[16]) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
    text = text.substr(1, text.size() - 2);
  return inet_pton(AF_INET6, text.c_str(), out) == 1;
}

void set_nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Copies both ways until both sides have ended (each end passed on as a
// half close), an error, no movement for kIdleLimitMs, or stop.
void relay(int a, int b, const std::string& to_b, const std::atomic<bool>& stopping) {
  set_nonblocking(a);
  set_nonblocking(b);
  struct direction {
    int from, to;
    char buf[65536];
    size_t len, off;
    bool ended, shut;
  };
  // 128 KiB of buffers: on the heap, not on a relay thread's stack.
  auto both = std::make_unique<std::array<direction, 2>>();
  std::array<direction, 2>& dirs = *both;
  dirs[0].from = a, dirs[0].to = b;
  dirs[1].from = b, dirs[1].to = a;
  for (int i = 0; i < 2; ++i) dirs[i].len = dirs[i].off = 0, dirs[i].ended = dirs[i].shut = false;
  if (!to_b.empty() && to_b.size() <= sizeof dirs[0].buf) {
    memcpy(dirs[0].buf, to_b.data(), to_b.size());
    dirs[0].len = to_b.size();
  }
  int idle = 0;
  bool failed = false;
  while (!failed && !(dirs[0].shut && dirs[1].shut) && !stopping.load()) {
    pollfd p[2] = {{a, 0, 0}, {b, 0, 0}};
    for (direction& d : dirs) {
      pollfd& from = d.from == a ? p[0] : p[1];
      pollfd& to = d.to == a ? p[0] : p[1];
      if (!d.ended && d.len == 0) from.events |= POLLIN;
      if (d.len > 0) to.events |= POLLOUT;
    }
    for (pollfd& q : p)
      if (q.events == 0) q.fd = -1;  // nothing wanted: a hang-up there must not spin the loop
    const int r = poll(p, 2, 200);
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) {
      idle += 200;
      if (idle >= kIdleLimitMs) break;
      continue;
    }
    idle = 0;
    for (direction& d : dirs) {
      const pollfd& from = d.from == a ? p[0] : p[1];
      const pollfd& to = d.to == a ? p[0] : p[1];
      if (!d.ended && d.len == 0 && (from.revents & (POLLIN | POLLHUP | POLLERR))) {
        const ssize_t n = recv(d.from, d.buf, sizeof d.buf, 0);
        if (n > 0) {
          d.len = static_cast<size_t>(n);
          d.off = 0;
        } else if (n == 0) {
          d.ended = true;
        } else if (errno != EAGAIN && errno != EINTR) {
          failed = true;
        }
      }
      if (d.len > 0 && (to.revents & (POLLOUT | POLLHUP | POLLERR))) {
        const ssize_t n = send(d.to, d.buf + d.off, d.len - d.off, MSG_NOSIGNAL);
        if (n > 0) {
          d.off += static_cast<size_t>(n);
          if (d.off == d.len) d.len = d.off = 0;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
          failed = true;
        }
      }
      if (d.ended && d.len == 0 && !d.shut) {
        shutdown(d.to, SHUT_WR);
        d.shut = true;
      }
    }
  }
}

}  // namespace

bool name_hop::start(const char* listen_ip, const std::map<std::string, std::string>& table) {
  ip = listen_ip;
  for (const auto& [key, value] : table) {
    uint8_t raw[16];
    if (v6_bytes(key, raw))
      v6.emplace_back(std::string(reinterpret_cast<const char*>(raw), 16), value);
    else
      names[lower(key)] = value;
  }
  listen_fd = listen_on(listen_ip, 0, &port, 512);
  if (listen_fd < 0) return false;
  acceptor = accept_loop(listen_fd, stopping, [this](int fd, const char* from) {
    {
      std::lock_guard<std::mutex> hold(lock);
      ++by_source[from];
    }
    connections.fetch_add(1);
    active.fetch_add(1);
    std::thread(&name_hop::serve, this, fd).detach();
  });
  return true;
}

void name_hop::stop() {
  accept_loop_stop(acceptor, listen_fd, stopping, active);
}

std::map<std::string, uint64_t> name_hop::sources() {
  std::lock_guard<std::mutex> hold(lock);
  return by_source;
}

std::string name_hop::destination(const std::string& host, bool is_v6) {
  if (is_v6) {
    uint8_t raw[16];
    if (!v6_bytes(host, raw)) return "";
    for (const auto& [bytes, v4] : v6)
      if (memcmp(bytes.data(), raw, 16) == 0) return v4;
    return "";
  }
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) == 1)
    return (ntohl(a.s_addr) >> 24) == 127 ? host : "";  // loopback only
  const auto it = names.find(lower(host));
  return it == names.end() ? "" : it->second;
}

void name_hop::serve(int fd) {
  struct ender {
    int fd;
    std::atomic<int>& active;
    std::atomic<uint64_t>& early;
    int out = -1;
    bool requested = false;
    ~ender() {
      if (!requested) early.fetch_add(1);
      if (out >= 0) close(out);
      close(fd);
      active.fetch_sub(1);
    }
  } end{fd, active, early};
  uint8_t first = 0;
  if (!read_exact(fd, &first, 1, kNegotiateMs)) return;
  std::string host, leftover;
  uint16_t port_number = 0;
  bool is_v6 = false;
  hop_form form = FORM_SOCKS5_V4;
  if (first == 5) {
    uint8_t n_methods = 0;
    uint8_t methods[255];
    if (!read_exact(fd, &n_methods, 1, kNegotiateMs) || n_methods == 0 ||
        !read_exact(fd, methods, n_methods, kNegotiateMs))
      return;
    if (memchr(methods, 0, n_methods) == nullptr) {
      send_all(fd, "\x05\xFF", 2);
      malformed.fetch_add(1);
      return;
    }
    if (!send_all(fd, "\x05\x00", 2)) return;
    uint8_t req[4];
    if (!read_exact(fd, req, 4, kNegotiateMs)) return;
    if (req[0] != 5 || req[1] != 1) {
      send_all(fd, std::string("\x05\x07\x00\x01\0\0\0\0\0\0", 10));
      malformed.fetch_add(1);
      return;
    }
    if (req[3] == 1) {
      uint8_t a[4];
      if (!read_exact(fd, a, 4, kNegotiateMs)) return;
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, a, text, sizeof text);
      host = text;
      form = FORM_SOCKS5_V4;
    } else if (req[3] == 3) {
      uint8_t len = 0;
      char name[256];
      if (!read_exact(fd, &len, 1, kNegotiateMs) || len == 0 ||
          !read_exact(fd, name, len, kNegotiateMs))
        return;
      host.assign(name, len);
      form = FORM_SOCKS5_NAME;
    } else if (req[3] == 4) {
      uint8_t a[16];
      if (!read_exact(fd, a, 16, kNegotiateMs)) return;
      char text[INET6_ADDRSTRLEN];
      inet_ntop(AF_INET6, a, text, sizeof text);
      host = text;
      is_v6 = true;
      form = FORM_SOCKS5_V6;
    } else {
      send_all(fd, std::string("\x05\x08\x00\x01\0\0\0\0\0\0", 10));
      malformed.fetch_add(1);
      return;
    }
    uint8_t p[2];
    if (!read_exact(fd, p, 2, kNegotiateMs)) return;
    port_number = static_cast<uint16_t>(p[0] << 8 | p[1]);
  } else {
    std::string head(1, static_cast<char>(first));
    char buf[4096];
    size_t end;
    while ((end = head.find("\r\n\r\n")) == std::string::npos) {
      if (head.size() > 16384) break;
      pollfd q{fd, POLLIN, 0};
      if (poll(&q, 1, kNegotiateMs) <= 0) return;
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return;
      head.append(buf, static_cast<size_t>(n));
    }
    if (end == std::string::npos || head.compare(0, 8, "CONNECT ") != 0) {
      send_all(fd, "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n");
      malformed.fetch_add(1);
      return;
    }
    leftover = head.substr(end + 4);
    const size_t target_end = head.find(' ', 8);
    const std::string target = head.substr(8, target_end == std::string::npos ? 0 : target_end - 8);
    const size_t colon = target.rfind(':');
    if (colon == std::string::npos || colon == 0) {
      send_all(fd, "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
      malformed.fetch_add(1);
      return;
    }
    host = target.substr(0, colon);
    port_number = static_cast<uint16_t>(atoi(target.c_str() + colon + 1));
    in_addr a{};
    if (host.size() >= 2 && host.front() == '[') {
      is_v6 = true;
      form = FORM_CONNECT_V6;
    } else if (inet_pton(AF_INET, host.c_str(), &a) == 1) {
      form = FORM_CONNECT_V4;
    } else {
      form = FORM_CONNECT_NAME;
    }
  }
  forms[form].fetch_add(1);
  end.requested = true;
  const std::string to = destination(host, is_v6);
  const bool socks = first == 5;
  if (!to.empty() && port_number != 0) end.out = connect_to(to, port_number, kNegotiateMs);
  if (end.out < 0) {
    refusals.fetch_add(1);
    if (socks)
      send_all(fd, std::string(to.empty() ? "\x05\x04" : "\x05\x05", 2) +
                       std::string("\x00\x01\0\0\0\0\0\0", 8));
    else
      send_all(fd, "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
    return;
  }
  // The relay has no time limit of its own beyond the idle one.
  timeval none{0, 0};
  setsockopt(end.out, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
  setsockopt(end.out, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
  if (socks) {
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    getsockname(end.out, reinterpret_cast<sockaddr*>(&bound), &len);
    std::string reply("\x05\x00\x00\x01", 4);
    reply.append(reinterpret_cast<const char*>(&bound.sin_addr), 4);
    reply.append(reinterpret_cast<const char*>(&bound.sin_port), 2);
    if (!send_all(fd, reply)) return;
  } else if (!send_all(fd, "HTTP/1.1 200 Connection established\r\n\r\n")) {
    return;
  }
  relay(fd, end.out, leftover, stopping);
}
