// Failover of a client chain.
#include "chain/failover.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chain/errorpage.h"
#include "chain/negotiate.h"
#include "chain/ruleset.h"
#include "db/db.h"
#include "log/console.h"
#include "log/metrics.h"
#include "platform/clock.h"
#include "platform/resolve.h"
#include "util/literal.h"
#include "util/rules.h"

namespace {

constexpr uint32_t RETRIES_REFRESH_MS = 30000;

int retries_cached = -1;
uint32_t retries_read = 0;

bool is_fixed(const client_route& c, uint8_t position) {
  return position < 32 && (c.fixed_mask >> position) & 1u;
}

// Adds a proxy to the client's list of proxies to avoid (once).
void exclude(client_route& c, const proxy_ref& p) {
  if (p.ip == 0 || p.port == 0) return;
  for (int i = 0; i < c.excluded_count; ++i)
    if (c.excluded[i].ip == p.ip && c.excluded[i].port == p.port) return;
  if (c.excluded_count < CHAIN_EXCLUDED_MAX) c.excluded[c.excluded_count++] = p;
}

// A proxy that closed without answering was reached through the ones in
// front of it: when the quiet proxy is fixed and the one in front of it was
// picked, that one (whose own end closes the chain as well) is what another
// attempt can change.
bool blames_before(const client_route& c, const chain_failure& f) {
  return f.fault == chain_fault::no_answer && f.hop > 0 && f.before.ip != 0 && is_fixed(c, f.hop) &&
         !is_fixed(c, static_cast<uint8_t>(f.hop - 1));
}

// True when another chain can avoid the blamed proxies: at least one of
// them came from a selecting link.
bool avoidable(const client_route& c, const chain_failure& f) {
  // A loop leads back here through any proxy: another attempt would loop too.
  if (f.fault == chain_fault::none || f.fault == chain_fault::no_chain ||
      f.fault == chain_fault::loop)
    return false;
  if (!is_fixed(c, f.hop) || blames_before(c, f)) return true;
  return f.next.ip != 0 && !is_fixed(c, static_cast<uint8_t>(f.hop + 1));
}

void dotted(const proxy_ref& p, char (&out)[24]) {
  const uint32_t a = p.ip;
  snprintf(out, sizeof out, "%u.%u.%u.%u:%u", a & 0xFF, (a >> 8) & 0xFF, (a >> 16) & 0xFF, a >> 24,
           static_cast<unsigned>(p.port));
}

bool speaks_only_http(uint16_t type) {
  return (type & (PT_SOCKS4 | PT_SOCKS5 | PT_HTTPS)) == 0 && (type & PT_HTTP) != 0;
}

}  // namespace

int chain_retries() {
  const uint32_t now = tick_now();
  if (retries_cached < 0 || now - retries_read > RETRIES_REFRESH_MS) {
    int value = setting_int(MV_LIT("chain_retries"), CHAIN_RETRIES_DEFAULT, 0);
    if (value < 0) value = 0;
    if (value > CHAIN_RETRIES_MAX) value = CHAIN_RETRIES_MAX;
    retries_cached = value;
    retries_read = now;
  }
  return retries_cached;
}

void chain_retries_reset() {
  retries_cached = -1;
}

chain_failure chain_failure_of(const route_record& r) {
  chain_failure f{};
  const uint8_t h = r.hop_index;
  // A direct attempt has the destination alone: its connect failed.
  if (r.hop_count == 1 && h == 0 && !r.established) {
    f.fault = r.socks5_stage == STEP_TIMED_OUT ? chain_fault::direct_no_time
                                               : chain_fault::direct_no_connect;
    return f;
  }
  if (r.hop_count > MAX_HOPS || h + 1 >= r.hop_count) return f;
  const hop& p = r.hops[h];
  const hop& n = r.hops[h + 1];
  f.hop = h;
  f.proxy = proxy_ref{p.addr, p.port};
  if (n.type != HOP_END) f.next = proxy_ref{n.addr, n.port};
  if (h > 0) f.before = proxy_ref{r.hops[h - 1].addr, r.hops[h - 1].port};
  if (r.failed && (r.socks5_stage == STEP_TIMED_OUT || r.socks5_stage == LOOP_FOUND)) {
    f.fault = r.socks5_stage == LOOP_FOUND ? chain_fault::loop
              : r.awaiting                 ? chain_fault::no_answer_in_time
                                           : chain_fault::no_connect_in_time;
    // Nothing was asked of the next proxy yet, or the proxy is this program.
    if (f.fault != chain_fault::no_answer_in_time) f.next = proxy_ref{};
  } else if (speaks_only_http(p.type) && n.type != HOP_END)
    f.fault = chain_fault::http_middle;
  else if (r.failed && r.socks5_stage == SIGN_IN_REFUSED)
    f.fault = chain_fault::auth_refused;
  else if (r.failed)
    f.fault = n.type == HOP_END ? chain_fault::refused_dest : chain_fault::refused;
  else if (r.awaiting)
    f.fault = chain_fault::no_answer;
  else
    f.fault = chain_fault::no_connect;
  return f;
}

