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
#include "chain/ruleset.h"
#include "chain/select.h"
#include "db/db.h"
#include "engine/loop.h"
#include "engine/slot.h"
#include "front/access.h"
#include "front/signin.h"
#include "platform/clock.h"
#include "platform/resolve.h"
#include "util/ascii.h"
#include "util/http.h"
#include "util/literal.h"
#include "util/registry.h"

namespace {

chain_start_fn chain_call = chain_start;

bool equals_folded(const char* a, const char* b) {
  size_t n = strlen(b);
  return strlen(a) == n && ascii_equal_folded(reinterpret_cast<const uint8_t*>(a), b, n);
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

// Sends a fixed reply for slot `index`, closes it and leaves it as a
// refused slot whose further input is thrown away.
void refuse_with(int index, const void* reply, int length, const char* why) {
  conn_slot& slot = conn_table[index];
  slot_consume(index, slot.in.len, 0);
  if (length > 0) slot_send(index, reply, length);
  memset(slot.route, 0, ROUTE_SIZE);
  set_route(slot, "%s", why);
  slot.kind = slot_kind::error;
  slot_request_close(index);
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
  for (; pos < len && ascii_is_digit(d[pos]); ++pos)
    port = static_cast<uint16_t>(port * 10 + (d[pos] - '0'));
  return port;
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
  bool pac;  // GET /proxy.pac
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
    if (d[4] == 0 && d[5] == 0 && d[6] == 0 && d[7] != 0) {
      // 4a (address 0.0.0.x, x not 0): a host name ending in a zero byte
      // follows the user-id; it may still be on its way.
      if (name >= len) return 0;
      const void* end = memchr(d + name, 0, len - name);
      if (end == nullptr) return 0;
      size_t n = static_cast<size_t>(static_cast<const uint8_t*>(end) - d) - name + 1;
      if (n < 189) set_dest_host(slot, d + name, n - 1);
      return static_cast<long>(name + n);
    }
    // 0.0.0.0 names no destination: refused as a missing host.
    if (d[4] != 0 || d[5] != 0 || d[6] != 0 || d[7] != 0)
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

// A SOCKS destination that is this program's own port on a local address.
bool names_this_program(const conn_slot& slot) {
  return slot.dest_port == listen_port && (is_local_host(slot.dest_host) == 1 ||
                                           is_own_listener(slot.dest_host, slot.dest_port) == 1);
}

// A SOCKS request that is refused before any chain: its reply code (a
// SOCKS4 client hears 0x5B).
void socks_refuse(int index, uint8_t code) {
  if (conn_table[index].proto == PROTO_SOCKS4) {
    static constexpr uint8_t refused4[8] = {0x00, 0x5B, 0, 0, 0, 0, 0, 0};
    slot_send(index, refused4, sizeof refused4);
  } else if (conn_table[index].proto == PROTO_SOCKS5) {
    const uint8_t refused5[10] = {0x05, code, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
    slot_send(index, refused5, sizeof refused5);
  }
}

// State 2: the SOCKS request. Returns true when the destination is known
// (state 4), or, for this program itself, when its first data is read
// (state 3).
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
  if (usable && names_this_program(slot)) {
    // No chain for this program itself: granted, and its first data read,
    // so the panel answers SOCKS clients under the same gate as browsers.
    static constexpr uint8_t granted4[8] = {0x00, 0x5A, 0, 0, 0, 0, 0, 0};
    static constexpr uint8_t granted5[10] = {0x05, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
    if (slot.proto == PROTO_SOCKS4)
      slot_send(index, granted4, sizeof granted4);
    else
      slot_send(index, granted5, sizeof granted5);
    slot.kind = slot_kind::first_data;
    return true;
  }
  if (usable) {
    // The chain starts now; the client has its reply once it stands (or
    // the code that says why not).
    slot.kind = slot_kind::dest_known;
    return true;
  }
  socks_refuse(index, used < 0 ? 0x08 : 0x01);  // address type not supported, or no destination
  refuse(index, PAGE_WRONG_SOCKS, "Wrong destination: %s %s", slot.dest_host[0] == 0 ? "host" : "",
         slot.dest_port == 0 ? "port" : "");
  return false;
}

// Outcome of one step of the first-data state.
enum class step { go_on, wait, refused };

// Step 1: is the data HTTP, and is its head complete? Non-HTTP data goes
// straight to state 4; the start of a method name waits for the rest.
step classify_first_data(int index, http_info& info) {
  conn_slot& slot = conn_table[index];
  const uint8_t* d = slot.in.data;
  size_t len = slot.in.len;
  if (len == 0) return step::wait;
  info.verb_offset = http_verb_offset(d, len);
  if (info.verb_offset == 0) {
    if (http_verb_may_follow(d, len) && len <= RECOGNIZE_INPUT_LIMIT) return step::wait;
    return step::go_on;
  }
  info.head = http_head_find(d, len).body;
  if (info.head != 0) return step::go_on;
  if (len > RECOGNIZE_INPUT_LIMIT) {
    refuse(index, PAGE_NOT_HTTP, "HTTP request head too long");
    slot_consume(index, slot.in.len, 0);
    return step::refused;
  }
  return step::wait;
}

// Step 2: the method, followed by a space; *pos ends up on the target.
step read_method(int index, http_info& info, size_t* pos) {
  const uint8_t* d = conn_table[index].in.data;
  size_t len = conn_table[index].in.len;
  size_t p = 0;
  while (p < len && (d[p] == ' ' || d[p] == '\r' || d[p] == '\n' || d[p] == '\t')) ++p;
  size_t method = p;
  while (p < len && p - method < 62 && ascii_is_letter(d[p])) ++p;
  char verb[64];
  memcpy(verb, d + method, p - method);
  verb[p - method] = 0;
  if (p >= len || d[p] != ' ') {
    refuse(index, PAGE_NOT_HTTP, "Wrong HTTP verb: %s", verb);
    return step::refused;
  }
  while (p < len && d[p] == ' ') ++p;
  info.connect = equals_folded(verb, "CONNECT");
  *pos = p;
  return step::go_on;
}

// Step 3a: a CONNECT target is host[:port].
void read_connect_target(conn_slot& slot, size_t pos) {
  const uint8_t* d = slot.in.data;
  size_t len = slot.in.len;
  slot.proto = PROTO_CONNECT;
  read_host_or_ipv6(slot, d, len, &pos, 61);
  slot.dest_port = (pos < len && d[pos] == ':') ? read_port(d, len, pos + 1) : 80;
}

// Step 3b: any other target: an absolute URL gives host and port; then the
// path is tested for the panel's.
step read_url_target(int index, http_info& info, size_t pos) {
  conn_slot& slot = conn_table[index];
  const uint8_t* d = slot.in.data;
  size_t len = slot.in.len;
  slot.dest_port = 0;
  size_t scheme = pos;
  while (pos < len && pos - scheme < 63 && ascii_is_letter(d[pos])) ++pos;
  size_t n = pos - scheme;
  uint16_t port = 0;
  if (n == 5 && ascii_equal_folded(d + scheme, "HTTPS", 5)) port = 443;
  if (n == 4 && ascii_equal_folded(d + scheme, "HTTP", 4)) port = 80;
  if (n == 3 && ascii_equal_folded(d + scheme, "FTP", 3)) port = 21;
  if (port != 0) {
    if (!(pos + 1 < len && d[pos] == ':' && d[pos + 1] == '/')) {
      refuse(index, PAGE_NOT_HTTP, "Wrong HTTP url");
      return step::refused;
    }
    slot.dest_port = port;
    ++pos;
    while (pos < len && d[pos] == '/') ++pos;
    read_host_or_ipv6(slot, d, len, &pos, 61);
    if (pos < len && d[pos] == ':') {
      ++pos;
      port = 0;
      for (; pos < len && ascii_is_digit(d[pos]); ++pos)
        port = static_cast<uint16_t>(port * 10 + (d[pos] - '0'));
      slot.dest_port = port;
    }
  }
  // Panel test: "/" and then the panel path, or the site icon.
  if (pos < len && d[pos] == '/') {
    size_t after = pos + 1;
    info.panel = panel_path_at(d, len, after) ||
                 (after + 11 <= len && ascii_equal_folded(d + after, "favicon.ico", 11));
    info.pac = len > after + 9 && memcmp(d, "GET ", 4) == 0 &&
               memcmp(d + after, "proxy.pac", 9) == 0 &&
               (d[after + 9] == ' ' || d[after + 9] == '?');
  }
  return step::go_on;
}

// Step 4: the first Host line of the head names the destination of an
// origin-form request; a body or tunnel bytes sent along with the head are
// not header lines.
void read_host_line(conn_slot& slot, size_t head) {
  const uint8_t* d = slot.in.data;
  size_t line = 0;
  while (line < head) {
    size_t p = line;
    while (p < head && d[p] == ' ') ++p;
    size_t name = p;
    while (p < head && p - name < 63 && is_host_char(d[p])) ++p;
    if (p - name == 4 && ascii_equal_folded(d + name, "host", 4)) {
      while (p < head && d[p] == ' ') ++p;
      if (p < head && d[p] == ':') {
        ++p;
        while (p < head && d[p] == ' ') ++p;
        read_host_or_ipv6(slot, d, head, &p, 62);
        if (slot.dest_port == 0)
          slot.dest_port = (p < head && d[p] == ':') ? read_port(d, head, p + 1) : 80;
        return;
      }
    }
    while (p < head && d[p] != '\n') ++p;
    while (p < head && (d[p] == '\r' || d[p] == '\n')) ++p;
    line = p;
  }
}

// Step 3: where the request goes. The client's own destination wins: the
// SOCKS request's, the CONNECT target, an absolute URL's authority; the
// Host line names it only for a target in origin form. A SOCKS client's
// request is read only for the panel's path (a CONNECT in it is for
// whoever is at the destination, and passes as it is).
step read_request_target(int index, http_info& info, size_t pos) {
  conn_slot& slot = conn_table[index];
  if (slot.proto == PROTO_SOCKS4 || slot.proto == PROTO_SOCKS5) {
    info.connect = false;
    char host[DEST_HOST_SIZE];
    memcpy(host, slot.dest_host, sizeof host);
    const uint16_t port = slot.dest_port;
    const step s = read_url_target(index, info, pos);
    memcpy(slot.dest_host, host, sizeof host);
    slot.dest_port = port;
    return s;
  }
  if (info.connect) {
    read_connect_target(slot, pos);
    return step::go_on;
  }
  slot.dest_host[0] = 0;
  if (read_url_target(index, info, pos) != step::go_on) return step::refused;
  if (slot.dest_host[0] == 0) read_host_line(slot, info.head);
  return step::go_on;
}

// State 3: the first data. Returns false when the slot waits or was refused;
// true when the destination is known (kind 4) and `info` describes it.
bool first_data(int index, http_info& info) {
  info = {};
  step s = classify_first_data(index, info);
  if (s != step::go_on) return false;
  conn_slot& slot = conn_table[index];
  if (info.verb_offset != 0) {
    size_t pos = 0;
    if (read_method(index, info, &pos) != step::go_on) return false;
    if (read_request_target(index, info, pos) != step::go_on) return false;
    if (slot.dest_port == 0) slot.dest_port = 80;
  }
  slot.kind = slot_kind::dest_known;
  return true;
}

// True when the destination is the very address and port the client
// reached us on: the listen address, whatever it is (127.0.0.44 as well,
// or the IPv6 address of an IPv6 listener).
bool names_this_listener(const conn_slot& slot) {
  if (slot.dest_port != listen_port) return false;
  const net_address dest = net_address_parse(slot.dest_host);
  sockaddr_storage local{};
  socklen_t size = sizeof local;
  if (dest.family == 0 || getsockname(slot.sock, reinterpret_cast<sockaddr*>(&local), &size) != 0)
    return false;
  const net_address here = net_address_of(reinterpret_cast<const sockaddr*>(&local));
  return here.family == dest.family && memcmp(here.bytes, dest.bytes, sizeof here.bytes) == 0;
}

// Removes the Proxy-Authorization lines from an HTTP client's head (they
// are for us, not for the destination), wiping them; the head shrinks.
void drop_signin_lines(int index, http_info& info) {
  http_signin found;
  conn_slot& slot = conn_table[index];
  while (signin_http_find({slot.in.data, info.head}, found)) {
    const size_t removed = found.line_end - found.line_start;
    signin_wipe(slot.in.data + found.line_start, removed);
    memmove(slot.in.data + removed, slot.in.data, found.line_start);
    signin_wipe(slot.in.data, removed);
    slot_consume_input(index, static_cast<uint32_t>(removed));
    info.head -= removed;
  }
  signin_wipe(&found, sizeof found);
}

// An HTTP or CONNECT client while sign-in is on: its Basic sign-in is
// checked and taken out of the head, or it gets 407 and is closed.
bool http_signed_in(int index, http_info& info) {
  conn_slot& slot = conn_table[index];
  if (info.verb_offset == 0 || (slot.proto != PROTO_HTTP && slot.proto != PROTO_CONNECT) ||
      !signin_required())
    return true;
  http_signin found;
  signin_outcome outcome = signin_outcome::refused;
  if (signin_http_find({slot.in.data, info.head}, found) && found.basic)
    outcome = signin_check_slot(index, access_peer(index), found.user(), found.pass());
  signin_wipe(&found, sizeof found);
  if (outcome == signin_outcome::waiting) {
    // The head is read again once the check is in.
    slot.kind = slot_kind::first_data;
    return false;
  }
  if (outcome != signin_outcome::ok) {
    signin_wipe(slot.in.data, info.head);  // a wrong pair is not kept either
    static constexpr char required[] =
        "HTTP/1.1 407 Proxy Authentication Required\r\n"
        "Proxy-Authenticate: Basic realm=\"merovane\"\r\n"
        "Content-Length: 0\r\nConnection: close\r\n\r\n";
    refuse_with(index, required, sizeof required - 1, "Sign-in required");
    return false;
  }
  drop_signin_lines(index, info);
  // Its next request on this connection would carry the sign-in line
  // through the relay: there is none.
  if (slot.proto == PROTO_HTTP) slot.flags |= SLOT_ONE_REQUEST;
  return true;
}

// State 4: the destination is known.
void dest_known(int index, http_info& info) {
  conn_slot& slot = conn_table[index];
  if (info.verb_offset != 0 && (is_local_host(slot.dest_host) == 1 || names_this_listener(slot))) {
    if (slot.dest_port == listen_port && info.pac) {
      rules_send_pac(index);
      return;
    }
    // The panel answers this machine only (unless "panel_remote" is set);
    // to anyone else its path is like any other.
    if (slot.dest_port == listen_port && info.panel && access_panel_allowed(index)) {
      // The panel's own request: its handler takes the slot (and its area)
      // from here, with its own time rules.
      slot_set_deadline(index, 0);
      memset(slot.route, 0, ROUTE_SIZE);
      slot.kind = slot_kind::web;
      slot_dispatch(index, slot_event::input);
      return;
    }
    refuse(index, PAGE_LOCALHOST, "Destination is localhost");
    return;
  }
  // Whatever the protocol, a chain back into our own listener would feed
  // itself until the table is full.
  if (is_own_listener(slot.dest_host, slot.dest_port) == 1) {
    memset(slot.route, 0, ROUTE_SIZE);
    set_route(slot, "Destination is localhost");
    slot.kind = slot_kind::error;
    slot_abort(index);
    return;
  }
  // A request for our own port that a chain of ours has just asked a proxy
  // for came back through that proxy (a name it resolves to this machine,
  // a forwarding rule): it is closed, and so is the chain that sent it.
  const int source = chain_loop_source(slot.dest_host, slot.dest_port, slot.started);
  if (source >= 0) {
    chain_loop_found(source);
    memset(slot.route, 0, ROUTE_SIZE);
    set_route(slot, "Loop through this program");
    slot.kind = slot_kind::error;
    slot_abort(index);
    return;
  }
  // Without the database the program's chain has no proxies: an HTTP client
  // is told so, any other is closed. (A chain start plugged in by a test
  // needs no database.)
  if (db_handle == nullptr && chain_call == chain_start) {
    memset(slot.route, 0, ROUTE_SIZE);
    if (info.verb_offset != 0) {
      send_error_page(&slot.in, index, PAGE_NO_DATABASE, &slot);
      slot_request_close(index);
    } else {
      socks_refuse(index, 0x01);
      slot_abort(index);
    }
    set_route(conn_table[index], "Database not open");
    conn_table[index].kind = slot_kind::error;
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
  if (!http_signed_in(index, info)) return;
  size_t offset = 0;
  if (info.connect) {
    // The success head follows once the chain stands.
    if (info.head != 0) slot_consume(index, static_cast<uint32_t>(info.head), 0);
  } else {
    offset = info.verb_offset;
  }
  // Kind chain first: the chain's start may hand the slot back to
  // recognition (a SOCKS client whose last proxy needs its request).
  slot.kind = slot_kind::chain;
  slot_set_deadline(index, 0);  // the chain sets its own time limits
  chain_call(index, offset);
}

}  // namespace

void recognize_set_chain_start(chain_start_fn chain) {
  chain_call = chain != nullptr ? chain : chain_start;
}

namespace {

bool recognizing(const conn_slot& slot) {
  return static_cast<uint16_t>(slot.kind) <= static_cast<uint16_t>(slot_kind::socks5_signin);
}

// A SOCKS client that had its reply early (its last proxy is a plain HTTP
// proxy, or it asked for the panel) hears 'S' once the reply is out; from
// then on its quiet period is watched until it speaks or is started.
bool quiet_clients_waiting = false;

bool quiet_socks_client(const conn_slot& slot) {
  return slot.sock != -1 && slot.kind == slot_kind::first_data && slot.in.len == 0 &&
         (slot.proto == PROTO_SOCKS4 || slot.proto == PROTO_SOCKS5);
}

// A client has CLIENT_REQUEST_MS after its last byte (or its connect) to
// finish its request; a silent one is closed with nothing lost.
void recognize_handler(int index, char letter) {
  if (letter == slot_event::deadline && recognizing(conn_table[index])) {
    refuse_with(index, nullptr, 0, "No request within 30 s");
    slot_abort(index);
    return;
  }
  if (letter == slot_event::drained && quiet_socks_client(conn_table[index]))
    quiet_clients_waiting = true;
  if (letter != slot_event::input) return;
  // Counted from the last byte that came (the housekeeping pass repeats
  // 'R' for input still waiting, which is no sign of life).
  const conn_slot& slot = conn_table[index];
  const uint32_t quiet = tick_now() - slot.last_activity;
  if (recognizing(slot) && quiet < CLIENT_REQUEST_MS)
    slot_set_deadline(index, CLIENT_REQUEST_MS - quiet);
  client_recognize(index);
}

// A SOCKS client that had its reply early (its last proxy is a plain HTTP
// proxy) and says nothing waits for the server to speak first (SMTP, FTP,
// POP3, IMAP, MySQL): its chain starts as one for data that is not HTTP.
void start_quiet_socks_clients() {
  const uint32_t now = tick_now();
  quiet_clients_waiting = false;
  const int used = slot_count_used();
  for (int i = 1; i < used; ++i) {
    conn_slot& slot = conn_table[i];
    if (!quiet_socks_client(slot)) continue;
    if (now - slot.last_activity < SERVER_FIRST_MS) {
      quiet_clients_waiting = true;
      continue;
    }
    slot.kind = slot_kind::dest_known;
    http_info none{};
    dest_known(i, none);
  }
}
}  // namespace

void front_attach() {
  constexpr slot_kind states[] = {slot_kind::fresh,         slot_kind::socks5_greeting,
                                  slot_kind::socks_request, slot_kind::first_data,
                                  slot_kind::dest_known,    slot_kind::socks5_signin};
  for (slot_kind kind : states) slot_attach(kind, recognize_handler);
  engine_set_accept_check(access_accept);
  signin_set_resume(client_recognize);
  engine_every(SIGNIN_POLL_MS, signin_poll, signin_wait_ms);
  engine_every(SERVER_FIRST_MS / 3, start_quiet_socks_clients,
               [] { return quiet_clients_waiting ? 0 : ENGINE_IDLE; });
  chain_set_local_test(address_is_local);
}

void recognize_set_resolver(host_resolver r) {
  resolver_set(r);
}

namespace {
// The SOCKS5 greeting: version, method count and the methods. Without
// accounts no method is asked for (00); with them the client must offer
// user/password (02) or gets FF. True when bytes after it wait to be read.
bool socks5_greeting(int index) {
  conn_slot& slot = conn_table[index];
  if (slot.in.len < 2 || slot.in.len < 2u + slot.in.data[1]) return false;
  const bool wanted = signin_required();
  const bool offered = memchr(slot.in.data + 2, 0x02, slot.in.data[1]) != nullptr;
  slot_consume(index, 2u + slot.in.data[1], 0);
  if (wanted && !offered) {
    static constexpr uint8_t none[2] = {0x05, 0xFF};
    refuse_with(index, none, sizeof none, "SOCKS5 client offers no sign-in");
    return false;
  }
  const uint8_t method_reply[2] = {0x05, static_cast<uint8_t>(wanted ? 0x02 : 0x00)};
  slot_send(index, method_reply, sizeof method_reply);
  slot.kind = wanted ? slot_kind::socks5_signin : slot_kind::socks_request;
  return slot.in.len > 0;
}

// The SOCKS5 sign-in: status 00 and on to the request, or 01 and a close.
bool socks5_signin(int index) {
  conn_slot& slot = conn_table[index];
  std::string_view user, pass;
  const long used = signin_socks5_read({slot.in.data, slot.in.len}, user, pass);
  if (used == 0) return false;
  const signin_outcome outcome =
      used > 0 ? signin_check_slot(index, access_peer(index), user, pass) : signin_outcome::refused;
  if (outcome == signin_outcome::waiting) return false;  // read again once the check is in
  if (used > 0) signin_wipe(slot.in.data, static_cast<size_t>(used));
  if (outcome != signin_outcome::ok) {
    static constexpr uint8_t failed[2] = {0x01, 0x01};
    refuse_with(index, failed, sizeof failed, "SOCKS5 sign-in refused");
    return false;
  }
  slot_consume(index, static_cast<uint32_t>(used), 0);
  static constexpr uint8_t passed[2] = {0x01, 0x00};
  slot_send(index, passed, sizeof passed);
  slot.kind = slot_kind::socks_request;
  return slot.in.len > 0;
}
}  // namespace

void client_recognize(int index) {
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_slot& slot = conn_table[index];
  if (!recognizing(slot) || slot.in.len == 0) return;

  if (slot.kind == slot_kind::fresh) {
    uint8_t first = slot.in.data[0];
    if (first == 4) {
      slot.proto = PROTO_SOCKS4;
      slot.kind = slot_kind::socks_request;
      // SOCKS4 carries no password.
      if (signin_required() && !signin_allow_socks4()) {
        static constexpr uint8_t refused4[8] = {0x00, 0x5B, 0, 0, 0, 0, 0, 0};
        refuse_with(index, refused4, sizeof refused4, "SOCKS4 refused: sign-in required");
        return;
      }
    } else if (first == 5) {
      slot.proto = PROTO_SOCKS5;
      slot.kind = slot_kind::socks5_greeting;
    } else {
      slot.proto = PROTO_HTTP;
      slot.kind = slot_kind::first_data;
    }
  }

  if (slot.kind == slot_kind::socks5_greeting && !socks5_greeting(index)) return;
  if (slot.kind == slot_kind::socks5_signin && !socks5_signin(index)) return;

  if (slot.kind == slot_kind::socks_request && !socks_request(index)) return;

  http_info info{};
  if (slot.kind == slot_kind::first_data && !first_data(index, info)) return;

  if (slot.kind == slot_kind::dest_known) dest_known(index, info);
}
