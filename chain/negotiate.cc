// Chain negotiation.
#include "chain/negotiate.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chain/failover.h"
#include "chain/rewrite.h"
#include "chain/select.h"
#include "chain/usage.h"
#include "db/db.h"
#include "engine/loop.h"
#include "log/log.h"
#include "log/metrics.h"
#include "platform/clock.h"
#include "util/ascii.h"
#include "util/http.h"
#include "util/literal.h"
#include "util/socks.h"

uint32_t last_chain_ok = 0;

chain_io_ops chain_io = {slot_send, slot_abort};

namespace {

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

void log_chaining(int letter, int index, const hop& next) {
  if (letter & CHAIN_QUIET) return;
  uint8_t b[4];
  addr_bytes(next, b);
  log_line(index, "Chaining to %u.%u.%u.%u port %u (%s)...", b[0], b[1], b[2], b[3],
           static_cast<unsigned>(next.port), proxy_type_names(next.type));
}

// A CONNECT reply head with a 2xx status.
bool connect_reply_ok(const uint8_t* d, size_t n) {
  constexpr http_status_rules rules = {
      .leading_blanks = true, .version_digits = false, .gap_blanks = true};
  const int status = http_status_parse(d, n, rules).code;
  return status >= 200 && status <= 299;
}

void send_request(int letter, int index, const hop& next, uint16_t proto) {
  uint8_t b[4];
  addr_bytes(next, b);
  if (proto == PT_SOCKS4) {
    const auto msg = socks4_connect(next.addr, next.port);
    chain_io.send(index, msg.data(), msg.size());
    log_chaining(letter, index, next);
  } else if (proto == PT_SOCKS5) {
    chain_io.send(index, SOCKS5_GREETING.data(), SOCKS5_GREETING.size());
  } else if (proto == PT_HTTPS) {
    char text[512];
    int n = snprintf(text, sizeof text,
                     MV_LIT("CONNECT %1$u.%2$u.%3$u.%4$u:%5$u HTTP/1.1\r\n"
                            "Host: %1$u.%2$u.%3$u.%4$u:%5$u\r\n"),
                     b[0], b[1], b[2], b[3], static_cast<unsigned>(next.port));
    if (n < 0 || static_cast<size_t>(n) >= sizeof text) n = 0;
    snprintf(text + n, sizeof text - static_cast<size_t>(n), "%s", client_id_line(0));
    chain_io.send(index, text, static_cast<int>(strlen(text)));
    log_chaining(letter, index, next);
  }
}

// Each reply reader: false while the reply is incomplete or after a
// refusal (st.failed set), true when the hop accepted.

bool socks4_reply(stream& in, chain_state& st) {
  if (in.len < 8) return false;
  if (!socks4_granted(in.data)) st.failed = 1;
  stream_consume(in, 8);
  return st.failed == 0;
}

// The method reply: on "no authentication" the connect request follows.
bool socks5_method_reply(int letter, int index, stream& in, const hop& next, chain_state& st) {
  if (in.len < 2) return false;
  if (socks5_succeeded(in.data)) {
    const auto msg = socks5_connect(next.addr, next.port);
    chain_io.send(index, msg.data(), msg.size());
    log_chaining(letter, index, next);
    st.socks5_stage = 1;
  } else {
    st.failed = 1;
  }
  stream_consume(in, 2);
  return st.failed == 0;
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

bool connect_reply(stream& in, chain_state& st) {
  if (in.len < 7) return false;
  const size_t head = http_head_find(in.data, in.len).body;
  // A head that runs past its limit fails the hop, ended or not.
  if ((head == 0 && in.len > CONNECT_REPLY_HEAD_LIMIT) || head > CONNECT_REPLY_HEAD_LIMIT) {
    st.failed = 1;
    stream_consume(in, in.len);
    return false;
  }
  if (head == 0) return false;
  if (!connect_reply_ok(in.data, head)) st.failed = 1;
  stream_consume(in, static_cast<uint32_t>(head));
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
      if (st.socks5_stage == 0 && !socks5_method_reply(letter, index, in, next, st)) return false;
      return socks5_connect_reply(in, st);
    case PT_HTTPS:
      return connect_reply(in, st);
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
    send_request(letter, index, hops[h + 1], proto);
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
    const int full = snprintf(t, TARGET_SIZE, "%s : %d", client.dest_host, client.dest_port);
    (void)full;
  }
}

void log_building(int out, const route_record& r, const char* dest_host) {
  char text[1400];
  size_t used = 0;
  text[0] = '\0';
  for (int i = 0; i < r.hop_count; ++i) {
    const hop& h = r.hops[i];
    uint8_t b[4];
    addr_bytes(h, b);
    put(text, sizeof text, used, "%s%u.%u.%u.%u:%u", i == 0 ? "" : " --> ", b[0], b[1], b[2], b[3],
        static_cast<unsigned>(h.port));
    if (h.type != HOP_END)
      put(text, sizeof text, used, " (%s)", proxy_type_names(h.type));
    else if (dest_host[0] != '\0' && is_name(dest_host))
      put(text, sizeof text, used, " (%s)", dest_host);
  }
  log_line(out, "Building chain: %s", text);
}

// client_id_line state.
char id_text[256];
size_t id_length = 0;
uint32_t id_built = 0;
uint32_t id_random = 0;
char id_line[256];

}  // namespace

