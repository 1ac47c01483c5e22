#include "tests/support/fault_support.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>

int fault_socks5(const program_instance& program, const std::string& ip, uint16_t port) {
  return socks5_open(program.ip, program.port, ip, port, true);
}

int socks5_open(const std::string& proxy_ip, uint16_t proxy_port, const std::string& ip,
                uint16_t port, bool pipelined) {
  const int fd = connect_to(proxy_ip, proxy_port, 20000);
  if (fd < 0) return -1;
  const std::string hello = {5, 1, 0};
  std::string req = {5, 1, 0, 1};
  in_addr a{};
  inet_pton(AF_INET, ip.c_str(), &a);
  req.append(reinterpret_cast<const char*>(&a), 4);
  req.push_back(static_cast<char>(port >> 8));
  req.push_back(static_cast<char>(port & 0xFF));
  char reply[12];
  const bool got = pipelined ? send_all(fd, hello + req) && read_exact(fd, reply, 12, 20000)
                             : send_all(fd, hello) && read_exact(fd, reply, 2, 20000) &&
                                   send_all(fd, req) && read_exact(fd, reply + 2, 10, 20000);
  if (!got || reply[0] != 5 || reply[1] != 0 || reply[3] != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool fault_download(const program_instance& program, const origin_server& origin, uint64_t size) {
  const int fd = fault_socks5(program, origin.ip, origin.port);
  if (fd < 0) return false;
  bool closed = false;
  send_all(fd, "GET /bytes/" + std::to_string(size) + " HTTP/1.0\r\nHost: " + origin.ip + ":" +
                   std::to_string(origin.port) + "\r\n\r\n");
  const std::string reply = read_to_close(fd, 30000, &closed);
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
  const int fd = connect_to(program.ip, program.port, timeout_ms);
  if (fd < 0) return "";
  send_all(fd, request);
  const std::string reply = read_http_reply(fd, timeout_ms);
  close(fd);
  return reply;
}

std::string host_line(const program_instance& program) {
  return "Host: localhost:" + std::to_string(program.port) + "\r\n";
}
}  // namespace

std::string fault_panel_get(const program_instance& program, const std::string& page) {
  return panel_exchange(program,
                        "GET /" + std::string(kPanelToken) + "/" + page + " HTTP/1.1\r\n" +
                            host_line(program) + "\r\n",
                        10000);
}

std::string fault_panel_ajax(const program_instance& program, const std::string& body,
                             int timeout_ms) {
  return panel_exchange(program,
                        "POST /" + std::string(kPanelToken) + "/ajax HTTP/1.1\r\n" +
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

bool fault_raise_own_limit(unsigned n) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= n) return true;
  if (limit.rlim_max < n) limit.rlim_max = n;  // root may raise the hard limit
  limit.rlim_cur = n;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}
