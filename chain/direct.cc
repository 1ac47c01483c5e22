// What the rules do to a client: a blocked one is refused in its own
// protocol, a direct one is given a hop list of its destination alone, and
// a failed direct connection ends with its rule named.
#include <cstdio>
#include <cstring>

#include "chain/errorpage.h"
#include "chain/failover.h"
#include "chain/negotiate.h"
#include "chain/ruleset.h"
#include "engine/slot.h"
#include "log/console.h"
#include "log/log.h"
#include "log/metrics.h"
#include "platform/resolve.h"
#include "util/literal.h"

namespace {

constexpr size_t RULE_NOTE_SIZE = RULE_TEXT_SIZE + 24;

// SOCKS5 "connection not allowed by ruleset" (a SOCKS4 client hears 0x5B).
constexpr uint8_t SOCKS5_NOT_ALLOWED = 0x02;

// The blocked client gets its refusal: a 403 page naming the rule, or the
// SOCKS reply; the traffic file and the status page say "block".
void refuse_blocked(int index) {
  conn_slot& c = conn_table[index];
  route_record& rc = route_of(c);
  char rule[RULE_NOTE_SIZE];
  rules_describe(rc.client, rule, sizeof rule);
  char shown[DEST_HOST_SIZE + 2];
  host_for_display(c.dest_host, shown, sizeof shown);
  char traffic[DEST_HOST_SIZE + RULE_NOTE_SIZE + 32];
  snprintf(traffic, sizeof traffic, "block %.66s:%u %s", shown, static_cast<unsigned>(c.dest_port),
           rule);
  traffic_record(traffic, 0, 0);
  log_line(index, "Blocked by %s", rule);
  slot_set_deadline(index, 0);
  if (c.proto == PROTO_SOCKS4 || c.proto == PROTO_SOCKS5) {
    chain_socks_reply(index, SOCKS5_NOT_ALLOWED);
  } else {
    char why[RULE_NOTE_SIZE + 16];
    snprintf(why, sizeof why, "blocked by %s", rule);
    send_refusal_page(index, MV_LIT("403 Forbidden"), PAGE_BLOCKED, why, &c);
  }
  memset(c.route, 0, ROUTE_SIZE);
  snprintf(slot_area<slot_text>(c).text, ROUTE_SIZE, "Blocked by %.230s", rule);
  c.kind = slot_kind::error;
  slot_abort(index);
}

}  // namespace

bool chain_apply_rules(int index, uint32_t looked_up) {
  conn_slot& c = conn_table[index];
  client_route& client = route_of(c).client;
  const rule_verdict v = rules_decide(c.dest_host, c.dest_port, looked_up);
  client.rule_decided = 1;
  client.rule_action = static_cast<uint8_t>(v.action);
  client.rule_index = static_cast<uint16_t>(v.index < 0 ? 0 : v.index);
  client.rule_line = v.line;
  if (v.action != rule_action::block) return false;
  refuse_blocked(index);
  return true;
}

bool chain_direct_needs_lookup(const conn_slot& client) {
  const client_route& r = route_of(client).client;
  uint32_t v4 = 0;
  uint8_t v6[16];
  return r.rule_action == static_cast<uint8_t>(rule_action::direct) && r.resolved == 0 &&
         client.dest_host[0] != 0 && !ipv4_literal(client.dest_host, &v4) &&
         !ipv6_literal(client.dest_host, v6);
}

bool chain_direct_hops(int index, route_record& out) {
  const conn_slot& c = conn_table[index];
  const client_route& client = route_of(c).client;
  uint32_t addr = client.resolved;
  if (addr == 0 && !ipv4_literal(c.dest_host, &addr)) addr = 0;
  // This machine's own addresses are refused before any rule: a direct
  // connection must not reach them either.
  const bool local = addr == 0 || chain_address_is_local(addr);
  if (local || c.dest_port == 0) return false;
  out = route_record{};
  out.hop_count = 1;
  out.hops[0] = hop{HOP_END, c.dest_port, addr};
  return true;
}

void chain_direct_failed(int client, const chain_failure& failure) {
  conn_slot& c = conn_table[client];
  char why[FAILURE_TEXT_SIZE];
  chain_failure_text(failure, why, sizeof why);
  char rule[RULE_NOTE_SIZE];
  rules_describe(route_of(c).client, rule, sizeof rule);
  char shown[DEST_HOST_SIZE + 2];
  host_for_display(c.dest_host, shown, sizeof shown);
  console_line("direct connection to %.66s:%u failed (%s); %s", shown,
               static_cast<unsigned>(c.dest_port), why, rule);
  metrics_chain_closed(false, 0, 0);
  chain_give_up(client, failure);
}
