#include "tests/support/origin11.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>

#include "tests/support/net.h"
#include "tests/support/peers.h"

namespace {

constexpr size_t HEAD_MAX = 64u << 10;

// Bytes of one connection, read as they are needed.
struct conn_reader {
  int fd;
  std::string buf;
  // At least n bytes in buf; false when the peer ended first.
  bool need(size_t n) {
    char chunk[65536];
    while (buf.size() < n) {
      const ssize_t r = recv(fd, chunk, sizeof chunk, 0);
      if (r <= 0) return false;
      buf.append(chunk, static_cast<size_t>(r));
    }
    return true;
  }
  // The head (up to and with its empty line), taken out of buf; "" at the end.
  std::string head() {
    size_t end;
    while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
      if (buf.size() > HEAD_MAX || !need(buf.size() + 1)) return "";
    }
    std::string h = buf.substr(0, end + 4);
    buf.erase(0, end + 4);
    return h;
  }
  std::string take(size_t n) {
    std::string out = buf.substr(0, n);
    buf.erase(0, n);
    return out;
  }
};

// The value of a header (first line of that name, case-insensitive), "" when absent.
std::string header(const std::string& head, const char* name) {
  const std::string key = std::string("\r\n") + name + ":";
  const char* at = strcasestr(head.c_str(), key.c_str());
  if (at == nullptr) return "";
  const char* v = at + key.size();
  while (*v == ' ' || *v == '\t') ++v;
  const char* end = strstr(v, "\r\n");
  return std::string(v, end != nullptr ? static_cast<size_t>(end - v) : strlen(v));
}

bool has_token(const std::string& value, const char* token) {
  return strcasestr(value.c_str(), token) != nullptr;
}

// Reads the body and hands it on in pieces; false when it broke off.
bool read_body(conn_reader& in, const std::string& head,
               const std::function<void(const std::string&)>& piece) {
  if (!header(head, "Transfer-Encoding").empty()) {
    for (;;) {
      size_t eol;
      while ((eol = in.buf.find("\r\n")) == std::string::npos)
        if (!in.need(in.buf.size() + 1)) return false;
      const size_t size = strtoul(in.buf.c_str(), nullptr, 16);
      in.take(eol + 2);
      if (!in.need(size + 2)) return false;
      if (size == 0) {  // no trailers are sent by the clients here
        in.take(2);
        return true;
      }
      piece(in.take(size));
      in.take(2);
    }
  }
  uint64_t left = strtoull(header(head, "Content-Length").c_str(), nullptr, 10);
  while (left > 0) {
    if (in.buf.empty() && !in.need(1)) return false;
    const size_t k = in.buf.size() < left ? in.buf.size() : static_cast<size_t>(left);
    piece(in.take(k));
    left -= k;
  }
  return true;
}

bool send_reply(int fd, const char* status, const std::string& body, uint64_t pattern_bytes = 0) {
  const uint64_t length = pattern_bytes != 0 ? pattern_bytes : body.size();
  const std::string h =
      std::string("HTTP/1.1 ") + status +
      "\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(length) +
      "\r\n\r\n";
  if (!send_all(fd, h) || (pattern_bytes == 0 && !send_all(fd, body))) return false;
  uint8_t chunk[65536];
  for (uint64_t sent = 0; sent < pattern_bytes;) {
    const size_t k = pattern_bytes - sent < sizeof chunk ? pattern_bytes - sent : sizeof chunk;
    pattern_fill(chunk, sent, k);
    if (!send_all(fd, chunk, k)) return false;
    sent += k;
  }
  return true;
}

// Echoes WebSocket frames until a close frame (answered) or the end.
void websocket_echo_frames(conn_reader& in) {
  for (;;) {
    if (!in.need(2)) return;
    const uint8_t op = static_cast<uint8_t>(in.buf[0]) & 0x0F;
    uint64_t len = static_cast<uint8_t>(in.buf[1]) & 0x7F;
    const bool masked = static_cast<uint8_t>(in.buf[1]) & 0x80;
    size_t at = 2;
    if (len >= 126) {
      const size_t n = len == 126 ? 2 : 8;
      if (!in.need(at + n)) return;
      len = 0;
      for (size_t i = 0; i < n; ++i) len = len << 8 | static_cast<uint8_t>(in.buf[at + i]);
      at += n;
    }
    if (len > (1u << 20) || !in.need(at + (masked ? 4 : 0) + len)) return;
    std::string mask = masked ? in.buf.substr(at, 4) : std::string(4, '\0');
    at += masked ? 4 : 0;
    std::string payload = in.buf.substr(at, len);
    in.take(at + len);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] ^= mask[i % 4];
    std::string frame(1, static_cast<char>(0x80 | op));
    if (payload.size() < 126) {
      frame.push_back(static_cast<char>(payload.size()));
    } else {
      frame.push_back(126);
      frame.push_back(static_cast<char>(payload.size() >> 8));
      frame.push_back(static_cast<char>(payload.size() & 0xFF));
    }
    if (!send_all(in.fd, frame + payload) || op == 8) return;
  }
}

}  // namespace

