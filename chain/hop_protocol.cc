// The hop protocols: the request each kind of proxy is sent and the
// reading of its replies, one step at a time on byte buffers.
#include "chain/hop_protocol.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/random.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "chain/errorpage.h"
#include "chain/failover.h"
#include "chain/limits.h"
#include "chain/negotiate.h"
#include "chain/rewrite.h"
#include "chain/select.h"
#include "chain/usage.h"
#include "db/db.h"
#include "engine/loop.h"
#include "log/console.h"
#include "log/log.h"
#include "log/metrics.h"
#include "platform/clock.h"
#include "platform/resolve.h"
#include "util/ascii.h"
#include "util/http.h"
#include "util/literal.h"
#include "util/socks.h"

chain_io_ops chain_io = {slot_send, slot_abort};

// Appends the text at `used` within `size` bytes, keeping the terminator.
void chain_text_put(char* buf, size_t size, size_t& used, const char* format, ...) {
  if (used + 1 >= size) return;
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(buf + used, size - used, format, args);
  va_end(args);
  if (n > 0) used = used + static_cast<size_t>(n) < size ? used + static_cast<size_t>(n) : size - 1;
}

// Protocol a hop is spoken to in: the first of SOCKS4, SOCKS5, HTTPS, HTTP
// that its type holds; 0 for none.
uint16_t hop_protocol(uint16_t type) {
  if (type == HOP_END) return 0;
  if (type & PT_SOCKS4) return PT_SOCKS4;
  if (type & PT_SOCKS5) return PT_SOCKS5;
  if (type & PT_HTTPS) return PT_HTTPS;
  if (type & PT_HTTP) return PT_HTTP;
  return 0;
}

const uint8_t* hop_addr_bytes(const hop& h, uint8_t (&out)[4]) {
  const uint32_t a = h.addr;
  memcpy(out, &a, 4);
  return out;
}

// A reply head whose status is 407 (proxy sign-in required or refused).
bool status_is_407(const uint8_t* d, size_t n) {
  size_t i = 0;
  while (i < n && ascii_is_blank(d[i])) ++i;
  while (i < n && !ascii_is_blank(d[i])) ++i;
  while (i < n && d[i] == ' ') ++i;
  return i + 3 <= n && d[i] == '4' && d[i + 1] == '0' && d[i + 2] == '7' &&
         (i + 3 == n || ascii_is_blank(d[i + 3]));
}

bool host_is_name(const char* host) {
  for (const char* p = host; *p; ++p)
    if (!ascii_is_digit(static_cast<uint8_t>(*p)) && *p != '.') return true;
  return false;
}