int chain_client_of(int out) {
  if (out < 0 || out >= SLOT_COUNT || conn_table[out].sock == -1) return -1;
  const int sock = conn_table[out].sock;
  const int used = slot_count_used();
  for (int i = 1; i < used; ++i) {
    const conn_slot& s = conn_table[i];
    if (i == out || s.sock == -1 || s.kind != slot_kind::chain || route_of(s).side != 1) continue;
    // The attempt linked to the client, or the one racing it.
    if (s.link_sock != sock && route_of(s).client.race_sock != sock) continue;
    // A client on its way out (it left, or the program stops) gets nothing more.
    if (s.flags & SLOT_CLOSE_REQUESTED) return -1;
    return i;
  }
  return -1;
}

namespace {

long count_rows(const char* query) {
  char* text = db_query_text("", "", "%s", query);
  const long n = text != nullptr ? strtol(text, nullptr, 10) : 0;
  free(text);
  return n;
}

// Why no chain could be built, with what fixes it on a first run.
int no_chain_text(char* out, size_t capacity) {
  if (count_rows(MV_LIT("SELECT count(*) FROM chain")) == 0)
    return snprintf(out, capacity,
                    "no chain is set (set one with \"merovane ctl chain pick:random\")");
  const long proxies = count_rows(MV_LIT("SELECT count(*) FROM proxy"));
  if (proxies == 0)
    return snprintf(out, capacity,
                    "no usable proxy matches the chain: the proxy list is empty (add one with "
                    "\"merovane ctl import FILE\")");
  if (count_rows(MV_LIT("SELECT count(*) FROM proxy WHERE blocked=0 AND (type&1)=0 AND "
                        "(type&120)<>0")) == 0)
    return snprintf(out, capacity,
                    "no usable proxy matches the chain: none of the %ld proxies is checked "
                    "working yet (\"merovane ctl check\" checks them now)",
                    proxies);
  return snprintf(out, capacity, "no usable proxy matches the chain");
}

}  // namespace

size_t chain_failure_text(const chain_failure& f, char* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  char proxy[24], next[24];
  dotted(f.proxy, proxy);
  dotted(f.next, next);
  int n = 0;
  switch (f.fault) {
    case chain_fault::no_connect:
      n = snprintf(out, capacity, "proxy %s could not be reached", proxy);
      break;
    case chain_fault::no_answer:
      n = snprintf(out, capacity, "proxy %s did not answer", proxy);
      break;
    case chain_fault::refused:
      n = snprintf(out, capacity, "proxy %s refused to connect to the next proxy %s", proxy, next);
      break;
    case chain_fault::refused_dest:
      n = snprintf(out, capacity, "proxy %s refused the destination", proxy);
      break;
    case chain_fault::bad_reply:
      n = snprintf(out, capacity, "proxy %s answered outside its protocol", proxy);
      break;
    case chain_fault::http_middle:
      n = snprintf(out, capacity, "proxy %s is a plain HTTP proxy and cannot reach the next proxy",
                   proxy);
      break;
    case chain_fault::auth_refused:
      n = snprintf(out, capacity, "proxy %s refused its sign-in (authentication refused)", proxy);
      break;
    case chain_fault::no_chain:
      n = no_chain_text(out, capacity);
      break;
    case chain_fault::http_last:
      n = snprintf(out, capacity,
                   "the last proxy of the chain can only be a plain HTTP proxy, which carries "
                   "plain HTTP requests, not this connection");
      break;
    case chain_fault::no_connect_in_time:
      n = snprintf(out, capacity, "proxy %s could not be reached in time", proxy);
      break;
    case chain_fault::no_answer_in_time:
      n = snprintf(out, capacity, "proxy %s did not answer in time", proxy);
      break;
    case chain_fault::out_of_time:
      n = snprintf(out, capacity, "no chain stood within its time limit");
      break;
    case chain_fault::loop:
      n = snprintf(out, capacity, "loop through this program: proxy %s is this program", proxy);
      break;
    case chain_fault::direct_no_connect:
      n = snprintf(out, capacity, "the destination could not be reached");
      break;
    case chain_fault::direct_no_time:
      n = snprintf(out, capacity, "the destination did not answer in time");
      break;
    case chain_fault::direct_refused:
      n = snprintf(out, capacity,
                   "this program connects directly only to IPv4 addresses of other machines");
      break;
    case chain_fault::none:
      out[0] = 0;
      break;
  }
  if (n < 0) return 0;
  return static_cast<size_t>(n) < capacity ? static_cast<size_t>(n) : capacity - 1;
}

size_t chain_attempt_note(const route_record& client, char* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  out[0] = 0;
  const client_route& c = client.client;
  if (client.side == 1 && c.rule_action == static_cast<uint8_t>(rule_action::direct)) {
    char rule[RULE_TEXT_SIZE + 24];
    rules_describe(c, rule, sizeof rule);
    const int n = snprintf(out, capacity, "direct by %s", rule);
    if (n < 0) return 0;
    return static_cast<size_t>(n) < capacity ? static_cast<size_t>(n) : capacity - 1;
  }
  if (client.side != 1 || (c.attempt == 0 && c.last.fault == chain_fault::none)) return 0;
  char why[FAILURE_TEXT_SIZE];
  chain_failure_text(c.last, why, sizeof why);
  const int n = snprintf(out, capacity, "attempt %u; last failure: %s", c.attempt + 1u, why);
  if (n < 0) return 0;
  return static_cast<size_t>(n) < capacity ? static_cast<size_t>(n) : capacity - 1;
}

