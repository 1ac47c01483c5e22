// The pieces every ctl command shares; see the header.
#include "startup/ctl_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/clock.h"
#include "startup/runmodes.h"
#include "util/registry.h"

namespace {

constexpr int REPLY_TIMEOUT_MS = 10000;
constexpr size_t REPLY_MAX = 8 * 1024 * 1024;

}  // namespace

namespace ctl {

// Appends s encoded for a form body: unreserved bytes as they are, every
// other byte as %XX.
bool add_encoded(text& out, const char* s, size_t n) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '_' || c == '.' || c == '~';
    char enc[3] = {'%', HEX[c >> 4], HEX[c & 15]};
    if (!(plain ? out.add(s + i, 1) : out.add(enc, 3))) return false;
  }
  return true;
}

bool add_param(text& body, const char* name, const char* value) {
  return (body.len == 0 || body.add("&")) && body.add(name) && body.add("=") &&
         add_encoded(body, value, std::strlen(value));
}

bool add_number_param(text& body, const char* name, unsigned index, uint32_t value) {
  char key[32], number[16];
  std::snprintf(key, sizeof key, "%s%u", name, index);
  std::snprintf(number, sizeof number, "%u", value);
  return add_param(body, key, number);
}

namespace {

// Where the instance of this home listens (IPv4 or IPv6); loopback when it
// listens on all addresses. host: the address as a Host line names it
// ("[::1]" for IPv6).
struct instance_place {
  sockaddr_storage addr;
  socklen_t length;
  char host[52];
};
bool instance_address(instance_place& out) {
  char ip[48];
  reg_listen_ip(ip, sizeof ip);
  if (ip[0] == 0 || std::strcmp(ip, "0.0.0.0") == 0) std::snprintf(ip, sizeof ip, "127.0.0.1");
  if (std::strcmp(ip, "::") == 0) std::snprintf(ip, sizeof ip, "::1");
  out = instance_place{};
  const auto port = htons(static_cast<uint16_t>(reg_listen_port()));
  if (std::strchr(ip, ':') != nullptr) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&out.addr);
    a6->sin6_family = AF_INET6;
    a6->sin6_port = port;
    out.length = sizeof *a6;
    std::snprintf(out.host, sizeof out.host, "[%s]", ip);
    return inet_pton(AF_INET6, ip, &a6->sin6_addr) == 1;
  }
  auto* a4 = reinterpret_cast<sockaddr_in*>(&out.addr);
  a4->sin_family = AF_INET;
  a4->sin_port = port;
  out.length = sizeof *a4;
  std::snprintf(out.host, sizeof out.host, "%s", ip);
  return inet_pton(AF_INET, ip, &a4->sin_addr) == 1;
}