attempt_result chain_attempt(int index) {
  if (index < 0 || index >= SLOT_COUNT) return attempt_result::no_slot;
  conn_slot& c = conn_table[index];
  route_record& rc = route_of(c);
  c.dest_host[DEST_HOST_SIZE - 1] = '\0';
  // The hops first: without a chain the client stays unlinked and can
  // still be answered.
  route_record ro{};
  if (!chain_hops(ro, c.dest_host, c.dest_port, rc.client.excluded, rc.client.excluded_count))
    return attempt_result::no_chain;
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
  if (!slot_connect(out, ro.hops[0].addr, ro.hops[0].port)) slot_abort(out);
  return attempt_result::started;
}

void chain_start(int index, size_t http_offset) {
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_slot& c = conn_table[index];
  // A non-zero offset whose low byte is 0 still marks a request to check.
  const uint8_t check = http_offset == 0 ? 0 : ((http_offset & 0xFF) ? (http_offset & 0xFF) : 1);
  route_record& rc = route_of(c);
  memset(&rc, 0, sizeof rc);
  rc.side = 1;
  rc.check_reply = check;
  fill_target(c, rc, http_offset);
  const attempt_result started = chain_attempt(index);
  if (started == attempt_result::no_chain) {
    chain_failure none{};
    none.fault = chain_fault::no_chain;
    chain_give_up(index, none);
  } else if (started == attempt_result::no_slot) {
    slot_abort(index);
  }
}

const char* chain_tunnel_head() {
  return MV_LIT("HTTP/1.1 200 Connection established\r\n\r\n");
}

namespace {

// The destination was reached: a CONNECT client learns it now, not before.
void chain_stands(int index) {
  last_chain_ok = tick_now();
  const int client = slot_linked(index);
  if (client >= 0 && conn_table[client].proto == PROTO_CONNECT) {
    const char* head = chain_tunnel_head();
    slot_send(client, head, static_cast<int>(strlen(head)));
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
  if (r.side != 0) return;
  if (letter != 'X' && tick_now() - s.started > CHAIN_TIME_LIMIT_MS) {
    slot_abort(index);
    return;
  }
  if (letter == 'T') return;
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
  if (r.established) chain_stands(index);
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
  usage_proxy list[3] = {};
  list[0] = usage_proxy{r.hops[r.hop_index].addr, r.hops[r.hop_index].port};
  if (r.hop_index + 1 < MAX_HOPS && r.hops[r.hop_index + 1].type != HOP_END)
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
    if (h.type == HOP_END && is_name(s.dest_host)) {
      put(text, sizeof text, used, "%s%.255s:%u", sep, s.dest_host, static_cast<unsigned>(h.port));
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
    uint32_t r[9];
    for (int i = 1; i <= 8; ++i) {
      id_random = now + 17u * id_random;
      if (static_cast<int32_t>(id_random) < 0) id_random = 0u - id_random;
      r[i] = id_random;
    }
    const int n = snprintf(
        id_text, sizeof id_text,
        MV_LIT("User-Agent: Mozilla/%u.0 (X11; Linux x86_64; rv:%u.0) Gecko/20100101 "
               "Firefox/%u.%u\r\nAccept-Language: en-US,en;q=0.%u\r\nX-Request-Id: %u-%u-%u\r\n"),
        r[8] % 6 + 5, r[7] % 99, r[6] % 3 + 4, r[5] % 3 + 1, r[4] % 10, r[3] % 99, r[2] % 5 + 6,
        r[1] % 99);
    id_length = n > 0 ? (static_cast<size_t>(n) < sizeof id_text ? static_cast<size_t>(n)
                                                                 : sizeof id_text - 1)
                      : 0;
    id_built = now;
  }
  size_t used = 0;
  id_line[0] = '\0';
  put(id_line, sizeof id_line - 2, used, "%s", id_text);
  if (flag == 1) put(id_line, sizeof id_line - 2, used, "%s", MV_LIT("Connection: close\r\n"));
  put(id_line, sizeof id_line, used, "\r\n");
  return id_line;
}

void chain_relay(int index) {
  int other = slot_linked(index);
  if (other >= 0) relay_hook(index, other);
  slot_relay(index);
}

void chain_relay_handler(int index, char letter) {
  // Drained output needs nothing here: the socket layer resumes reading the
  // other side by itself once there is room.
  if (letter == slot_event::drained) return;
  chain_relay(index);
  if (letter == slot_event::closing) chain_close(index);
}

void chain_attach() {
  slot_attach(slot_kind::chain, chain_handler);
  slot_attach(slot_kind::relay, chain_relay_handler);
  engine_every(USAGE_FLUSH_MS, usage_flush);
}