uint8_t chain_socks5_code(chain_fault fault) {
  switch (fault) {
    case chain_fault::no_connect_in_time:
    case chain_fault::no_answer_in_time:
    case chain_fault::out_of_time:
    case chain_fault::direct_no_time:
      return 0x06;  // TTL expired: a time limit
    case chain_fault::direct_refused:
      return 0x02;  // not allowed by the rules
    case chain_fault::refused_dest:
      return 0x04;  // host unreachable
    case chain_fault::no_connect:
    case chain_fault::refused:
    case chain_fault::direct_no_connect:
      return 0x05;  // connection refused
    default:
      return 0x01;  // general failure
  }
}

void chain_give_up(int client, const chain_failure& failure) {
  if (client < 0 || client >= SLOT_COUNT) return;
  conn_slot& c = conn_table[client];
  slot_set_deadline(client, 0);
  // A SOCKS client hears why, unless it had its reply before the chain
  // (a plain HTTP last proxy): then it can only be closed.
  if (c.proto == PROTO_SOCKS4 || c.proto == PROTO_SOCKS5)
    chain_socks_reply(client, chain_socks5_code(failure.fault));
  if (c.proto == PROTO_HTTP || c.proto == PROTO_CONNECT) {
    char why[FAILURE_TEXT_SIZE];
    chain_failure_text(failure, why, sizeof why);
    const bool direct = failure.fault == chain_fault::direct_no_connect ||
                        failure.fault == chain_fault::direct_no_time ||
                        failure.fault == chain_fault::direct_refused;
    send_refusal_page(client, MV_LIT("502 Bad Gateway"),
                      direct ? PAGE_DIRECT_FAILED : PAGE_BAD_GATEWAY, why, &c);
  }
  slot_abort(client);
}

void chain_refused(int client, const chain_failure& failure) {
  if (client < 0 || client >= SLOT_COUNT) return;
  char why[FAILURE_TEXT_SIZE];
  chain_failure_text(failure, why, sizeof why);
  char shown[DEST_HOST_SIZE + 2];
  host_for_display(conn_table[client].dest_host, shown, sizeof shown);
  console_line("chain to %.66s:%u not built: %s", shown,
               static_cast<unsigned>(conn_table[client].dest_port), why);
  chain_give_up(client, failure);
}

void chain_cannot_start(int client) {
  chain_failure none{};
  none.fault = chain_fault::no_chain;
  chain_refused(client, none);
}

void chain_note_failure(int client, const chain_failure& failure) {
  client_route& c = route_of(client).client;
  c.last = failure;
  if (!is_fixed(c, failure.hop)) exclude(c, failure.proxy);
  if (!is_fixed(c, static_cast<uint8_t>(failure.hop + 1))) exclude(c, failure.next);
  if (blames_before(c, failure)) exclude(c, failure.before);
}

void chain_failure_line(int client, const char* what, const chain_failure& failure,
                        const char* outcome) {
  char why[FAILURE_TEXT_SIZE];
  chain_failure_text(failure, why, sizeof why);
  char shown[DEST_HOST_SIZE + 2];
  host_for_display(conn_table[client].dest_host, shown, sizeof shown);
  console_line("chain to %.66s:%u%s (%s); %s", shown,
               static_cast<unsigned>(conn_table[client].dest_port), what, why, outcome);
}

void chain_failed(int client, const chain_failure& failure) {
  if (client < 0 || client >= SLOT_COUNT) return;
  client_route& c = route_of(client).client;
  if (c.rule_action == static_cast<uint8_t>(rule_action::direct)) {
    c.last = failure;
    chain_direct_failed(client, failure);
    return;
  }
  chain_note_failure(client, failure);
  if (c.out_of_time) {
    chain_failure_line(client, " failed", failure, "out of time");
    metrics_chain_closed(false, 0, 0);
    chain_failure ended = failure;
    ended.fault = chain_fault::out_of_time;
    chain_give_up(client, ended);
    return;
  }
  if (avoidable(c, failure) && c.attempt < chain_retries()) {
    ++c.attempt;
    const attempt_result next = chain_attempt(client);
    if (next == attempt_result::started || next == attempt_result::deferred) {
      metrics_chain_retried();
      char again[32];
      snprintf(again, sizeof again, "trying again (attempt %u)", c.attempt + 1u);
      chain_failure_line(client, " failed", failure, again);
      return;
    }
    chain_failure_line(client, " failed", failure, "no other proxy to try");
  } else {
    chain_failure_line(client, " failed", failure, "not retried");
  }
  metrics_chain_closed(false, 0, 0);
  chain_give_up(client, failure);
}
