// One client's chain attempts: the start at the request, the hops picked
// without this program, the outbound slot and the handler that walks it
// through the hops, its time limits, the SOCKS reply, and the loop checks.
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
#include "chain/race.h"
#include "chain/rewrite.h"
#include "chain/ruleset.h"
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
      chain_text_put(text, sizeof text, used, "%s%s:%u", sep, shown, static_cast<unsigned>(h.port));
      continue;
    }
    uint8_t b[4];
    hop_addr_bytes(h, b);
    chain_text_put(text, sizeof text, used, "%s%u.%u.%u.%u:%u", sep, b[0], b[1], b[2], b[3],
                   static_cast<unsigned>(h.port));
    if (h.type != HOP_END)
      chain_text_put(text, sizeof text, used, " (%s)", proxy_type_names(h.type));
    else if (dest_host[0] != '\0' && host_is_name(dest_host))
      chain_text_put(text, sizeof text, used, " (%s)", dest_host);
  }
  log_line(out, "Building chain: %s", text);
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
int hops_without_us(route_record& ro, proxy_ref* avoid, uint8_t& avoid_count, int capacity,
                    const char* host, uint16_t port, bool tunnel) {
  for (int round = 0; round < 4; ++round) {
    const int hops = chain_hops(ro, host, port, avoid, avoid_count, tunnel);
    if (hops != 1) return hops;
    int found = -1;
    for (int i = 0; i + 1 < ro.hop_count && found < 0; ++i)
      if (chain_hop_is_us(ro.hops[i].addr, ro.hops[i].port)) found = i;
    if (found < 0) return 1;
    if ((chain_cache.fixed_mask >> found) & 1u || avoid_count >= capacity) return 0;
    avoid[avoid_count++] = proxy_ref{ro.hops[found].addr, ro.hops[found].port};
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

int chain_pick_hops(int index, route_record& ro, proxy_ref* avoid, uint8_t& avoid_count,
                    int capacity) {
  conn_slot& c = conn_table[index];
  const route_record& rc = route_of(c);
  c.dest_host[DEST_HOST_SIZE - 1] = '\0';
  // A name looked up here (off the engine thread) goes on as its address.
  char looked_up[16];
  const char* host = c.dest_host;
  if (rc.client.resolved != 0) {
    const uint8_t* a = reinterpret_cast<const uint8_t*>(&rc.client.resolved);
    snprintf(looked_up, sizeof looked_up, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    host = looked_up;
  }
  // A client without a plain HTTP request to forward (check_reply 0: a
  // CONNECT tunnel, a SOCKS client's other data) needs a last hop that
  // tunnels.
  return hops_without_us(ro, avoid, avoid_count, capacity, host, c.dest_port, rc.check_reply == 0);
}

int chain_open_attempt(int index, const route_record& hops, bool racer) {
  const int first = slot_linked(index);
  const int out = slot_create_linked(index);
  if (out < 0) return -1;
  conn_slot& o = conn_table[out];
  // A racer is linked to the client, not the client to it, until it wins.
  if (racer) conn_table[index].link_sock = first >= 0 ? conn_table[first].sock : -1;
  o.kind = slot_kind::chain;
  // A failed attempt closes alone: its 'X' decides whether the client
  // gets another one.
  o.flags |= SLOT_CLOSE_ALONE;
  if (o.started == 0) o.started = tick_now();
  o.dest_port = conn_table[index].dest_port;
  memcpy(o.dest_host, conn_table[index].dest_host, DEST_HOST_SIZE);
  route_record& ro = route_of(o);
  ro = hops;
  ro.hop_index = 0;
  ro.check_reply = route_of(index).check_reply;
  if (log_level_get() >= 2) log_building(out, ro, o.dest_host);
  if (!slot_connect(out, ro.hops[0].addr, ro.hops[0].port))
    slot_abort(out);
  else
    slot_set_deadline(out, chain_connect_limit_ms());
  return out;
}

attempt_result chain_attempt(int index) {
  if (index < 0 || index >= SLOT_COUNT) return attempt_result::no_slot;
  conn_slot& c = conn_table[index];
  route_record& rc = route_of(c);
  // The hops first: without a chain the client stays unlinked and can
  // still be answered. A SOCKS client whose last link gives only plain
  // HTTP proxies is told "granted" first and asked for its request.
  // A destination a rule sends direct has itself alone as its hop list.
  route_record ro{};
  const bool direct = rc.client.rule_action == static_cast<uint8_t>(rule_action::direct);
  if (direct && !chain_direct_hops(index, ro)) return attempt_result::no_chain;
  const int hops = direct ? 1
                          : chain_pick_hops(index, ro, rc.client.excluded, rc.client.excluded_count,
                                            CHAIN_EXCLUDED_MAX);
  if (hops == CHAIN_HOPS_HTTP_LAST)
    return socks_reply_first(c) ? attempt_result::deferred : attempt_result::http_last;
  if (hops != 1) return attempt_result::no_chain;
  rc.client.fixed_mask = direct ? 0xFFFFFFFFu : chain_cache.fixed_mask;
  const int out = chain_open_attempt(index, ro, false);
  if (out < 0) return attempt_result::no_slot;
  char rule[RULE_TEXT_SIZE + 24];
  if (direct && log_level_get() >= 2 && rules_describe(rc.client, rule, sizeof rule) > 0)
    log_line(out, "Connecting directly by %s", rule);
  rc.client.attempt_started = tick_now();
  chain_race_arm(index);
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
  if (started == attempt_result::no_chain &&
      route_of(index).client.rule_action == static_cast<uint8_t>(rule_action::direct)) {
    chain_failure why{};
    why.fault = chain_fault::direct_refused;
    chain_refused(index, why);
  } else if (started == attempt_result::http_last) {
    chain_failure why{};
    why.fault = chain_fault::http_last;
    chain_refused(index, why);
  } else if (started == attempt_result::no_chain) {
    chain_cannot_start(index);
  } else if (started == attempt_result::no_slot) {
    slot_abort(index);
  }
}

}  // namespace

void chain_out_of_time(int client) {
  route_record& rc = route_of(client);
  rc.client.out_of_time = 1;
  chain_race_drop(client);
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

namespace {

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
  rc.client.ceiling = tick_now() + chain_total_limit_ms();
  slot_set_deadline(index, chain_total_limit_ms());
  fill_target(c, rc, http_offset);
  // A name looked up here is matched against the rules with its address,
  // once it is known; any other destination now, as the client gave it. A
  // direct one given as a name is looked up here whatever "remote_dns" says.
  const bool lookup = needs_lookup(c.dest_host);
  if (!lookup && chain_apply_rules(index, 0)) return;
  if (lookup || chain_direct_needs_lookup(c)) {
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
    if (!rc.client.rule_decided && chain_apply_rules(i, addr)) continue;
    first_attempt(i);
  }
}

void chain_set_local_test(local_address_test test) {
  local_test = test;
}

bool chain_address_is_local(uint32_t addr) {
  return local_test != nullptr && local_test(addr);
}

const char* chain_tunnel_head() {
  return MV_LIT("HTTP/1.1 200 Connection established\r\n\r\n");
}

namespace {

// The destination was reached: a CONNECT client learns it now, not before.
void chain_stands(int index) {
  chain_race_settle(index);
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
  if (client >= 0 && !chain_race_survives(index, client, failure)) chain_failed(client, failure);
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
    if (letter == slot_event::deadline) chain_client_deadline(index);
    if (letter == slot_event::closing) chain_race_drop(index);
    return;
  }
  // An attempt another one beat only closes, quietly.
  if (r.socks5_stage == RACE_LOST) {
    if (letter == 'X') chain_close(index);
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
