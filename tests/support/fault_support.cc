#include "tests/support/fault_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int fault_connect(const std::string& ip, uint16_t port, int timeout_ms) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool fault_send(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

std::string fault_read_to_close(int fd, int timeout_ms, bool* closed) {
  std::string got;
  *closed = false;
  char buf[65536];
  for (int waited = 0; waited < timeout_ms;) {
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, 100);
    if (r == 0) {
      waited += 100;
      continue;
    }
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      got.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    *closed = true;  // orderly close or reset
    break;
  }
  return got;
}

int fault_socks5(const program_instance& program, const std::string& ip, uint16_t port) {
  const int fd = fault_connect(program.ip, program.port, 20000);
  if (fd < 0) return -1;
  std::string req = {5, 1, 0, 5, 1, 0, 1};
  in_addr a{};
  inet_pton(AF_INET, ip.c_str(), &a);
  req.append(reinterpret_cast<const char*>(&a), 4);
  req.push_back(static_cast<char>(port >> 8));
  req.push_back(static_cast<char>(port & 0xFF));
  char reply[12];
  size_t got = 0;
  if (fault_send(fd, req)) {
    while (got < 12) {
      const ssize_t n = recv(fd, reply + got, 12 - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  }
  if (got != 12 || reply[0] != 5 || reply[1] != 0 || reply[3] != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool fault_download(const program_instance& program, const origin_server& origin, uint64_t size) {
  const int fd = fault_socks5(program, origin.ip, origin.port);
  if (fd < 0) return false;
  bool closed = false;
  fault_send(fd, "GET /bytes/" + std::to_string(size) + " HTTP/1.0\r\nHost: " + origin.ip + ":" +
                     std::to_string(origin.port) + "\r\n\r\n");
  const std::string reply = fault_read_to_close(fd, 30000, &closed);
  close(fd);
  const size_t end = reply.find("\r\n\r\n");
  if (!closed || end == std::string::npos || reply.compare(9, 3, "200") != 0) return false;
  const size_t body = end + 4;
  return reply.size() - body == size &&
         pattern_mismatch(reinterpret_cast<const uint8_t*>(reply.data()) + body, 0, size) < 0;
}

namespace {
// One panel request; the reply up to its announced length or the close.
std::string panel_exchange(const program_instance& program, const std::string& request,
                           int timeout_ms) {
  const int fd = fault_connect(program.ip, program.port, timeout_ms);
  if (fd < 0) return "";
  fault_send(fd, request);
  std::string reply;
  char buf[65536];
  for (;;) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
    const size_t end = reply.find("\r\n\r\n");
    const size_t cl = reply.find("Content-Length: ");
    if (end != std::string::npos && cl != std::string::npos && cl < end &&
        reply.size() - end - 4 >= strtoul(reply.c_str() + cl + 16, nullptr, 10))
      break;
  }
  close(fd);
  return reply;
}

std::string host_line(const program_instance& program) {
  return "Host: localhost:" + std::to_string(program.port) + "\r\n";
}
}  // namespace

std::string fault_panel_get(const program_instance& program, const std::string& page) {
  return panel_exchange(program,
                        "GET /" + std::string(kFaultToken) + "/" + page + " HTTP/1.1\r\n" +
                            host_line(program) + "\r\n",
                        10000);
}

std::string fault_panel_ajax(const program_instance& program, const std::string& body,
                             int timeout_ms) {
  return panel_exchange(program,
                        "POST /" + std::string(kFaultToken) + "/ajax HTTP/1.1\r\n" +
                            host_line(program) + "Content-Length: " + std::to_string(body.size()) +
                            "\r\n\r\n" + body,
                        timeout_ms);
}

int fault_slots(const program_instance& program) {
  const std::string page = fault_panel_get(program, "netstatus.html");
  const size_t at = page.find(" of 2048 connections in use");
  if (at == std::string::npos) return -1;
  size_t start = at;
  while (start > 0 && page[start - 1] >= '0' && page[start - 1] <= '9') --start;
  return atoi(page.c_str() + start);
}

bool fault_wait_slots(const program_instance& program, int slots, int ms) {
  for (int waited = 0; waited <= ms; waited += 250) {
    const int n = fault_slots(program);
    if (n >= 0 && n <= slots) return true;
    usleep(250000);
  }
  return false;
}

int fault_fd_count(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(path.c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

bool fault_alive(program_instance& program) {
  if (program.pid <= 0) return false;
  if (waitpid(program.pid, nullptr, WNOHANG) == program.pid) {
    program.pid = -1;
    return false;
  }
  return kill(program.pid, 0) == 0;
}

bool fault_start_limited(program_instance& program, unsigned soft, unsigned hard) {
  const char* bin = getenv("MEROVANE_BIN");
  if (bin == nullptr) return false;
  // prlimit sets the limit and then becomes the program (same process).
  program.pid =
      peer_spawn({"prlimit", "--nofile=" + std::to_string(soft) + ":" + std::to_string(hard), "--",
                  bin, "/run"},
                 program.log_base + ".log", {"MEROVANE_HOME=" + program.home});
  return program.pid > 0 && peer_wait_listening(program.ip.c_str(), program.port, 10000);
}

bool fault_raise_own_limit(unsigned n) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= n) return true;
  if (limit.rlim_max < n) limit.rlim_max = n;  // root may raise the hard limit
  limit.rlim_cur = n;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

int fault_shell(const std::string& command) {
  const int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
