#include "tests/support/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

using steady = std::chrono::steady_clock;

sockaddr_in address_of(const char* ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

int ms_left(steady::time_point end) {
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(end - steady::now()).count());
}

steady::time_point after(int ms) {
  return steady::now() + std::chrono::milliseconds(ms);
}

bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

}  // namespace

namespace {
socklen_t any_address(const char* ip, uint16_t port, sockaddr_storage& out);
}  // namespace

uint16_t free_port(const char* ip) {
  sockaddr_storage a{};
  socklen_t len = any_address(ip, 0, a);
  if (len == 0) return 0;
  const int fd = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  uint16_t port = 0;
  // The port sits at the same place in both families' addresses.
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
  close(fd);
  return port;
}

bool can_connect(const char* ip, uint16_t port) {
  const int fd = connect_to(ip, port);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

bool wait_listening(const char* ip, uint16_t port, int ms) {
  for (int waited = 0; waited <= ms; waited += 20) {
    if (can_connect(ip, port)) return true;
    usleep(20000);
  }
  return false;
}

int listen_on(const char* ip, uint16_t port, uint16_t* bound, int backlog) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = address_of(ip, port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  if (bound != nullptr) *bound = ntohs(a.sin_port);
  return fd;
}

bool syn_dropper::start(const char* listen_ip) {
  stop();
  ip = listen_ip;
  listen_fd = listen_on(listen_ip, 0, &port, 0);
  if (listen_fd < 0) return false;
  // Backlog 0 takes one connection; the rest fill the queue for certain.
  sockaddr_in a = address_of(listen_ip, port);
  for (int& fd : fillers) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0) connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  return true;
}

void syn_dropper::stop() {
  for (int& fd : fillers) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  if (listen_fd >= 0) close(listen_fd);
  listen_fd = -1;
}

namespace {
// An IPv4 or IPv6 socket address of ip:port; its length, 0 when ip is
// neither.
socklen_t any_address(const char* ip, uint16_t port, sockaddr_storage& out) {
  out = sockaddr_storage{};
  if (std::strchr(ip, ':') == nullptr) {
    auto* a = reinterpret_cast<sockaddr_in*>(&out);
    *a = address_of(ip, port);
    return sizeof *a;
  }
  auto* a6 = reinterpret_cast<sockaddr_in6*>(&out);
  a6->sin6_family = AF_INET6;
  a6->sin6_port = htons(port);
  return inet_pton(AF_INET6, ip, &a6->sin6_addr) == 1 ? sizeof *a6 : 0;
}
}  // namespace

int connect_to(const std::string& ip, uint16_t port, int timeout_ms, const char* source) {
  sockaddr_storage a{};
  const socklen_t len = any_address(ip.c_str(), port, a);
  if (len == 0) return -1;
  const int fd = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (timeout_ms > 0) {
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
  sockaddr_storage from{};
  const socklen_t from_len = source != nullptr ? any_address(source, 0, from) : 0;
  if ((source != nullptr &&
       (from_len == 0 || bind(fd, reinterpret_cast<sockaddr*>(&from), from_len) != 0)) ||
      connect(fd, reinterpret_cast<sockaddr*>(&a), len) != 0) {
    close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool send_all(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool read_exact(int fd, void* data, size_t n, int ms) {
  char* p = static_cast<char*>(data);
  const auto end = after(ms);
  while (n > 0) {
    const int left = ms_left(end);
    if (left <= 0 || !readable(fd, left)) return false;
    const ssize_t r = recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

std::string read_upto(int fd, size_t n, int ms) {
  std::string got;
  const auto end = after(ms);
  while (got.size() < n && ms_left(end) > 0) {
    if (!readable(fd, 50)) continue;
    char buf[4096];
    const ssize_t r = recv(fd, buf, std::min(sizeof buf, n - got.size()), 0);
    if (r <= 0) break;
    got.append(buf, static_cast<size_t>(r));
  }
  return got;
}

std::string read_to_close(int fd, int ms, bool* closed) {
  std::string got;
  if (closed != nullptr) *closed = false;
  const auto end = after(ms);
  char buf[65536];
  while (ms_left(end) > 0) {
    if (!readable(fd, 50)) continue;
    const ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (r > 0) {
      got.append(buf, static_cast<size_t>(r));
      continue;
    }
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (closed != nullptr) *closed = true;  // orderly close or reset
    break;
  }
  return got;
}

std::string read_http(int fd, int ms, bool reply) {
  std::string got;
  const auto end = after(ms);
  for (;;) {
    const size_t head = got.find("\r\n\r\n");
    if (head != std::string::npos) {
      const size_t at = got.find("Content-Length:");
      if (at != std::string::npos && at < head) {
        if (got.size() >= head + 4 + strtoul(got.c_str() + at + 15, nullptr, 10)) break;
      } else if (!reply) {
        break;
      }
    }
    const int left = ms_left(end);
    if (left <= 0 || !readable(fd, std::min(left, 20))) {
      if (left <= 0) break;
      continue;
    }
    char buf[16384];
    const ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r <= 0) break;
    got.append(buf, static_cast<size_t>(r));
  }
  return got;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return "";
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

std::thread accept_loop(int listen_fd, std::atomic<bool>& stopping,
                        std::function<void(int fd, const char* from)> on_accept) {
  return std::thread([listen_fd, &stopping, on_accept] {
    while (!stopping.load()) {
      pollfd p{listen_fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      sockaddr_in from{};
      socklen_t from_len = sizeof from;
      const int fd =
          accept4(listen_fd, reinterpret_cast<sockaddr*>(&from), &from_len, SOCK_CLOEXEC);
      if (fd < 0) continue;
      char text[INET_ADDRSTRLEN] = "";
      inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
      on_accept(fd, text);
    }
  });
}

void accept_loop_stop(std::thread& acceptor, int& listen_fd, std::atomic<bool>& stopping,
                      const std::atomic<int>& active) {
  if (listen_fd < 0) return;
  stopping.store(true);
  if (acceptor.joinable()) acceptor.join();
  close(listen_fd);
  listen_fd = -1;
  for (int i = 0; i < 500 && active.load() > 0; ++i) usleep(10000);
}
