#include "tests/support/clients.h"

#include <arpa/inet.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>

#include "tests/support/net.h"
#include "tests/support/origin11.h"

int open_socks5(const std::string& ip, uint16_t port, const std::string& host, uint16_t dest_port,
                int timeout_ms) {
  const int fd = connect_to(ip, port, timeout_ms);
  if (fd < 0) return -1;
  std::string req = {5, 1, 0, 5, 1, 0};
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) == 1) {
    req.push_back(1);
    req.append(reinterpret_cast<const char*>(&a), 4);
  } else {
    req.push_back(3);
    req.push_back(static_cast<char>(host.size()));
    req += host;
  }
  req.push_back(static_cast<char>(dest_port >> 8));
  req.push_back(static_cast<char>(dest_port & 0xFF));
  char reply[12];
  if (!send_all(fd, req) || !read_exact(fd, reply, 12, timeout_ms) || reply[0] != 5 ||
      reply[1] != 0 || reply[3] != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int socks_request(int version, const std::string& ip, uint16_t port, const std::string& host,
                  uint16_t dest_port, int* fd, int timeout_ms) {
  *fd = -1;
  const int s = connect_to(ip, port, timeout_ms);
  if (s < 0) return -1;
  in_addr a{};
  const bool v4 = inet_pton(AF_INET, host.c_str(), &a) == 1;
  std::string req;
  if (version == 5) {
    req = {5, 1, 0, 5, 1, 0, static_cast<char>(v4 ? 1 : 3)};
    if (!v4) req.push_back(static_cast<char>(host.size()));
    req += v4 ? std::string(reinterpret_cast<const char*>(&a), 4) : host;
    req.push_back(static_cast<char>(dest_port >> 8));
    req.push_back(static_cast<char>(dest_port & 0xFF));
  } else {
    req = {4, 1, static_cast<char>(dest_port >> 8), static_cast<char>(dest_port & 0xFF)};
    req += v4 ? std::string(reinterpret_cast<const char*>(&a), 4) : std::string("\0\0\0\1", 4);
    req += std::string("user\0", 5);
    if (!v4) req += host + std::string(1, '\0');
  }
  const size_t reply_size = version == 5 ? 12 : 8;  // SOCKS5: method reply + IPv4 reply
  char reply[12];
  if (!send_all(s, req) || !read_exact(s, reply, reply_size, timeout_ms)) {
    close(s);
    return -1;
  }
  const int code = static_cast<uint8_t>(reply[version == 5 ? 3 : 1]);
  if (code == (version == 5 ? 0 : 0x5A))
    *fd = s;
  else
    close(s);
  return code;
}

int open_connect(const std::string& ip, uint16_t port, const std::string& host, uint16_t dest_port,
                 int timeout_ms) {
  const int fd = connect_to(ip, port, timeout_ms);
  if (fd < 0) return -1;
  const std::string target = host + ":" + std::to_string(dest_port);
  std::string head;
  if (send_all(fd, "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n"))
    head = read_http(fd, timeout_ms);  // a 2xx head has no body
  if (head.compare(0, 10, "HTTP/1.1 2") != 0 && head.compare(0, 10, "HTTP/1.0 2") != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string websocket_echo(int fd, const std::string& host, const std::string& message) {
  const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
  if (!send_all(fd, "GET /ws HTTP/1.1\r\nHost: " + host +
                        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        "Sec-WebSocket-Key: " +
                        key + "\r\nSec-WebSocket-Version: 13\r\n\r\n"))
    return "the handshake could not be sent";
  const std::string head = read_http(fd, 5000);  // a 101 has no body: its head is all
  if (head.compare(0, 12, "HTTP/1.1 101") != 0) return "no 101 but: " + head.substr(0, 80);
  if (head.find("Sec-WebSocket-Accept: " + websocket_accept(key)) == std::string::npos)
    return "a wrong accept value in: " + head;
  if (message.size() >= 126) return "the message is too long for this client";
  static constexpr uint8_t mask[4] = {0x37, 0xFA, 0x21, 0x3D};
  std::string frame = {static_cast<char>(0x81), static_cast<char>(0x80 | message.size())};
  frame.append(reinterpret_cast<const char*>(mask), 4);
  for (size_t i = 0; i < message.size(); ++i)
    frame.push_back(static_cast<char>(message[i] ^ mask[i % 4]));
  if (!send_all(fd, frame)) return "the frame could not be sent";
  const std::string echo = read_upto(fd, 2 + message.size(), 5000);
  if (echo.size() != 2 + message.size() || static_cast<uint8_t>(echo[0]) != 0x81 ||
      static_cast<size_t>(echo[1]) != message.size())
    return "no echo frame";
  if (echo.substr(2) != message) return "the echo differs: " + echo.substr(2);
  const std::string close_frame = {static_cast<char>(0x88), static_cast<char>(0x80), 0, 0, 0, 0};
  send_all(fd, close_frame);
  return "";
}

keepalive_run keepalive_gets(const std::function<int()>& open_fn, const std::string& host,
                             const std::vector<std::string>& paths) {
  keepalive_run run;
  int fd = -1;
  for (const std::string& path : paths) {
    if (fd < 0) {
      fd = open_fn();
      ++run.connections;
      if (fd < 0) {
        ++run.failures;
        continue;
      }
    }
    const std::string reply = send_all(fd, "GET " + path + " HTTP/1.1\r\nHost: " + host +
                                               "\r\nConnection: keep-alive\r\nAccept: */*\r\n\r\n")
                                  ? read_http(fd, 10000, true)
                                  : "";
    const size_t end = reply.find("\r\n\r\n");
    if (reply.compare(0, 12, "HTTP/1.1 200") != 0 && reply.compare(0, 12, "HTTP/1.0 200") != 0) {
      ++run.failures;  // a kept connection that the far end had closed
      close(fd);
      fd = -1;
      continue;
    }
    ++run.answered;
    const std::string head = reply.substr(0, end);
    if (strcasestr(head.c_str(), "\r\nConnection: close") != nullptr) {
      ++run.closes_told;
      close(fd);
      fd = -1;
    }
  }
  if (fd >= 0) close(fd);
  return run;
}