// Deadlines are ticks; the wait is by wrap-around difference.
bool wait_for(int fd, short events, uint32_t deadline) {
  for (;;) {
    int32_t left = static_cast<int32_t>(deadline - tick_now());
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, left);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

bool send_all(int fd, const char* data, size_t n, uint32_t deadline) {
  while (n > 0) {
    if (!wait_for(fd, POLLOUT, deadline)) return false;
    ssize_t sent = send(fd, data, n, MSG_NOSIGNAL);
    if (sent < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (sent <= 0) return false;
    data += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

// Length of the body the head announces, or -1.
long announced_length(const char* head, size_t head_len) {
  for (size_t i = 0; i + 15 < head_len; ++i)
    if ((i == 0 || head[i - 1] == '\n') && strncasecmp(head + i, "content-length:", 15) == 0)
      return std::strtol(head + i + 15, nullptr, 10);
  return -1;
}

// The status line and the first line of the body of the last reply that
// was not a 200, for the message ("" while every panel answer was one).
char refusal[240] = "";

void note_refusal(const char* head, size_t head_len, const char* body, size_t body_len) {
  size_t status = 0;
  while (status < head_len && head[status] != '\r' && head[status] != '\n') ++status;
  size_t line = 0;
  while (line < body_len && line < 120 && body[line] != '\r' && body[line] != '\n') ++line;
  std::snprintf(refusal, sizeof refusal, "%.*s%s%.*s",
                static_cast<int>(status < 100 ? status : 100), head, line > 0 ? ": " : "",
                static_cast<int>(line), body);
}

}  // namespace

// One request to the panel; the body of a 200 reply in out. False when no
// instance answers, or when it answers with another status (kept in
// `refusal`).
bool panel_request(const char* method, const char* file, const text* body, text& out) {
  instance_place place{};
  if (!instance_address(place)) return false;
  int fd = socket(place.addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const uint32_t deadline = tick_now() + REPLY_TIMEOUT_MS;
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&place.addr), place.length) == 0 ||
            (errno == EINPROGRESS && wait_for(fd, POLLOUT, deadline));
  int error = 0;
  socklen_t size = sizeof error;
  ok = ok && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
  char head[512];
  const size_t body_len = body != nullptr ? body->len : 0;
  int n = std::snprintf(head, sizeof head,
                        "%s /%s/%s HTTP/1.1\r\nHost: %s:%u\r\nConnection: close\r\n"
                        "Content-Type: application/x-www-form-urlencoded\r\n"
                        "Content-Length: %zu\r\n\r\n",
                        method, reg_root(), file, place.host, reg_listen_port(), body_len);
  ok = ok && n > 0 && static_cast<size_t>(n) < sizeof head &&
       send_all(fd, head, static_cast<size_t>(n), deadline) &&
       (body_len == 0 || send_all(fd, body->c_str(), body_len, deadline));
  text reply;
  long length = -1;
  size_t body_at = 0;
  while (ok) {
    char chunk[16384];
    if (!wait_for(fd, POLLIN, deadline)) break;
    ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0 || !reply.add(chunk, static_cast<size_t>(got)) || reply.len > REPLY_MAX) break;
    if (body_at == 0) {
      const char* end = std::strstr(reply.c_str(), "\r\n\r\n");
      if (end == nullptr) continue;
      body_at = static_cast<size_t>(end - reply.c_str()) + 4;
      length = announced_length(reply.c_str(), body_at);
    }
    if (length >= 0 && reply.len - body_at >= static_cast<size_t>(length)) break;
  }
  close(fd);
  // "HTTP/1.x 200": read from the bytes themselves (an empty reply has none).
  const bool status_ok =
      reply.data != nullptr && reply.len >= 12 && std::memcmp(reply.data + 8, " 200", 4) == 0;
  if (ok && body_at != 0 && !status_ok) {
    // The panel answered, but not with what was asked: its own words.
    note_refusal(reply.c_str(), body_at, reply.c_str() + body_at, reply.len - body_at);
    return false;
  }
  if (!ok || body_at == 0) return false;
  size_t take = reply.len - body_at;
  if (length >= 0 && static_cast<size_t>(length) < take) take = static_cast<size_t>(length);
  return out.add(reply.c_str() + body_at, take);
}

// A command's reply: "ajax_callback("name",VALUE);"; the value in out.
bool command(const text& body, const char* expected_name, text& value) {
  text reply;
  if (!panel_request("POST", "ajax", &body, reply)) return false;
  char prefix[80];
  std::snprintf(prefix, sizeof prefix, "ajax_callback(\"%s\",", expected_name);
  const char* r = reply.c_str();
  size_t plen = std::strlen(prefix);
  if (std::strncmp(r, prefix, plen) != 0) return false;
  const char* end = std::strrchr(r, ')');
  if (end == nullptr || end < r + plen) return false;
  return value.add(r + plen, static_cast<size_t>(end - (r + plen)));
}

int no_instance() {
  if (refusal[0] != 0) {
    std::fprintf(stderr, "merovane ctl: the panel refused the request (%s)\n", refusal);
    return CTL_REFUSED;
  }
  std::fprintf(stderr, "merovane ctl: no instance answers at the address of the registry file\n");
  return CTL_NO_INSTANCE;
}

int refused(const char* what) {
  std::fprintf(stderr, "merovane ctl: %s\n", what);
  return CTL_REFUSED;
}

void dotted(uint32_t ip, char* out, size_t capacity) {
  std::snprintf(out, capacity, "%u.%u.%u.%u", ip & 0xFF, (ip >> 8) & 0xFF, (ip >> 16) & 0xFF,
                ip >> 24);
}

// Dotted text to the stored number (first octet in the low byte).
bool ip_number(const char* text, size_t n, uint32_t* ip) {
  char buf[20];
  if (n == 0 || n >= sizeof buf) return false;
  std::memcpy(buf, text, n);
  buf[n] = 0;
  in_addr a{};
  if (inet_pton(AF_INET, buf, &a) != 1) return false;
  *ip = a.s_addr;  // network order read as a number: first octet lowest
  return true;
}

// "address:port" into number and port.
bool address_port(const char* s, uint32_t* ip, uint32_t* port) {
  const char* colon = std::strrchr(s, ':');
  if (colon == nullptr || !ip_number(s, static_cast<size_t>(colon - s), ip)) return false;
  char* end = nullptr;
  unsigned long p = std::strtoul(colon + 1, &end, 10);
  if (end == colon + 1 || *end != 0 || p < 1 || p > 65535) return false;
  *port = static_cast<uint32_t>(p);
  return true;
}

// The value of member `name` in the settings object, as written there
// (quotes removed); false when absent.
bool settings_member(const char* object, const char* name, char* out, size_t capacity) {
  size_t n = std::strlen(name);
  for (const char* p = object; (p = std::strstr(p, name)) != nullptr; p += n) {
    bool starts = p == object || p[-1] == '{' || p[-1] == ' ' || p[-1] == ',';
    if (!starts || p[n] != ':') continue;
    const char* v = p + n + 1;
    const char* end;
    if (*v == '"') {
      ++v;
      end = v;
      while (*end && *end != '"') end += (*end == '\\' && end[1]) ? 2 : 1;
    } else {
      end = v;
      while (*end && *end != ',' && *end != '}') ++end;
    }
    std::snprintf(out, capacity, "%.*s", static_cast<int>(end - v), v);
    return true;
  }
  return false;
}

long member_number(const char* object, const char* name) {
  char value[32] = "";
  return settings_member(object, name, value, sizeof value) ? std::strtol(value, nullptr, 10) : 0;
}

}  // namespace ctl