bool origin11_server::start(const char* listen_ip) {
  ip = listen_ip;
  listen_fd = listen_on(listen_ip, 0, &port, 256);
  if (listen_fd < 0) return false;
  acceptor = accept_loop(listen_fd, stopping, [this](int fd, const char*) {
    accepted.fetch_add(1);
    active.fetch_add(1);
    std::thread(&origin11_server::serve, this, fd).detach();
  });
  return true;
}

void origin11_server::stop() {
  accept_loop_stop(acceptor, listen_fd, stopping, active);
}

std::string origin11_server::last_head() {
  std::lock_guard<std::mutex> hold(lock);
  return head;
}

void origin11_server::serve(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string pending;
  while (!stopping.load() && serve_one(fd, pending)) {
  }
  close(fd);
  active.fetch_sub(1);
}

// One request; true when the connection stays open for the next. Like
// Python's http.server, a connection that ends after its answer is closed
// without a "Connection: close" line in that answer.
bool origin11_server::serve_one(int fd, std::string& pending) {
  conn_reader in{fd, pending};
  const std::string h = in.head();
  if (h.empty()) return false;
  {
    std::lock_guard<std::mutex> hold(lock);
    head = h;
  }
  std::string method, target, version;
  std::istringstream line(h);
  line >> method >> target >> version;
  const bool http10 = version == "HTTP/1.0";
  const std::string connection = header(h, "Connection");
  const bool keep = http10 ? has_token(connection, "keep-alive") : !has_token(connection, "close");
  const bool upgrade = !header(h, "Upgrade").empty();
  if (http10 && (!header(h, "Transfer-Encoding").empty() || upgrade)) {
    refusals.fetch_add(1);
    send_reply(fd, "400 Bad Request", "HTTP/1.0 cannot carry this request");
    return false;
  }
  if (!http10 && has_token(header(h, "Expect"), "100-continue") &&
      !send_all(fd, std::string("HTTP/1.1 100 Continue\r\n\r\n")))
    return false;
  uint64_t got = 0;
  int64_t bad = -1;
  const bool check = method == "POST" && target == "/upload";
  const bool body_ok = read_body(in, h, [&](const std::string& piece) {
    if (check && bad < 0) {
      const int64_t m =
          pattern_mismatch(reinterpret_cast<const uint8_t*>(piece.data()), got, piece.size());
      if (m >= 0) bad = static_cast<int64_t>(got) + m;
    }
    got += piece.size();
  });
  if (!body_ok) return false;
  served.fetch_add(1);
  bool sent = false;
  if (method == "GET" && target == "/ws" && upgrade) {
    const std::string accept = websocket_accept(header(h, "Sec-WebSocket-Key"));
    if (!send_all(fd,
                  "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                  "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
                      accept + "\r\n\r\n"))
      return false;
    websocket_echo_frames(in);
    return false;
  } else if (method == "GET" && target.rfind("/bytes/", 0) == 0) {
    const uint64_t n = strtoull(target.c_str() + 7, nullptr, 10);
    sent = n == 0 ? send_reply(fd, "200 OK", "") : send_reply(fd, "200 OK", "", n);
  } else if (check || (method == "POST" && target == "/sink")) {
    const std::string answer = bad < 0
                                   ? "ok " + std::to_string(got)
                                   : "bad " + std::to_string(got) + " at " + std::to_string(bad);
    sent = send_reply(fd, "200 OK", answer);
  } else {
    sent = send_reply(fd, "404 Not Found", "no");
  }
  pending = in.buf;
  return sent && keep;
}

namespace {

// SHA-1 (FIPS 180-4) of a short text, for the WebSocket accept value only.
std::string sha1(const std::string& text) {
  uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  std::string m = text;
  const uint64_t bits = static_cast<uint64_t>(text.size()) * 8;
  m.push_back(static_cast<char>(0x80));
  while (m.size() % 64 != 56) m.push_back(0);
  for (int i = 7; i >= 0; --i) m.push_back(static_cast<char>(bits >> (i * 8)));
  auto rol = [](uint32_t v, int s) { return (v << s) | (v >> (32 - s)); };
  for (size_t block = 0; block < m.size(); block += 64) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
      const auto* b = reinterpret_cast<const uint8_t*>(m.data() + block + i * 4);
      w[i] = uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
    }
    for (int i = 16; i < 80; ++i) w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d), k = 0x5A827999;
      } else if (i < 40) {
        f = b ^ c ^ d, k = 0x6ED9EBA1;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d, k = 0xCA62C1D6;
      }
      const uint32_t t = rol(a, 5) + f + e + k + w[i];
      e = d, d = c, c = rol(b, 30), b = a, a = t;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
  }
  std::string out;
  for (uint32_t v : h)
    for (int i = 3; i >= 0; --i) out.push_back(static_cast<char>(v >> (i * 8)));
  return out;
}

std::string base64(const std::string& bytes) {
  static constexpr char ABC[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 2]);
    out.push_back(ABC[v >> 18 & 63]);
    out.push_back(ABC[v >> 12 & 63]);
    out.push_back(i + 1 < bytes.size() ? ABC[v >> 6 & 63] : '=');
    out.push_back(i + 2 < bytes.size() ? ABC[v & 63] : '=');
  }
  return out;
}

}  // namespace

std::string websocket_accept(const std::string& key) {
  return base64(sha1(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"));
}
