#include "front/recognize.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "chain/errorpage.h"
#include "chain/negotiate.h"
#include "chain/select.h"
#include "engine/loop.h"
#include "engine/slot.h"
#include "platform/clock.h"
#include "platform/resolve.h"
#include "util/http.h"
#include "util/literal.h"
#include "util/registry.h"

namespace {

constexpr int OWN_ADDRESS_MAX = 16;
constexpr int OWN_RESOLVED_MAX = 14;
constexpr uint32_t LOOPBACK_NET = 0x0100007F;  // 127.0.0.1 in network byte order

uint32_t own_list[OWN_ADDRESS_MAX + 1];

// The IPv6 addresses of this machine's interfaces, read once (no lookup).
struct own_ipv6_list {
  uint8_t addr[OWN_ADDRESS_MAX][16];
  int count;
  bool built;
};
own_ipv6_list own_v6{};
bool own_built = false;
// A failed build is tried again only after this long: a host name that does
// not resolve must not cost a lookup on every request.
constexpr uint32_t OWN_RETRY_MS = 60000;
uint32_t own_failed_at = 0;
bool own_failed = false;

chain_start_fn chain_call = chain_start;

unsigned char upper(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? c - 32 : c;
}
bool is_method_letter(unsigned char c) {
  return upper(c) >= 'A' && upper(c) <= 'Z';
}
bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}

