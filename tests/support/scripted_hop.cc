#include "tests/support/scripted_hop.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "tests/support/net.h"

namespace {

constexpr int READ_MS = 3000;

bool read_bytes(int fd, std::string& into, size_t n) {
  std::string part(n, '\0');
  if (n == 0) return true;
  if (!read_exact(fd, part.data(), n, READ_MS)) return false;
  into += part;
  return true;
}

bool read_through_zero(int fd, std::string& into) {
  for (int i = 0; i < 300; ++i) {
    char c = 0;
    if (!read_exact(fd, &c, 1, READ_MS)) return false;
    into += c;
    if (c == 0) return true;
  }
  return false;
}

std::string read_head(int fd) {
  std::string head;
  while (head.size() < 8192 && head.find("\r\n\r\n") == std::string::npos) {
    char c = 0;
    if (!read_exact(fd, &c, 1, READ_MS)) return head;
    head += c;
  }
  return head;
}

std::string base64(const std::string& in) {
  static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    const unsigned v = static_cast<uint8_t>(in[i]) << 16 | static_cast<uint8_t>(in[i + 1]) << 8 |
                       static_cast<uint8_t>(in[i + 2]);
    out += table[v >> 18 & 63];
    out += table[v >> 12 & 63];
    out += table[v >> 6 & 63];
    out += table[v & 63];
  }
  if (i + 1 == in.size()) {
    const unsigned v = static_cast<uint8_t>(in[i]) << 16;
    out += table[v >> 18 & 63];
    out += table[v >> 12 & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    const unsigned v = static_cast<uint8_t>(in[i]) << 16 | static_cast<uint8_t>(in[i + 1]) << 8;
    out += table[v >> 18 & 63];
    out += table[v >> 12 & 63];
    out += table[v >> 6 & 63];
    out += '=';
  }
  return out;
}

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

bool scripted_hop::start(hop_script kind, const char* listen_ip) {
  script = kind;
  ip = listen_ip;
  listen_fd = listen_on(listen_ip, 0, &port);
  if (listen_fd < 0) return false;
  worker = std::thread([this] { run(); });
  return true;
}

scripted_hop::~scripted_hop() {
  stopping = true;
  if (worker.joinable()) worker.join();
  if (listen_fd >= 0) close(listen_fd);
}

std::vector<std::string> scripted_hop::requests() {
  std::lock_guard<std::mutex> hold(lock);
  return seen;
}

std::vector<std::string> scripted_hop::sign_ins() {
  std::lock_guard<std::mutex> hold(lock);
  return offered;
}

void scripted_hop::run() {
  for (int round = 0; round < 100000 && !stopping; ++round) {
    pollfd p{listen_fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    const int fd = accept(listen_fd, nullptr, nullptr);
    if (fd < 0) continue;
    serve(fd);
    close(fd);
    ++served_count;
  }
}

void scripted_hop::record(const std::string& request, const std::string& sign_in) {
  std::lock_guard<std::mutex> hold(lock);
  seen.push_back(request);
  offered.push_back(sign_in);
}

// Heads of one kept connection, one after another (none has a body).
void scripted_hop::serve_http(int fd) {
  for (int n = 0; n < 100; ++n) {
    const std::string head = read_head(fd);
    if (head.find("\r\n\r\n") == std::string::npos) return;
    const size_t at = head.find("Proxy-Authorization:");
    record(head, at == std::string::npos ? "" : head.substr(at, head.find("\r\n", at) - at));
    const bool granted =
        user.empty() || head.find("Proxy-Authorization: Basic " + base64(user + ":" + password) +
                                  "\r\n") != std::string::npos;
    const bool last = lower(head).find("connection: close") != std::string::npos;
    const std::string reply =
        std::string(granted
                        ? "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n"
                        : "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n") +
        (last ? "Connection: close\r\n\r\n" : "\r\n") + (granted ? "HELLO\n" : "");
    send_all(fd, reply);
    if (last) return;
  }
}

void scripted_hop::serve(int fd) {
  if (script == hop_script::http) {
    serve_http(fd);
    return;
  }
  std::string request, sign_in;
  bool granted = true;
  if (script == hop_script::socks4) {
    if (!read_bytes(fd, request, 8) || !read_through_zero(fd, request)) return;
    const bool form_4a = request[4] == 0 && request[5] == 0 && request[6] == 0 && request[7] != 0;
    if (form_4a && !read_through_zero(fd, request)) return;
    const size_t user_end = request.find('\0', 8);
    sign_in = request.substr(8, user_end - 8);
    granted = user.empty() || sign_in == user;
    const uint8_t reply[8] = {0, static_cast<uint8_t>(granted ? 0x5A : 0x5B), 0, 0, 0, 0, 0, 0};
    send_all(fd, reply, sizeof reply);
  } else if (script == hop_script::socks5) {
    std::string greeting;
    if (!read_bytes(fd, greeting, 2) ||
        !read_bytes(fd, greeting, static_cast<uint8_t>(greeting[1])))
      return;
    const bool offers_password = greeting.find('\x02', 2) != std::string::npos;
    if (!user.empty()) {
      const uint8_t method[2] = {5, static_cast<uint8_t>(offers_password ? 2 : 0xFF)};
      send_all(fd, method, 2);
      if (!offers_password) return;
      std::string auth;
      if (!read_bytes(fd, auth, 2)) return;
      const size_t ulen = static_cast<uint8_t>(auth[1]);
      if (!read_bytes(fd, auth, ulen + 1)) return;
      const size_t plen = static_cast<uint8_t>(auth[2 + ulen]);
      if (!read_bytes(fd, auth, plen)) return;
      sign_in = auth.substr(2, ulen) + ":" + auth.substr(3 + ulen, plen);
      granted = sign_in == user + ":" + password;
      const uint8_t status[2] = {1, static_cast<uint8_t>(granted ? 0 : 1)};
      send_all(fd, status, 2);
    } else {
      const uint8_t method[2] = {5, 0};
      send_all(fd, method, 2);
    }
    if (granted) {
      if (!read_bytes(fd, request, 4)) return;
      size_t rest = 0;
      if (request[3] == 1) rest = 4 + 2;
      if (request[3] == 4) rest = 16 + 2;
      if (request[3] == 3) {
        if (!read_bytes(fd, request, 1)) return;
        rest = static_cast<uint8_t>(request[4]) + 2u;
      }
      if (!read_bytes(fd, request, rest)) return;
      const uint8_t reply[10] = {5, 0, 0, 1, 0, 0, 0, 0, 0, 0};
      send_all(fd, reply, sizeof reply);
    }
  } else {
    request = read_head(fd);
    if (!user.empty()) {
      const std::string wanted = "Proxy-Authorization: Basic " + base64(user + ":" + password);
      const size_t at = request.find("Proxy-Authorization:");
      if (at != std::string::npos) sign_in = request.substr(at, request.find("\r\n", at) - at);
      granted = sign_in == wanted;
    }
    const char* answer = granted ? "HTTP/1.1 200 Connection established\r\n\r\n"
                                 : "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n";
    send_all(fd, answer, strlen(answer));
  }
  record(request, sign_in);
  if (!granted) return;
  send_all(fd, "HELLO\n", 6);
  read_upto(fd, 4096, 300);  // whatever the client sends along
}
