// Chain negotiation.
#include "chain/negotiate.h"

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

uint32_t last_chain_ok = 0;

namespace {
local_address_test local_test = nullptr;
}  // namespace

chain_io_ops chain_io = {slot_send, slot_abort};

namespace {

// Appends the text at `used` within `size` bytes, keeping the terminator.
void put(char* buf, size_t size, size_t& used, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void put(char* buf, size_t size, size_t& used, const char* format, ...) {
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

const uint8_t* addr_bytes(const hop& h, uint8_t (&out)[4]) {
  const uint32_t a = h.addr;
  memcpy(out, &a, 4);
  return out;
}

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
    addr_bytes(next, b);
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
  put(text, sizeof text, used, "%s", client_id_line(0));
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

// A reply head whose status is 407 (proxy sign-in required or refused).
bool status_is_407(const uint8_t* d, size_t n) {
  size_t i = 0;
  while (i < n && ascii_is_blank(d[i])) ++i;
  while (i < n && !ascii_is_blank(d[i])) ++i;
  while (i < n && d[i] == ' ') ++i;
  return i + 3 <= n && d[i] == '4' && d[i + 1] == '0' && d[i + 2] == '7' &&
         (i + 3 == n || ascii_is_blank(d[i + 3]));
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

namespace {

chain_state state_of(const route_record& r) {
  return chain_state{r.hop_index, r.failed, r.established, r.awaiting, r.socks5_stage, r.hop_proto};
}

void store_state(route_record& r, const chain_state& st) {
  r.hop_index = st.hop_index;
  r.failed = st.failed;
  r.established = st.established;
  r.awaiting = st.awaiting;
  r.socks5_stage = st.socks5_stage;
  r.hop_proto = st.hop_proto;
}

bool is_name(const char* host) {
  for (const char* p = host; *p; ++p)
    if (!ascii_is_digit(static_cast<uint8_t>(*p)) && *p != '.') return true;
  return false;
}

void fill_target(conn_slot& client, route_record& rc, size_t http_offset) {
  char* t = rc.target;
  memset(t, 0, TARGET_SIZE);
  size_t n = 0;
  if (http_offset != 0 && client.in.len > 0 && client.in.data != nullptr) {
    const uint8_t* d = client.in.data;
    const size_t len = client.in.len;
    size_t i = http_verb_offset(d, len);
    while (i < len && ascii_is_blank(d[i])) ++i;
    if (i + 7 <= len && ascii_lower(d[i]) == 'h' && ascii_lower(d[i + 1]) == 't' &&
        ascii_lower(d[i + 2]) == 't' && ascii_lower(d[i + 3]) == 'p' && d[i + 4] == ':' &&
        d[i + 5] == '/' && d[i + 6] == '/')
      i += 7;
    while (i < len && d[i] != ' ' && d[i] != '\r' && d[i] != '\n' && d[i] != '?' && d[i] != '&' &&
           d[i] != 0) {
      if (n == 70) {
        memcpy(t + n, "[...]", 5);
        n += 5;
        break;
      }
      t[n++] = static_cast<char>(d[i++]);
    }
    t[n] = '\0';
  }
  if (n == 0) {
    // A host name too long for the text is cut short; the text is only shown.
    char shown[DEST_HOST_SIZE + 2];
    host_for_display(client.dest_host, shown, sizeof shown);
    const int full = snprintf(t, TARGET_SIZE, "%.60s : %d", shown, client.dest_port);
    (void)full;
  }
}

void log_building(int out, const route_record& r, const char* dest_host) {
  char text[1400];
  size_t used = 0;
  text[0] = '\0';
  for (int i = 0; i < r.hop_count; ++i) {
    const hop& h = r.hops[i];
    const char* sep = i == 0 ? "" : " --> ";
    if (h.type == HOP_END && h.addr == 0) {  // the last proxy is given the host text
      char shown[DEST_HOST_SIZE + 2];
      host_for_display(dest_host, shown, sizeof shown);
      put(text, sizeof text, used, "%s%s:%u", sep, shown, static_cast<unsigned>(h.port));
      continue;
    }
    uint8_t b[4];
    addr_bytes(h, b);
    put(text, sizeof text, used, "%s%u.%u.%u.%u:%u", sep, b[0], b[1], b[2], b[3],
        static_cast<unsigned>(h.port));
    if (h.type != HOP_END)
      put(text, sizeof text, used, " (%s)", proxy_type_names(h.type));
    else if (dest_host[0] != '\0' && is_name(dest_host))
      put(text, sizeof text, used, " (%s)", dest_host);
  }
  log_line(out, "Building chain: %s", text);
}

// client_id_line state: the lines drawn at start (and again every ten
// hours), so that nothing in them is the same for every user.
char id_text[256];
size_t id_length = 0;
uint32_t id_built = 0;
char id_line[256];

// Browser identifications as ordinary browsers send them; %1$u is the
// major version, drawn from the range of the browser's recent releases.
struct agent_form {
  const char* format;
  uint16_t first_version;
  uint16_t versions;
};
constexpr agent_form AGENT_FORMS[] = {
    {"Mozilla/5.0 (X11; Linux x86_64; rv:%1$u.0) Gecko/20100101 Firefox/%1$u.0", 128, 12},
    {"Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:%1$u.0) Gecko/20100101 Firefox/%1$u.0", 128, 12},
    {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10.15; rv:%1$u.0) Gecko/20100101 Firefox/%1$u.0", 128,
     12},
    {"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/%1$u.0.0.0 Safari/537.36",
     126, 12},
    {"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/%1$u.0.0.0 Safari/537.36",
     126, 12},
    {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/%1$u.0.0.0 Safari/537.36",
     126, 12},
};
constexpr const char* LANGUAGES[] = {
    "en-US,en;q=0.9",          "en-US,en;q=0.5",          "en-GB,en;q=0.9",
    "de-DE,de;q=0.9,en;q=0.8", "fr-FR,fr;q=0.9,en;q=0.8", "es-ES,es;q=0.9,en;q=0.8",
    "it-IT,it;q=0.9,en;q=0.8", "nl-NL,nl;q=0.9,en;q=0.8",
};

uint32_t random_word() {
  uint32_t value = 0;
  if (getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value))
    value = tick_now() * 2654435761u ^ static_cast<uint32_t>(wall_now_ms());
  return value;
}

// Draws one identification (User-Agent and Accept-Language lines) into
// id_text, different from the one it replaces.
void draw_identification() {
  char previous[sizeof id_text];
  memcpy(previous, id_text, sizeof previous);
  for (int attempt = 0; attempt < 8; ++attempt) {
    const uint32_t r = random_word();
    const agent_form& form = AGENT_FORMS[r % std::size(AGENT_FORMS)];
    const unsigned version = form.first_version + (r >> 8) % form.versions;
    const char* language = LANGUAGES[(r >> 16) % std::size(LANGUAGES)];
    char agent[200];
    snprintf(agent, sizeof agent, form.format, version);
    const int n = snprintf(id_text, sizeof id_text, "User-Agent: %s\r\nAccept-Language: %s\r\n",
                           agent, language);
    id_length = n > 0 ? (static_cast<size_t>(n) < sizeof id_text ? static_cast<size_t>(n)
                                                                 : sizeof id_text - 1)
                      : 0;
    if (previous[0] == 0 || strcmp(previous, id_text) != 0) return;
  }
}

}  // namespace

bool chain_hop_is_us(uint32_t addr, uint16_t port) {
  if (port != listen_port) return false;
  if (listen_address != 0) return addr == listen_address || addr == 0;
  return addr == 0 || (local_test != nullptr && local_test(addr)) || (addr & 0xFF) == 127;
}

namespace {

// The chain's hops (chain_hops' result), none of them this program's own
// listener: a proxy that is us is avoided like a failed one and the chain
// picked again; a fixed link to us leaves no chain.
int hops_without_us(route_record& ro, client_route& client, const char* host, uint16_t port,
                    bool tunnel) {
  for (int round = 0; round < 4; ++round) {
    const int hops = chain_hops(ro, host, port, client.excluded, client.excluded_count, tunnel);
    if (hops != 1) return hops;
    int found = -1;
    for (int i = 0; i + 1 < ro.hop_count && found < 0; ++i)
      if (chain_hop_is_us(ro.hops[i].addr, ro.hops[i].port)) found = i;
    if (found < 0) return 1;
    if ((chain_cache.fixed_mask >> found) & 1u || client.excluded_count >= CHAIN_EXCLUDED_MAX)
      return 0;
    client.excluded[client.excluded_count++] = proxy_ref{ro.hops[found].addr, ro.hops[found].port};
  }
  return 0;
}

// A SOCKS client is told "granted" once its chain stands, except where the
// last link gives only plain HTTP proxies: those need the client's request
// to be asked at all, so the client has its reply now and the chain starts
// again with the request (kind first_data: recognition reads it).
bool socks_reply_first(conn_slot& c) {
  if (c.proto != PROTO_SOCKS4 && c.proto != PROTO_SOCKS5) return false;
  route_record& rc = route_of(c);
  if (rc.client.replied) return false;
  const int index = static_cast<int>(&c - conn_table);
  chain_socks_reply(index, 0);
  c.deadline = 0;
  c.kind = slot_kind::first_data;
  return true;
}

}  // namespace

void chain_socks_reply(int index, uint8_t code) {
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_slot& c = conn_table[index];
  route_record& rc = route_of(c);
  if (rc.side != 1 || rc.client.replied) return;
  rc.client.replied = 1;
  if (c.proto == PROTO_SOCKS4) {
    const uint8_t reply4[8] = {0x00, static_cast<uint8_t>(code == 0 ? 0x5A : 0x5B), 0, 0, 0, 0, 0,
                               0};
    slot_send(index, reply4, sizeof reply4);
  } else if (c.proto == PROTO_SOCKS5) {
    const uint8_t reply5[10] = {0x05, code, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
    slot_send(index, reply5, sizeof reply5);
  }
}

attempt_result chain_attempt(int index) {
  if (index < 0 || index >= SLOT_COUNT) return attempt_result::no_slot;
  conn_slot& c = conn_table[index];
  route_record& rc = route_of(c);
  c.dest_host[DEST_HOST_SIZE - 1] = '\0';
  // A name looked up here (off the engine thread) goes on as its address.
  char looked_up[16];
  const char* host = c.dest_host;
  if (rc.client.resolved != 0) {
    const uint8_t* a = reinterpret_cast<const uint8_t*>(&rc.client.resolved);
    snprintf(looked_up, sizeof looked_up, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    host = looked_up;
  }
  // The hops first: without a chain the client stays unlinked and can
  // still be answered.
  route_record ro{};
  // A client without a plain HTTP request to forward (check_reply 0: a
  // CONNECT tunnel, a SOCKS client's other data) needs a last hop that
  // tunnels; a SOCKS client whose last link gives only plain HTTP proxies
  // is told "granted" first and asked for its request.
  const int hops = hops_without_us(ro, rc.client, host, c.dest_port, rc.check_reply == 0);
  if (hops == CHAIN_HOPS_HTTP_LAST)
    return socks_reply_first(c) ? attempt_result::deferred : attempt_result::http_last;
  if (hops != 1) return attempt_result::no_chain;
  rc.client.fixed_mask = chain_cache.fixed_mask;
  const int out = slot_create_linked(index);
  if (out < 0) return attempt_result::no_slot;
  conn_slot& o = conn_table[out];
  o.kind = slot_kind::chain;
  // A failed attempt closes alone: its 'X' decides whether the client
  // gets another one.
  o.flags |= SLOT_CLOSE_ALONE;
  if (o.started == 0) o.started = tick_now();
  o.dest_port = conn_table[index].dest_port;
  memcpy(o.dest_host, conn_table[index].dest_host, DEST_HOST_SIZE);
  ro.hop_index = 0;
  ro.check_reply = route_of(index).check_reply;
  route_of(o) = ro;
  if (log_level_get() >= 2) log_building(out, ro, o.dest_host);
  if (!slot_connect(out, ro.hops[0].addr, ro.hops[0].port))
    slot_abort(out);
  else
    slot_set_deadline(out, chain_connect_limit_ms());
  return attempt_result::started;
}

namespace {

// A name this machine has to look up itself ("remote_dns" off).
bool needs_lookup(const char* host) {
  uint32_t v4 = 0;
  uint8_t v6[16];
  return host[0] != 0 && !ipv4_literal(host, &v4) && !ipv6_literal(host, v6) &&
         !is_invalid_name(host) && !chain_remote_names();
}

// The client's lookup while every entry of the lookup table is taken.
constexpr uint8_t LOOKUP_QUEUED = 0xFF;
static_assert(RESOLVE_TABLE < LOOKUP_QUEUED);

// Hands the client's name to the resolver workers, or leaves it queued.
void start_lookup(conn_slot& c, route_record& rc) {
  const int ticket = resolve_start(c.dest_host);
  rc.client.lookup = ticket >= 0 ? static_cast<uint8_t>(ticket + 1) : LOOKUP_QUEUED;
}

void first_attempt(int index) {
  const attempt_result started = chain_attempt(index);
  if (started == attempt_result::http_last) {
    chain_failure why{};
    why.fault = chain_fault::http_last;
    chain_refused(index, why);
  } else if (started == attempt_result::no_chain) {
    chain_cannot_start(index);
  } else if (started == attempt_result::no_slot) {
    slot_abort(index);
  }
}

// The client's chain ran out of time: the attempt under way ends as its
// hop's failure, and no other follows.
void chain_out_of_time(int client) {
  route_record& rc = route_of(client);
  rc.client.out_of_time = 1;
  const int out = slot_linked(client);
  if (out >= 0 && conn_table[out].kind == slot_kind::chain && route_of(out).side == 0) {
    chain_stop_attempt(out, STEP_TIMED_OUT);
    return;
  }
  if (rc.client.lookup != 0 && rc.client.lookup != LOOKUP_QUEUED)
    resolve_cancel(rc.client.lookup - 1);
  rc.client.lookup = 0;
  chain_failure f{};
  f.fault = chain_fault::out_of_time;
  chain_give_up(client, f);
}

// A looked-up name that is this machine: an HTTP or CONNECT client gets
// the local-address page, as when the address was given.
void refuse_local(int index) {
  conn_slot& slot = conn_table[index];
  send_error_page(&slot.in, index, PAGE_LOCALHOST, &slot);
  memset(slot.route, 0, ROUTE_SIZE);
  snprintf(slot_area<slot_text>(slot).text, ROUTE_SIZE, "%s", "Destination is localhost");
  slot.kind = slot_kind::error;
}

}  // namespace

void chain_start(int index, size_t http_offset) {
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_slot& c = conn_table[index];
  // A non-zero offset whose low byte is 0 still marks a request to check.
  const uint8_t check = http_offset == 0 ? 0 : ((http_offset & 0xFF) ? (http_offset & 0xFF) : 1);
  route_record& rc = route_of(c);
  // A SOCKS client that had its reply before its request was read keeps it.
  const uint8_t replied = rc.side == 1 ? rc.client.replied : 0;
  memset(&rc, 0, sizeof rc);
  rc.side = 1;
  rc.client.replied = replied;
  rc.check_reply = check;
  slot_set_deadline(index, chain_total_limit_ms());
  fill_target(c, rc, http_offset);
  if (needs_lookup(c.dest_host)) {
    // The chain starts once the name is looked up (chain_lookups_poll);
    // with every lookup entry taken the client waits for one.
    rc.client.lookup_started = tick_now();
    start_lookup(c, rc);
    return;
  }
  first_attempt(index);
}

void chain_lookups_poll() {
  const int used = slot_count_used();
  const uint32_t now = tick_now();
  for (int i = 1; i < used; ++i) {
    conn_slot& s = conn_table[i];
    if (s.sock == -1 || s.kind != slot_kind::chain) continue;
    route_record& rc = route_of(s);
    if (rc.side != 1 || rc.client.lookup == 0) continue;
    if (rc.client.lookup == LOOKUP_QUEUED) start_lookup(s, rc);
    const bool queued = rc.client.lookup == LOOKUP_QUEUED;
    const int ticket = rc.client.lookup - 1;
    uint32_t addr = 0;
    resolve_state state = queued ? resolve_state::pending : resolve_poll(ticket, &addr);
    if (state == resolve_state::pending && now - rc.client.lookup_started <= RESOLVE_LIMIT_MS)
      continue;
    if (state == resolve_state::pending && !queued) resolve_cancel(ticket);
    rc.client.lookup = 0;
    if (state != resolve_state::done) {
      chain_failure none{};
      none.fault = chain_fault::no_chain;
      chain_give_up(i, none);
      continue;
    }
    rc.client.resolved = addr;
    if (local_test != nullptr && local_test(addr) && (s.proto == PROTO_CONNECT || rc.check_reply)) {
      refuse_local(i);
      continue;
    }
    first_attempt(i);
  }
}

void chain_set_local_test(local_address_test test) {
  local_test = test;
}

const char* chain_tunnel_head() {
  return MV_LIT("HTTP/1.1 200 Connection established\r\n\r\n");
}

namespace {

// The destination was reached: a CONNECT client learns it now, not before.
void chain_stands(int index) {
  last_chain_ok = tick_now();
  // Relayed bytes may be dumped again once every sign-in byte is out.
  if (conn_table[index].out.len == 0) conn_table[index].flags &= ~SLOT_SECRET_OUTPUT;
  slot_set_deadline(index, 0);
  const int client = slot_linked(index);
  if (client >= 0) {
    slot_set_deadline(client, 0);
    if (conn_table[client].proto == PROTO_CONNECT) {
      const char* head = chain_tunnel_head();
      slot_send(client, head, static_cast<int>(strlen(head)));
    }
    chain_socks_reply(client, 0);
  }
  chain_relay(index);
}

// 'X' of an outbound slot still negotiating: the failure is described
// before the report changes the record, then the attempt is reported and
// the client's fate decided.
void chain_attempt_closed(int index) {
  route_record& r = route_of(index);
  const chain_failure failure = chain_failure_of(r);
  const int client = chain_client_of(index);
  chain_close(index);
  // Whatever failed (an unreachable first proxy too), the next client
  // builds its chain afresh.
  if (failure.fault != chain_fault::none) chain_cache_clear();
  if (client >= 0) chain_failed(client, failure);
}

}  // namespace

void chain_handler(int index, char letter) {
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_slot& s = conn_table[index];
  route_record& r = route_of(s);
  if (r.side == 1 && letter == slot_event::closing && r.client.lookup != 0) {
    // The client left while its name was looked up (or waited for an entry).
    if (r.client.lookup != LOOKUP_QUEUED) resolve_cancel(r.client.lookup - 1);
    r.client.lookup = 0;
  }
  if (r.side != 0) {
    if (letter == slot_event::deadline) chain_out_of_time(index);
    return;
  }
  if (letter == slot_event::deadline || letter == slot_event::looped) {
    chain_stop_attempt(index, letter == slot_event::deadline ? STEP_TIMED_OUT : LOOP_FOUND);
    return;
  }
  if (letter == 'T') return;
  const uint8_t hop_before = r.hop_index;
  // A close before anything was asked (the connect to the first proxy
  // failed) sends nothing and blames no one.
  if (!r.established && (letter != 'X' || r.awaiting)) {
    chain_state st = state_of(r);
    chain_step(letter, index, s.in, r.hops, r.hop_count, st);
    store_state(r, st);
  }
  if (letter == 'X') {
    chain_attempt_closed(index);
    slot_abort(index);
    return;
  }
  if (r.failed) {
    slot_abort(index);
    return;
  }
  if (r.established) {
    chain_stands(index);
    return;
  }
  // Each hop's reply has its own time, from when its request went out.
  if (letter == slot_event::connected || r.hop_index != hop_before)
    slot_set_deadline(index, chain_hop_limit_ms());
}

int chain_loop_source(const char* host, uint16_t port, uint32_t since) {
  if (host == nullptr || host[0] == 0 || port != listen_port) return -1;
  const int used = slot_count_used();
  for (int i = 1; i < used; ++i) {
    const conn_slot& o = conn_table[i];
    if (o.sock == -1 || (o.kind != slot_kind::chain && o.kind != slot_kind::relay)) continue;
    if (route_of(o).side != 0 || o.dest_port != port || strcasecmp(o.dest_host, host) != 0)
      continue;
    if (since - o.started <= LOOP_WINDOW_MS) return i;
  }
  return -1;
}

void chain_loop_found(int out) {
  if (out < 0 || out >= SLOT_COUNT || conn_table[out].sock == -1) return;
  if (!route_of(out).established) {
    chain_stop_attempt(out, LOOP_FOUND);
    return;
  }
  log_line(out, "Unexpected: %s", "loop through this program");
  console_line("chain to %.66s:%u closed: loop through this program", conn_table[out].dest_host,
               static_cast<unsigned>(conn_table[out].dest_port));
  slot_abort(out);
}

void chain_stop_attempt(int index, uint8_t why) {
  if (index < 0 || index >= SLOT_COUNT) return;
  route_record& r = route_of(index);
  if (r.side != 0 || r.established || r.failed) return;
  r.failed = 1;
  r.socks5_stage = why;
  log_line(index, "Unexpected: %s",
           why == LOOP_FOUND ? "loop through this program" : "no answer in time");
  slot_abort(index);
}

void chain_report(route_record& r, uint32_t bytes, int failed, int log_index) {
  if (r.hop_index >= MAX_HOPS || r.hop_count > MAX_HOPS) return;
  if (!failed) {
    if (r.established) {
      usage_proxy list[MAX_HOPS + 1] = {};
      int n = 0;
      for (int i = 0; i < r.hop_count && r.hops[i].type != HOP_END; ++i)
        list[n++] = usage_proxy{r.hops[i].addr, r.hops[i].port};
      usage_record(list, bytes, 1);
      return;
    }
    if (r.hop_index + 1 == r.hop_count || !r.awaiting) return;
    if (log_index >= 0) log_line(log_index, "Server did not reply.");
    r.failed = 1;
  }
  if (r.hop_index + 1 == r.hop_count) {
    if (log_index >= 0) log_line(log_index, "Destination host error ignored.");
    return;
  }
  // A loop is no proxy's failure: the name or rule that leads back here is.
  if (r.socks5_stage == LOOP_FOUND) return;
  usage_proxy list[3] = {};
  list[0] = usage_proxy{r.hops[r.hop_index].addr, r.hops[r.hop_index].port};
  // A connect out of time is that proxy's own failure: nothing was asked
  // of the next one.
  const bool alone = r.socks5_stage == STEP_TIMED_OUT && !r.awaiting;
  if (!alone && r.hop_index + 1 < MAX_HOPS && r.hops[r.hop_index + 1].type != HOP_END)
    list[1] = usage_proxy{r.hops[r.hop_index + 1].addr, r.hops[r.hop_index + 1].port};
  usage_record(list, bytes, 0);
}

void chain_report(route_record& r, uint32_t bytes, int failed) {
  chain_report(r, bytes, failed, -1);
}

void chain_close(int index) {
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_slot& s = conn_table[index];
  route_record& r = route_of(s);
  log_line(index, "Chain connection closed.");
  if (r.side != 0) return;  // the client side holds no hops
  // A chain that never stood is counted where its failure is decided
  // (retried, or given up for the client).
  if (r.established) metrics_chain_closed(r.failed == 0, s.out.total, s.in.total);
  chain_report(r, s.out.total, r.failed, index);
  if (r.failed) chain_cache_clear();
  if (log_level_get() <= 0) return;
  char text[1400];
  size_t used = 0;
  text[0] = '\0';
  for (int i = 0; i < r.hop_count && i < MAX_HOPS; ++i) {
    const hop& h = r.hops[i];
    const char* sep = i == 0 ? "" : " ";
    if (h.type == HOP_END && (h.addr == 0 || is_name(s.dest_host))) {
      char shown[DEST_HOST_SIZE + 2];
      host_for_display(s.dest_host, shown, sizeof shown);
      put(text, sizeof text, used, "%s%.257s:%u", sep, shown, static_cast<unsigned>(h.port));
    } else {
      uint8_t b[4];
      addr_bytes(h, b);
      put(text, sizeof text, used, "%s%u.%u.%u.%u:%u", sep, b[0], b[1], b[2], b[3],
          static_cast<unsigned>(h.port));
    }
  }
  traffic_record(text, s.in.total, s.out.total);
}

const char* client_id_line(int flag) {
  const uint32_t now = tick_now();
  if (id_length == 0 || now - id_built > 36000000u) {
    draw_identification();
    id_built = now;
  }
  size_t used = 0;
  id_line[0] = '\0';
  put(id_line, sizeof id_line - 2, used, "%s", id_text);
  if (flag == 1) put(id_line, sizeof id_line - 2, used, "%s", MV_LIT("Connection: close\r\n"));
  put(id_line, sizeof id_line, used, "\r\n");
  return id_line;
}

namespace {

enum class first_reply { pass, hold, refused };

// Bytes of a status line worth waiting for before judging it.
constexpr uint32_t STATUS_LINE_WAIT = 64;

// The first reply through a plain HTTP last proxy, judged while all of it
// is still here: a 407 is the proxy wanting a sign-in it has not got (or
// refusing ours), not the site's answer.
first_reply judge_http_hop_reply(const conn_slot& out) {
  const route_record& ro = route_of(out);
  if (ro.side != 0 || !ro.established || ro.hop_proto != PT_HTTP || ro.failed || ro.hop_count < 2 ||
      ro.hop_count > MAX_HOPS)
    return first_reply::pass;
  if (out.in.len == 0 || out.in.total != out.in.len) return first_reply::pass;
  const void* end = memchr(out.in.data, '\n', out.in.len);
  if (end == nullptr && out.in.len < STATUS_LINE_WAIT && !(out.flags & SLOT_CLOSE_REQUESTED))
    return first_reply::hold;
  const size_t line = end != nullptr
                          ? static_cast<size_t>(static_cast<const uint8_t*>(end) - out.in.data)
                          : out.in.len;
  return status_is_407(out.in.data, line) ? first_reply::refused : first_reply::pass;
}

// The client gets this program's own 502 page naming the proxy; nothing
// of the proxy's reply reaches it. The proxy is marked and counted failed.
void refuse_http_hop(int out) {
  conn_slot& o = conn_table[out];
  route_record& ro = route_of(o);
  const hop& proxy = ro.hops[ro.hop_count - 2];
  ro.failed = 1;
  log_line(out, "Unexpected: %s", "authentication refused");
  proxy_auth_refused(proxy.addr, proxy.port, 1);
  const usage_proxy blamed[2] = {{proxy.addr, proxy.port}, {0, 0}};
  usage_record(blamed, 0, 0);
  chain_cache_clear();
  slot_consume(out, o.in.len, 0);
  chain_failure f{};
  f.fault = chain_fault::auth_refused;
  f.hop = static_cast<uint8_t>(ro.hop_count - 2);
  f.proxy = proxy_ref{proxy.addr, proxy.port};
  char why[FAILURE_TEXT_SIZE];
  chain_failure_text(f, why, sizeof why);
  const int client = slot_linked(out);
  if (client >= 0) send_bad_gateway(client, why, &conn_table[client]);
  slot_abort(out);
}

// The first reply through a plain HTTP last proxy is judged first; then
// rewriting, then the relay; a reply head that is not whole yet waits in
// the outbound slot's input, except when the pair closes.
void relay_pair(int index, bool closing) {
  const int other = slot_linked(index);
  if (other < 0) return;
  const int out = route_of(index).side == 0 ? index : other;
  const first_reply verdict = judge_http_hop_reply(conn_table[out]);
  if (verdict == first_reply::refused) {
    refuse_http_hop(out);
    return;
  }
  if (verdict == first_reply::hold && !closing) return;
  const uint32_t held = relay_hook(index, other);
  slot_relay_holding(index, out, closing ? 0 : held);
}
}  // namespace

void chain_relay(int index) {
  relay_pair(index, false);
}

void chain_relay_handler(int index, char letter) {
  // Drained output needs nothing here: the socket layer resumes reading the
  // other side by itself once there is room.
  if (letter == slot_event::drained) return;
  relay_pair(index, letter == slot_event::closing);
  if (letter == slot_event::closing) chain_close(index);
}

void chain_attach() {
  slot_attach(slot_kind::chain, chain_handler);
  slot_attach(slot_kind::relay, chain_relay_handler);
  engine_every(USAGE_FLUSH_MS, usage_flush);
  engine_every(LOOKUP_POLL_MS, chain_lookups_poll);
}