namespace {

// How the next hop is named to a proxy: by its IPv4 address, or, for a
// destination entry without one, by the outbound slot's host text (a name
// the last proxy looks up, or an IPv6 address).
struct next_target {
  socks_target to;                // its name is set by request_of: a copy moves the text
  char text[DEST_HOST_SIZE + 2];  // as written in a CONNECT line: a.b.c.d, name, [v6]
};

// The SOCKS request's view of t, the name pointing into t's own text.
socks_target request_of(const next_target& t) {
  socks_target to = t.to;
  if (to.kind == socks_target::form::name) to.name = std::string_view(t.text, strlen(t.text));
  return to;
}

next_target target_of(int index, const hop& next) {
  next_target t{};
  t.to.port = next.port;
  if (next.type != HOP_END || next.addr != 0) {
    t.to.kind = socks_target::form::ipv4;
    t.to.v4 = next.addr;
    uint8_t b[4];
    hop_addr_bytes(next, b);
    snprintf(t.text, sizeof t.text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return t;
  }
  if (index < 0 || index >= SLOT_COUNT) return t;
  const char* host = conn_table[index].dest_host;
  const size_t n = strnlen(host, DEST_HOST_SIZE);
  if (n == 0 || n >= DEST_HOST_SIZE) return t;
  if (ipv6_literal(host, t.to.v6)) {
    t.to.kind = socks_target::form::ipv6;
    char plain[INET6_ADDRSTRLEN];
    if (inet_ntop(AF_INET6, t.to.v6, plain, sizeof plain) == nullptr) return next_target{};
    snprintf(t.text, sizeof t.text, "[%s]", plain);
    return t;
  }
  if (n > 255) return t;
  t.to.kind = socks_target::form::name;
  memcpy(t.text, host, n);
  t.text[n] = 0;
  return t;
}

void log_chaining(int letter, int index, const hop& next) {
  if (letter & CHAIN_QUIET) return;
  const next_target t = target_of(index, next);
  log_line(index, "Chaining to %s port %u (%s)...", t.text, static_cast<unsigned>(next.port),
           proxy_type_names(next.type));
}

// A CONNECT reply head with a 2xx status.
bool connect_reply_ok(const uint8_t* d, size_t n) {
  constexpr http_status_rules rules = {
      .leading_blanks = true, .version_digits = false, .gap_blanks = true};
  const int status = http_status_parse(d, n, rules).code;
  return status >= 200 && status <= 299;
}

// SOCKS4 request for the next hop (the 4a form for a name), the stored user
// as its user id. False when the next hop cannot be named in SOCKS4 (an
// IPv6 address).
bool send_socks4(int index, const next_target& t, const proxy_login& login) {
  uint8_t msg[SOCKS_REQUEST_MAX];
  const size_t n = socks4_request(request_of(t), std::string_view(login.user, login.user_length),
                                  msg, sizeof msg);
  if (n > 0) chain_io.send(index, msg, static_cast<int>(n));
  memset(msg, 0, sizeof msg);
  return n > 0;
}

// RFC 1929 sign-in, after the proxy chose method 02.
void send_socks5_login(int index, const proxy_login& login) {
  uint8_t msg[SOCKS5_LOGIN_MAX];
  const size_t n = socks5_login(std::string_view(login.user, login.user_length),
                                std::string_view(login.pass, login.pass_length), msg, sizeof msg);
  chain_io.send(index, msg, static_cast<int>(n));
  memset(msg, 0, sizeof msg);
}

// SOCKS5 connect request: address type 1, 3 (name) or 4 (IPv6).
bool send_socks5_connect(int index, const next_target& t) {
  uint8_t msg[SOCKS_REQUEST_MAX];
  const size_t n = socks5_request(request_of(t), msg, sizeof msg);
  if (n > 0) chain_io.send(index, msg, static_cast<int>(n));
  return n > 0;
}

bool send_connect_head(int index, const hop& next, const next_target& t, const proxy_login& login) {
  if (t.to.kind == socks_target::form::none) return false;
  char text[768 + 4 * PROXY_LOGIN_MAX];
  int n = snprintf(text, sizeof text, MV_LIT("CONNECT %1$s:%2$u HTTP/1.1\r\nHost: %1$s:%2$u\r\n"),
                   t.text, static_cast<unsigned>(next.port));
  if (n < 0 || static_cast<size_t>(n) >= sizeof text) return false;
  size_t used = static_cast<size_t>(n);
  if (login.user_length > 0)
    used += http_basic_line(std::string_view(login.user, login.user_length),
                            std::string_view(login.pass, login.pass_length), text + used,
                            sizeof text - used);
  chain_text_put(text, sizeof text, used, "%s", client_id_line(0));
  chain_io.send(index, text, static_cast<int>(used));
  memset(text, 0, sizeof text);
  return true;
}

// Sends the first request to the current hop. False when the next hop
// cannot be named in the hop's protocol.
bool send_request(int letter, int index, const hop& proxy, const hop& next, uint16_t proto) {
  const next_target t = target_of(index, next);
  proxy_login login{};
  // What signs in stays out of the diagnostic log's byte dumps.
  if (proxy_credentials(proxy.addr, proxy.port, login) && index >= 0 && index < SLOT_COUNT)
    conn_table[index].flags |= SLOT_SECRET_OUTPUT;
  bool sent = true;
  if (proto == PT_SOCKS4) {
    sent = send_socks4(index, t, login);
    if (sent) log_chaining(letter, index, next);
  } else if (proto == PT_SOCKS5) {
    // With a stored sign-in the proxy may also choose user/password.
    if (login.user_length > 0)
      chain_io.send(index, SOCKS5_GREETING_WITH_LOGIN.data(),
                    static_cast<int>(SOCKS5_GREETING_WITH_LOGIN.size()));
    else
      chain_io.send(index, SOCKS5_GREETING.data(), static_cast<int>(SOCKS5_GREETING.size()));
  } else if (proto == PT_HTTPS) {
    sent = send_connect_head(index, next, t, login);
    if (sent) log_chaining(letter, index, next);
  }
  memset(&login, 0, sizeof login);
  return sent;
}

// The proxy refused its sign-in: the chain fails with that reason, and the
// proxy is marked so the panel can say why.
void sign_in_refused(int letter, int index, const hop& proxy, chain_state& st) {
  st.failed = 1;
  st.socks5_stage = SIGN_IN_REFUSED;
  if (!(letter & CHAIN_QUIET)) log_line(index, "Unexpected: %s", "authentication refused");
  proxy_auth_refused(proxy.addr, proxy.port, 1);
}

bool proxy_credentials_known(const hop& proxy) {
  proxy_login login{};
  const bool known = proxy_credentials(proxy.addr, proxy.port, login);
  memset(&login, 0, sizeof login);
  return known;
}

// SOCKS5 method accepted (and any sign-in done): the connect request.
bool connect_through_socks5(int letter, int index, const hop& next, chain_state& st) {
  if (!send_socks5_connect(index, target_of(index, next))) {
    st.failed = 1;
    return false;
  }
  log_chaining(letter, index, next);
  st.socks5_stage = 1;
  return true;
}

// Each reply reader: false while the reply is incomplete or after a
// refusal (st.failed set), true when the hop accepted.

bool socks4_reply(stream& in, chain_state& st) {
  if (in.len < 8) return false;
  if (!socks4_granted(in.data)) st.failed = 1;
  stream_consume(in, 8);
  return st.failed == 0;
}

// The method reply: a sign-in when the proxy asks for one and we hold its
// credentials, else the connect request at once.
bool socks5_method_reply(int letter, int index, stream& in, const hop& proxy, const hop& next,
                         chain_state& st) {
  if (in.len < 2) return false;
  const uint8_t method = in.data[0] == 5 ? in.data[1] : 0xFF;
  stream_consume(in, 2);
  if (method == 0) return connect_through_socks5(letter, index, next, st);
  if (method == 2) {
    proxy_login login{};
    if (!proxy_credentials(proxy.addr, proxy.port, login)) {
      sign_in_refused(letter, index, proxy, st);  // it wants a sign-in we lack
      return false;
    }
    send_socks5_login(index, login);
    memset(&login, 0, sizeof login);
    st.socks5_stage = 2;
    return false;  // the sign-in reply comes next
  }
  if (method == 0xFF && proxy_credentials_known(proxy)) {
    sign_in_refused(letter, index, proxy, st);
    return false;
  }
  st.failed = 1;
  return false;
}

// The sign-in reply: accepted, the connect request follows.
bool socks5_sign_in_reply(int letter, int index, stream& in, const hop& proxy, const hop& next,
                          chain_state& st) {
  if (in.len < 2) return false;
  const bool accepted = in.data[0] == 1 && in.data[1] == 0;
  stream_consume(in, 2);
  if (!accepted) {
    sign_in_refused(letter, index, proxy, st);
    return false;
  }
  proxy_auth_refused(proxy.addr, proxy.port, 0);
  return connect_through_socks5(letter, index, next, st);
}

// The connect reply ends in the bound address, which is IPv4, a name or
// IPv6: all of it is the proxy's, none of it may reach the client.
bool socks5_connect_reply(stream& in, chain_state& st) {
  if (in.len < 5) return false;
  size_t reply_len = 0;
  if (in.data[3] == 1) reply_len = 10;
  if (in.data[3] == 3) reply_len = 7u + in.data[4];
  if (in.data[3] == 4) reply_len = 22;
  if (reply_len == 0) {
    st.failed = 1;
    stream_consume(in, in.len);
    return false;
  }
  if (in.len < reply_len) return false;
  if (!socks5_succeeded(in.data)) st.failed = 1;
  stream_consume(in, static_cast<uint32_t>(reply_len));
  return st.failed == 0;
}

// The three SOCKS5 replies in turn: method, sign-in (when asked), connect.
bool socks5_reply(int letter, int index, stream& in, const hop& proxy, const hop& next,
                  chain_state& st) {
  if (st.socks5_stage == 0 && !socks5_method_reply(letter, index, in, proxy, next, st) &&
      st.socks5_stage != 2)
    return false;
  if (st.socks5_stage == 2 && !socks5_sign_in_reply(letter, index, in, proxy, next, st))
    return false;
  return socks5_connect_reply(in, st);
}

// The CONNECT reply head; a 407 means the proxy refused our sign-in.
bool connect_reply(int letter, int index, stream& in, const hop& proxy, chain_state& st) {
  if (in.len < 7) return false;
  const size_t head = http_head_find(in.data, in.len).body;
  // A head that runs past its limit fails the hop, ended or not.
  if ((head == 0 && in.len > CONNECT_REPLY_HEAD_LIMIT) || head > CONNECT_REPLY_HEAD_LIMIT) {
    st.failed = 1;
    stream_consume(in, in.len);
    return false;
  }
  if (head == 0) return false;
  const bool wants_sign_in = status_is_407(in.data, head);
  if (!connect_reply_ok(in.data, head)) st.failed = 1;
  stream_consume(in, static_cast<uint32_t>(head));
  if (wants_sign_in) sign_in_refused(letter, index, proxy, st);
  return st.failed == 0;
}

// Handles the reply of the current hop. Returns true when it was accepted
// and the chain goes on with the next hop.
bool handle_reply(int letter, int index, stream& in, const hop* hops, chain_state& st) {
  const uint8_t h = st.hop_index;
  const hop& next = hops[h + 1];  // the caller made sure it exists
  const uint16_t proto = hop_protocol(hops[h].type);
  st.hop_proto = proto;
  switch (proto) {
    case PT_SOCKS4:
      return socks4_reply(in, st);
    case PT_SOCKS5:
      return socks5_reply(letter, index, in, hops[h], next, st);
    case PT_HTTPS:
      return connect_reply(letter, index, in, hops[h], st);
    case PT_HTTP:
      if (!(letter & CHAIN_QUIET)) log_line(index, "Unexpected: %s", "HTTP proxy in the middle");
      chain_io.abort(index);
      st.failed = 1;
      return false;
    default:
      return false;
  }
}

}  // namespace

void chain_step(int letter, int index, stream& in, const hop* hops, uint8_t hop_count,
                chain_state& st) {
  if (st.failed) return;
  if (hops == nullptr || st.hop_index >= hop_count || st.hop_index >= MAX_HOPS) {
    chain_io.abort(index);
    st.failed = 1;
    return;
  }
  if (st.awaiting) {
    if (hops[st.hop_index].type == HOP_END || st.hop_index + 1 >= hop_count) return;
    if (!handle_reply(letter, index, in, hops, st)) return;
    st.hop_index++;
    st.awaiting = 0;
  }
  const uint8_t h = st.hop_index;
  const hop& p = hops[h];
  if (p.type == HOP_END) {
    st.established = 1;
    return;
  }
  if (h + 1 >= hop_count || h + 1 >= MAX_HOPS) {  // a list without its destination entry
    st.failed = 1;
    return;
  }
  st.awaiting = 1;
  st.socks5_stage = 0;
  const uint16_t proto = hop_protocol(p.type);
  if (proto == 0) {
    st.failed = 1;
    return;
  }
  st.hop_proto = proto;
  if (proto != PT_HTTP) {
    if (!send_request(letter, index, p, hops[h + 1], proto)) {
      if (!(letter & CHAIN_QUIET))
        log_line(index, "Unexpected: %s", "the proxy cannot carry this destination");
      st.failed = 1;
    }
    return;
  }
  if (h + 2 < hop_count) {
    // A plain HTTP proxy can only forward the client's own request.
    if (!(letter & CHAIN_QUIET)) log_line(index, "HTTP proxy in the middle");
    chain_io.abort(index);
    return;
  }
  st.hop_index = static_cast<uint8_t>(h + 1);
  st.established = 1;
}