// Compares n bytes of data with an ASCII text, ignoring case.
bool same_folded(const uint8_t* data, const char* text, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (upper(data[i]) != upper(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

bool equals_folded(const char* a, const char* b) {
  size_t n = strlen(b);
  return strlen(a) == n && same_folded(reinterpret_cast<const uint8_t*>(a), b, n);
}

void set_route(conn_slot& slot, const char* fmt, const char* a = "", const char* b = "") {
  snprintf(slot_area<slot_text>(slot).text, ROUTE_SIZE, fmt, a, b);
}

// Sends template `page` for slot `index` and leaves it as a refused slot.
void refuse(int index, int page, const char* fmt, const char* a = "", const char* b = "") {
  conn_slot& slot = conn_table[index];
  send_error_page(&slot.in, index, page, &slot);
  memset(slot.route, 0, ROUTE_SIZE);
  set_route(slot, fmt, a, b);
  slot.kind = slot_kind::error;
}

// Copies n bytes to dest_host, cut to what the field takes.
void set_dest_host(conn_slot& slot, const uint8_t* bytes, size_t n) {
  if (n > DEST_HOST_SIZE - 2) n = DEST_HOST_SIZE - 2;
  memcpy(slot.dest_host, bytes, n);
  slot.dest_host[n] = 0;
}

// Reads up to max host characters at *pos into dest_host.
void read_host(conn_slot& slot, const uint8_t* d, size_t len, size_t* pos, size_t max) {
  size_t start = *pos;
  while (*pos < len && *pos - start < max && is_host_char(d[*pos])) ++*pos;
  set_dest_host(slot, d + start, *pos - start);
}

// Reads a host at *pos: an IPv6 address in brackets ("[2001:db8::7]",
// kept without them; an invalid one leaves no host), else up to max host
// characters.
void read_host_or_ipv6(conn_slot& slot, const uint8_t* d, size_t len, size_t* pos, size_t max) {
  if (*pos >= len || d[*pos] != '[') {
    read_host(slot, d, len, pos, max);
    return;
  }
  const size_t start = *pos + 1;
  size_t end = start;
  while (end < len && end - start < INET6_ADDRSTRLEN && d[end] != ']') ++end;
  slot.dest_host[0] = 0;
  if (end >= len || d[end] != ']') {
    *pos = end;
    return;
  }
  *pos = end + 1;
  char text[INET6_ADDRSTRLEN + 1];
  memcpy(text, d + start, end - start);
  text[end - start] = 0;
  uint8_t v6[16];
  if (ipv6_literal(text, v6)) set_dest_host(slot, d + start, end - start);
}

// Leading decimal digits at pos, cut to 16 bits.
uint16_t read_port(const uint8_t* d, size_t len, size_t pos) {
  uint16_t port = 0;
  for (; pos < len && is_digit(d[pos]); ++pos)
    port = static_cast<uint16_t>(port * 10 + (d[pos] - '0'));
  return port;
}

// Length of the request head (through its blank line), 0 while incomplete.
size_t head_length(const uint8_t* d, size_t len) {
  for (size_t i = 0; i + 1 < len; ++i) {
    if (d[i] == '\n' && d[i + 1] == '\n') return i + 2;
    if (i + 3 < len) {
      if (d[i] == '\r' && d[i + 1] == '\n' && d[i + 2] == '\r' && d[i + 3] == '\n') return i + 4;
      if (d[i] == '\n' && d[i + 1] == '\r' && d[i + 2] == '\n' && d[i + 3] == '\r') return i + 4;
    }
  }
  return 0;
}

// Panel path comparison that takes the same time wherever the bytes differ.
bool panel_path_at(const uint8_t* d, size_t len, size_t pos) {
  const char* root = reg_root();
  size_t n = root != nullptr ? strnlen(root, 40) : 0;
  if (n == 0 || pos + n >= len) return false;  // one byte must follow the path
  unsigned diff = 0;
  for (size_t i = 0; i < n; ++i)
    diff |= static_cast<unsigned>(d[pos + i] ^ static_cast<uint8_t>(root[i]));
  return diff == 0;
}

// What the recognition of an HTTP head found, for the destination step.
struct http_info {
  size_t verb_offset;  // 0: the data is not HTTP
  size_t head;         // head length
  bool connect;
  bool panel;
};

// Reads the SOCKS request at the start of `in`. Returns the number of
// request bytes, 0 while it is incomplete, or -1 when its address type is
// not supported (no destination fields set).
long read_socks_request(conn_slot& slot) {
  const uint8_t* d = slot.in.data;
  size_t len = slot.in.len;
  slot.dest_host[0] = 0;
  if (slot.proto == PROTO_SOCKS4) {
    if (len < 8) return 0;
    // The user-id runs from byte 8 to its zero byte.
    const void* zero = memchr(d + 8, 0, len - 8);
    if (zero == nullptr) return 0;
    size_t name = static_cast<size_t>(static_cast<const uint8_t*>(zero) - d) + 1;
    slot.dest_port = static_cast<uint16_t>(d[2] << 8 | d[3]);
    if (d[4] == 0 && d[5] == 0 && d[6] == 0) {
      // 4a: a host name ending in a zero byte follows the user-id.
      if (name >= len) return static_cast<long>(len);  // no name: refused later
      const void* end = memchr(d + name, 0, len - name);
      if (end == nullptr) return 0;
      size_t n = static_cast<size_t>(static_cast<const uint8_t*>(end) - d) - name + 1;
      if (n < 189) set_dest_host(slot, d + name, n - 1);
      return static_cast<long>(name + n);
    }
    snprintf(slot.dest_host, DEST_HOST_SIZE, "%u.%u.%u.%u", d[4], d[5], d[6], d[7]);
    return static_cast<long>(name);
  }
  if (len < 9) return 0;
  if (d[3] == 1) {
    if (len < 10) return 0;
    slot.dest_port = static_cast<uint16_t>(d[8] << 8 | d[9]);
    if (!(d[5] == 0 && d[6] == 0 && d[7] == 0))
      snprintf(slot.dest_host, DEST_HOST_SIZE, "%u.%u.%u.%u", d[4], d[5], d[6], d[7]);
    return 10;
  }
  if (d[3] == 3) {
    size_t n = d[4];
    if (len < 7 + n) return 0;
    set_dest_host(slot, d + 5, n);
    slot.dest_port = static_cast<uint16_t>(d[5 + n] << 8 | d[6 + n]);
    return static_cast<long>(7 + n);
  }
  if (d[3] == 4) {
    if (len < 22) return 0;
    slot.dest_port = static_cast<uint16_t>(d[20] << 8 | d[21]);
    static constexpr uint8_t unspecified[16] = {};
    if (memcmp(d + 4, unspecified, 16) != 0) inet_ntop(AF_INET6, d + 4, slot.dest_host, 64);
    return 22;
  }
  return -1;
}

// State 2: the SOCKS request. Returns true when the slot goes on to state 3.
bool socks_request(int index) {
  conn_slot& slot = conn_table[index];
  long used = read_socks_request(slot);
  if (used == 0) {
    if (slot.in.len > RECOGNIZE_INPUT_LIMIT) {
      refuse(index, PAGE_WRONG_SOCKS, "SOCKS request too long");
      slot_consume(index, slot.in.len, 0);
    }
    return false;
  }
  bool usable = used > 0 && slot.dest_host[0] != 0 && slot.dest_port != 0;
  // A refused request takes everything with it; an accepted one leaves the
  // bytes behind it for the chain.
  slot_consume(index, usable ? static_cast<uint32_t>(used) : slot.in.len, 0);
  if (slot.proto == PROTO_SOCKS4) {
    static constexpr uint8_t reply4[8] = {0x00, 0x5A, 0, 0, 0, 0, 0, 0};
    slot_send(index, reply4, sizeof reply4);
  } else {
    static constexpr uint8_t reply5[10] = {0x05, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
    slot_send(index, reply5, sizeof reply5);
  }
  if (usable) {
    slot.kind = slot_kind::first_data;
    return true;
  }
  refuse(index, PAGE_WRONG_SOCKS, "Wrong destination: %s %s", slot.dest_host[0] == 0 ? "host" : "",
         slot.dest_port == 0 ? "port" : "");
  return false;
}

// State 3: the first data. Returns false when the slot waits or was refused;
// true when the destination is known (kind 4) and `info` describes it.
bool first_data(int index, http_info& info) {
  conn_slot& slot = conn_table[index];
  const uint8_t* d = slot.in.data;
  size_t len = slot.in.len;
  info = {};
  if (len == 0) return false;
  info.verb_offset = http_verb_offset(d, len);
  if (info.verb_offset == 0) {
    slot.kind = slot_kind::dest_known;
    return true;
  }
  if (len == 1) return false;
  info.head = head_length(d, len);
  if (info.head == 0) {
    if (len > RECOGNIZE_INPUT_LIMIT) {
      refuse(index, PAGE_NOT_HTTP, "HTTP request head too long");
      slot_consume(index, slot.in.len, 0);
    }
    return false;
  }

  size_t pos = 0;
  while (pos < len && (d[pos] == ' ' || d[pos] == '\r' || d[pos] == '\n' || d[pos] == '\t')) ++pos;
  size_t method = pos;
  while (pos < len && pos - method < 62 && is_method_letter(d[pos])) ++pos;
  char verb[64];
  memcpy(verb, d + method, pos - method);
  verb[pos - method] = 0;
  if (pos >= len || d[pos] != ' ') {
    refuse(index, PAGE_NOT_HTTP, "Wrong HTTP verb: %s", verb);
    return false;
  }
  while (pos < len && d[pos] == ' ') ++pos;

  if (equals_folded(verb, "CONNECT")) {
    info.connect = true;
    slot.proto = PROTO_CONNECT;
    read_host_or_ipv6(slot, d, len, &pos, 61);
    slot.dest_port = (pos < len && d[pos] == ':') ? read_port(d, len, pos + 1) : 80;
  } else {
    slot.dest_port = 0;
    size_t scheme = pos;
    while (pos < len && pos - scheme < 63 && is_method_letter(d[pos])) ++pos;
    size_t n = pos - scheme;
    uint16_t port = 0;
    if (n == 5 && same_folded(d + scheme, "HTTPS", 5)) port = 443;
    if (n == 4 && same_folded(d + scheme, "HTTP", 4)) port = 80;
    if (n == 3 && same_folded(d + scheme, "FTP", 3)) port = 21;
    if (port != 0) {
      if (!(pos + 1 < len && d[pos] == ':' && d[pos + 1] == '/')) {
        slot.dest_port = 0;
        refuse(index, PAGE_NOT_HTTP, "Wrong HTTP url");
        return false;
      }
      slot.dest_port = port;
      ++pos;
      while (pos < len && d[pos] == '/') ++pos;
      read_host_or_ipv6(slot, d, len, &pos, 61);
      if (pos < len && d[pos] == ':') {
        ++pos;
        port = 0;
        for (; pos < len && is_digit(d[pos]); ++pos)
          port = static_cast<uint16_t>(port * 10 + (d[pos] - '0'));
        slot.dest_port = port;
      }
    }
    // Panel test: "/" and then the panel path, or the site icon.
    if (pos < len && d[pos] == '/') {
      size_t after = pos + 1;
      info.panel = panel_path_at(d, len, after) ||
                   (after + 11 <= len && same_folded(d + after, "favicon.ico", 11));
    }
  }

  // The first Host line of the head names the destination; a body or tunnel
  // bytes sent along with the head are not header lines.
  const size_t head = info.head;
  size_t line = 0;
  while (line < head) {
    size_t p = line;
    while (p < head && d[p] == ' ') ++p;
    size_t name = p;
    while (p < head && p - name < 63 && is_host_char(d[p])) ++p;
    if (p - name == 4 && same_folded(d + name, "host", 4)) {
      while (p < head && d[p] == ' ') ++p;
      if (p < head && d[p] == ':') {
        ++p;
        while (p < head && d[p] == ' ') ++p;
        read_host_or_ipv6(slot, d, head, &p, 62);
        if (slot.dest_port == 0)
          slot.dest_port = (p < head && d[p] == ':') ? read_port(d, head, p + 1) : 80;
        break;
      }
    }
    while (p < head && d[p] != '\n') ++p;
    while (p < head && (d[p] == '\r' || d[p] == '\n')) ++p;
    line = p;
  }
  if (slot.dest_port == 0) slot.dest_port = 80;
  slot.kind = slot_kind::dest_known;
  return true;
}

// State 4: the destination is known.
void dest_known(int index, const http_info& info) {
  conn_slot& slot = conn_table[index];
  if (info.verb_offset != 0 && is_local_host(slot.dest_host) == 1) {
    if (slot.dest_port == listen_port && info.panel) {
      // The panel's own request: its handler takes the slot (and its area)
      // from here.
      memset(slot.route, 0, ROUTE_SIZE);
      slot.kind = slot_kind::web;
      slot_dispatch(index, slot_event::input);
      return;
    }
    refuse(index, PAGE_LOCALHOST, "Destination is localhost");
    return;
  }
  // Nothing to chain to without a host: the client is closed.
  if (slot.dest_host[0] == 0) {
    memset(slot.route, 0, ROUTE_SIZE);
    set_route(slot, "Wrong destination: %s %s", "host", slot.dest_port == 0 ? "port" : "");
    slot.kind = slot_kind::error;
    slot_abort(index);
    return;
  }
  size_t offset = 0;
  if (info.connect) {
    // The success head follows once the chain stands.
    if (info.head != 0) slot_consume(index, static_cast<uint32_t>(info.head), 0);
  } else {
    offset = info.verb_offset;
  }
  chain_call(index, offset);
  conn_table[index].kind = slot_kind::chain;
}

}  // namespace

const char* tunnel_established_response() {
  return chain_tunnel_head();
}

void recognize_set_chain_start(chain_start_fn chain) {
  chain_call = chain != nullptr ? chain : chain_start;
}

namespace {
bool is_own_ipv4(uint32_t addr);

void recognize_handler(int index, char letter) {
  if (letter == slot_event::input) client_recognize(index);
}

// A SOCKS client that says nothing after its reply waits for the server
// to speak first (SMTP, FTP, POP3, IMAP, MySQL): its chain starts as one
// for data that is not HTTP.
void start_quiet_socks_clients() {
  const uint32_t now = tick_now();
  const int used = slot_count_used();
  for (int i = 1; i < used; ++i) {
    conn_slot& slot = conn_table[i];
    if (slot.sock == -1 || slot.kind != slot_kind::first_data || slot.in.len != 0) continue;
    if (slot.proto != PROTO_SOCKS4 && slot.proto != PROTO_SOCKS5) continue;
    if (now - slot.last_activity < SERVER_FIRST_MS) continue;
    slot.kind = slot_kind::dest_known;
    dest_known(i, http_info{});
  }
}
}  // namespace

void front_attach() {
  constexpr slot_kind states[] = {slot_kind::fresh, slot_kind::socks5_greeting,
                                  slot_kind::socks_request, slot_kind::first_data,
                                  slot_kind::dest_known};
  for (slot_kind kind : states) slot_attach(kind, recognize_handler);
  engine_every(SERVER_FIRST_MS / 3, start_quiet_socks_clients);
  chain_set_local_test(is_own_ipv4);
}

void recognize_set_resolver(host_resolver r) {
  resolver_set(r);
  own_failed = false;  // a new resolver may know the host name
}

const uint32_t* own_addresses() {
  if (own_built) return own_list;
  if (own_failed && tick_now() - own_failed_at < OWN_RETRY_MS) return own_list;
  own_failed = true;  // until the lookup below gives addresses
  own_failed_at = tick_now();
  memset(own_list, 0, sizeof own_list);
  char name[256];
  if (gethostname(name, sizeof name) != 0) return own_list;
  name[sizeof name - 1] = 0;
  int n = resolve_ipv4(name, own_list, OWN_RESOLVED_MAX);
  if (n <= 0) {
    memset(own_list, 0, sizeof own_list);
    return own_list;
  }
  bool has_loopback = false;
  for (int i = 0; i < n; ++i) has_loopback = has_loopback || own_list[i] == LOOPBACK_NET;
  if (!has_loopback) own_list[n++] = LOOPBACK_NET;
  own_list[n] = 0;
  own_built = true;
  own_failed = false;
  return own_list;
}

void own_addresses_forget() {
  own_built = false;
  own_failed = false;
  own_v6.built = false;
  memset(own_list, 0, sizeof own_list);
}

namespace {

const own_ipv6_list& own_ipv6() {
  if (own_v6.built) return own_v6;
  own_v6 = own_ipv6_list{};
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return own_v6;
  for (ifaddrs* a = list; a != nullptr && own_v6.count < OWN_ADDRESS_MAX; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET6) continue;
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
    memcpy(own_v6.addr[own_v6.count++], in6->sin6_addr.s6_addr, 16);
  }
  freeifaddrs(list);
  own_v6.built = true;
  return own_v6;
}

bool is_own_ipv4(uint32_t addr) {
  if (addr == LOOPBACK_NET) return true;
  for (const uint32_t* o = own_addresses(); *o != 0; ++o)
    if (addr == *o) return true;
  return false;
}

}  // namespace

bool is_local_ipv6(const uint8_t (&addr)[16]) {
  static constexpr uint8_t mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  bool zero_head = true;
  for (int i = 0; i < 15; ++i) zero_head = zero_head && addr[i] == 0;
  if (zero_head && (addr[15] == 1 || addr[15] == 0)) return true;  // ::1 and ::
  if (memcmp(addr, mapped, sizeof mapped) == 0) {
    uint32_t v4;
    memcpy(&v4, addr + 12, 4);
    return v4 == 0 || is_own_ipv4(v4);
  }
  const own_ipv6_list& own = own_ipv6();
  for (int i = 0; i < own.count; ++i)
    if (memcmp(own.addr[i], addr, 16) == 0) return true;
  return false;
}

// This machine's own host name, compared as text.
bool is_own_name(const char* host) {
  char name[256];
  if (gethostname(name, sizeof name) != 0) return false;
  name[sizeof name - 1] = 0;
  return name[0] != 0 && strcasecmp(name, host) == 0;
}

int is_local_host(const char* host) {
  if (host == nullptr || host[0] == 0) return 0;
  if (is_localhost_name(host) || is_own_name(host)) return 1;
  uint32_t v4 = 0;
  if (ipv4_literal(host, &v4)) return is_own_ipv4(v4) ? 1 : 0;
  uint8_t v6[16];
  if (ipv6_literal(host, v6)) return is_local_ipv6(v6) ? 1 : 0;
  // Other names are not looked up here: while names are left to the last
  // proxy nobody here resolves them, and otherwise the chain's lookup (off
  // the engine thread) tests the address it finds.
  return 0;
}

void client_recognize(int index) {
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_slot& slot = conn_table[index];
  if (static_cast<uint16_t>(slot.kind) > 4 || slot.in.len == 0) return;

  if (slot.kind == slot_kind::fresh) {
    uint8_t first = slot.in.data[0];
    if (first == 4) {
      slot.proto = PROTO_SOCKS4;
      slot.kind = slot_kind::socks_request;
    } else if (first == 5) {
      slot.proto = PROTO_SOCKS5;
      slot.kind = slot_kind::socks5_greeting;
    } else {
      slot.proto = PROTO_HTTP;
      slot.kind = slot_kind::first_data;
    }
  }

  if (slot.kind == slot_kind::socks5_greeting) {
    // Version, method count and the methods; the methods are not examined.
    if (slot.in.len < 2 || slot.in.len < 2u + slot.in.data[1]) return;
    slot_consume(index, 2u + slot.in.data[1], 0);
    static constexpr uint8_t method_reply[2] = {0x05, 0x00};
    slot_send(index, method_reply, sizeof method_reply);
    slot.kind = slot_kind::socks_request;
    if (slot.in.len == 0) return;
  }

  if (slot.kind == slot_kind::socks_request && !socks_request(index)) return;

  http_info info{};
  if (slot.kind == slot_kind::first_data && !first_data(index, info)) return;

  if (slot.kind == slot_kind::dest_known) dest_known(index, info);
}
