// Fuzzes request recognition with valid requests cut at random places: a
// request built from the input (protocol, host, port, path) is recognised
// once in one piece and once in pieces whose sizes come from the input; the
// outcome must be the same (state, protocol, destination, status text, what
// the client was sent, where the request went and how much input was left).
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/slot.h"
#include "front/recognize.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/front_hooks.h"

namespace {

constexpr int IDX = 7;
constexpr uint16_t LISTEN = 8080;

// Where the request went.
int panel_calls = 0;
int chain_calls = 0;
size_t chain_offset = 0;
int fake_panel(int) {
  ++panel_calls;
  return 1;
}
void fake_chain(int, size_t offset) {
  ++chain_calls;
  chain_offset = offset;
}

void setup() {
  fuzz_forbid_sockets();
  fuzz_scratch_home("recognize-split");
  if (!reg_set("root", REG_SZ, "k", 2)) abort();
  for (conn_slot& s : conn_table) s.sock = -1;
  recognize_set_resolver(front_table_resolve);
  recognize_set_calls(fake_panel, fake_chain);
  listen_port = LISTEN;
}

// Reads the input a byte at a time; zero once it is used up.
struct reader {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  uint8_t next() { return pos < size ? data[pos++] : 0; }
};

std::string pick_host(reader& r) {
  static const char* const fixed[] = {"peer.test", "127.0.0.1", "localhost",
                                      "127.0.0.9", "10.0.0.0",  "Peer.Test"};
  uint8_t which = r.next();
  if (which < 200) return fixed[which % 6];
  // A made-up name of host characters.
  static constexpr char chars[] = "abcdefghijklmnopqrstuvwxyz0123456789.-_";
  std::string host;
  size_t n = 1 + r.next() % 40;
  for (size_t i = 0; i < n; ++i) host.push_back(chars[r.next() % (sizeof chars - 1)]);
  return host;
}

std::string pick_path(reader& r) {
  static const char* const fixed[] = {"/", "/k/", "/k/index.html", "/favicon.ico", "/x?a=1"};
  return fixed[r.next() % 5];
}

uint16_t pick_port(reader& r) {
  uint8_t which = r.next();
  if (which < 128) return LISTEN;
  if (which < 192) return 80;
  return static_cast<uint16_t>(1 + (which << 4));
}

std::string http_request(reader& r, const std::string& host, uint16_t port) {
  std::string path = pick_path(r);
  std::string p = std::to_string(port);
  switch (r.next() % 6) {
    case 0:
      return "GET " + path + " HTTP/1.1\r\nHost: " + host + ":" + p + "\r\n\r\n";
    case 1:
      return "GET http://" + host + ":" + p + path + " HTTP/1.1\r\nAccept: */*\r\n\r\n";
    case 2:
      return "CONNECT " + host + ":" + p + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    case 3:
      return "  post " + path + " HTTP/1.0\nhost: " + host + "\n\n";
    case 4:
      return "OPTIONS * HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    default:
      return "PROPFIND " + path + " HTTP/1.1\r\nHost: " + host + ":" + p + "\r\n\r\n";
  }
}

// The first data of a SOCKS client: an HTTP request or bytes of another protocol.
std::string first_data(reader& r) {
  if (r.next() & 1) return std::string("\x16\x03\x01\x00\x05hello", 10);
  std::string host = pick_host(r);
  return http_request(r, host, pick_port(r));
}

std::string build_request(reader& r) {
  std::string host = pick_host(r);
  uint16_t port = pick_port(r);
  std::string ph(1, static_cast<char>(port >> 8));
  ph.push_back(static_cast<char>(port & 0xFF));
  in_addr a{};
  bool numeric = inet_pton(AF_INET, host.c_str(), &a) == 1;
  const auto* ip = reinterpret_cast<const uint8_t*>(&a.s_addr);
  std::string ip4(reinterpret_cast<const char*>(ip), 4);
  std::string user = r.next() & 1 ? std::string("user") : std::string();
  switch (r.next() % 4) {
    case 0:
      return http_request(r, host, port);
    case 1:  // SOCKS4, or 4a for a name
      if (numeric) return std::string("\x04\x01", 2) + ph + ip4 + user + '\0' + first_data(r);
      return std::string("\x04\x01", 2) + ph + std::string("\0\0\0\x01", 4) + user + '\0' + host +
             '\0' + first_data(r);
    case 2: {  // SOCKS5 with a name
      std::string greet =
          r.next() & 1 ? std::string("\x05\x01\x00", 3) : std::string("\x05\x02\x00\x02", 4);
      return greet + std::string("\x05\x01\x00\x03", 4) + static_cast<char>(host.size()) + host +
             ph + first_data(r);
    }
    default: {  // SOCKS5 with an address
      if (!numeric) ip4 = std::string("\x7f\x00\x00\x09", 4);
      return std::string("\x05\x01\x00", 3) + std::string("\x05\x01\x00\x01", 4) + ip4 + ph +
             first_data(r);
    }
  }
}

struct outcome {
  slot_kind kind;
  uint8_t proto;
  std::string host;
  uint16_t port;
  std::string route;
  std::string sent;
  size_t left;  // input not consumed, counting bytes never fed
  int panel;
  int chain;
  size_t offset;
};

// Feeds `request` in pieces (sizes from `cuts`, one piece per input event;
// no cuts: all at once) and records the outcome.
outcome recognise(const std::string& request, reader cuts) {
  conn_slot& s = conn_table[IDX];
  s = conn_slot{};
  s.sock = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (s.sock < 0) abort();
  s.kind = slot_kind::fresh;
  panel_calls = chain_calls = 0;
  chain_offset = 0;
  size_t fed = 0;
  while (fed < request.size()) {
    size_t piece = request.size() - fed;
    if (cuts.size != 0) {
      uint8_t c = cuts.next();
      if (c != 0) piece = c % 7 + 1;
    }
    if (piece > request.size() - fed) piece = request.size() - fed;
    if (!stream_append(s.in, request.data() + fed, static_cast<uint32_t>(piece))) abort();
    fed += piece;
    client_recognize(IDX);
    if (static_cast<uint16_t>(s.kind) > 5) break;
  }
  outcome o{s.kind,
            s.proto,
            s.dest_host,
            s.dest_port,
            reinterpret_cast<const char*>(s.route),
            std::string(reinterpret_cast<const char*>(s.out.data), s.out.len),
            s.in.len + (request.size() - fed),
            panel_calls,
            chain_calls,
            chain_offset};
  if (s.kind == slot_kind::web || s.kind == slot_kind::web_push) o.route.clear();
  close(s.sock);
  stream_free(s.in);
  stream_free(s.out);
  s = conn_slot{};
  s.sock = -1;
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = false;
  if (!ready) {
    setup();
    ready = true;
  }
  reader r{data, size};
  std::string request = build_request(r);
  reader cuts{data + r.pos, size - r.pos};
  if (cuts.size == 0) return 0;
  outcome whole = recognise(request, reader{nullptr, 0});
  outcome split = recognise(request, cuts);
  // A valid request is never left waiting or refused for its transport.
  if (static_cast<uint16_t>(whole.kind) <= 5) abort();
  // A refused client's further input is thrown away: what was left of it
  // does not count.
  if (whole.kind == slot_kind::error) split.left = whole.left;
  if (split.kind != whole.kind || split.proto != whole.proto || split.host != whole.host ||
      split.port != whole.port || split.route != whole.route || split.sent != whole.sent ||
      split.left != whole.left || split.panel != whole.panel || split.chain != whole.chain ||
      split.offset != whole.offset)
    abort();
  return 0;
}
