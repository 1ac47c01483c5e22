// Racing attempts of one client chain.
#include "chain/race.h"

#include <cstring>
#include <iterator>

#include "chain/failover.h"
#include "chain/hop_protocol.h"
#include "chain/limits.h"
#include "chain/negotiate.h"
#include "chain/select.h"
#include "log/metrics.h"
#include "platform/clock.h"
#include "util/rules.h"

namespace {

bool reached(uint32_t now, uint32_t at) {
  return static_cast<int32_t>(now - at) >= 0;
}

// The attempt linked to the client, still negotiating, or -1.
int negotiating_attempt(int client) {
  const int first = slot_linked(client);
  if (first < 0 || conn_table[first].kind != slot_kind::chain) return -1;
  const route_record& r = route_of(first);
  if (r.side != 0 || r.established || r.failed) return -1;
  return first;
}

// A destination a rule sends direct is never raced through the chain.
bool may_race(const client_route& c) {
  return chain_race_after_ms() != 0 && c.race_sock == 0 && !c.out_of_time &&
         c.races < RACES_PER_CLIENT && c.rule_action != static_cast<uint8_t>(rule_action::direct);
}

// The hops of a racer: none of the client's avoided proxies, none of the
// first attempt's. False when they would be the first attempt's own (fixed
// links only) or there are none.
bool racer_hops(int client, const route_record& first, route_record& ro) {
  client_route& c = route_of(client).client;
  proxy_ref avoid[CHAIN_EXCLUDED_MAX + MAX_HOPS];
  uint8_t count = c.excluded_count;
  memcpy(avoid, c.excluded, count * sizeof(proxy_ref));
  for (int i = 0; i + 1 < first.hop_count && i < MAX_HOPS; ++i)
    avoid[count++] = proxy_ref{first.hops[i].addr, first.hops[i].port};
  if (chain_pick_hops(client, ro, avoid, count, static_cast<int>(std::size(avoid))) != 1)
    return false;
  if (ro.hop_count != first.hop_count) return true;
  return memcmp(ro.hops, first.hops, (ro.hop_count - 1u) * sizeof(hop)) != 0;
}

void start_race(int client) {
  const int first = negotiating_attempt(client);
  client_route& c = route_of(client).client;
  if (first < 0 || !may_race(c)) return;
  route_record ro{};
  const int racer =
      racer_hops(client, route_of(first), ro) ? chain_open_attempt(client, ro, true) : -1;
  if (racer < 0) {
    // Nothing to race with now: the rest is the first attempt's own time.
    c.races = RACES_PER_CLIENT;
    return;
  }
  ++c.races;
  c.race_sock = conn_table[racer].sock;
}

// An attempt that lost: closed without a word about its proxies.
void drop_attempt(int out) {
  if (out < 0 || conn_table[out].sock == -1) return;
  route_record& r = route_of(out);
  r.socks5_stage = RACE_LOST;
  r.failed = 0;
  r.awaiting = 0;
  conn_table[out].link_sock = -1;
  slot_set_deadline(out, 0);
  slot_abort(out);
}

int racer_of(const client_route& c) {
  return c.race_sock != 0 ? slot_find_by_socket(c.race_sock) : -1;
}

}  // namespace

void chain_race_arm(int client) {
  const client_route& c = route_of(client).client;
  const uint32_t now = tick_now();
  uint32_t at = c.ceiling;
  const uint32_t race_after = chain_race_after_ms();
  if (may_race(c) && negotiating_attempt(client) >= 0) {
    const uint32_t race_at = c.attempt_started + race_after;
    if (static_cast<int32_t>(race_at - at) < 0) at = race_at;
  }
  // A time already passed still fires, on the next turn of the loop.
  slot_set_deadline(client, reached(now, at) ? 1 : at - now);
}

void chain_client_deadline(int client) {
  const client_route& c = route_of(client).client;
  if (reached(tick_now(), c.ceiling)) {
    chain_out_of_time(client);
    return;
  }
  if (reached(tick_now(), c.attempt_started + chain_race_after_ms())) start_race(client);
  chain_race_arm(client);
}

void chain_race_settle(int out) {
  const int client = chain_client_of(out);
  if (client < 0) return;
  client_route& c = route_of(client).client;
  if (c.race_sock == 0) return;
  const bool second = c.race_sock == conn_table[out].sock;
  const int loser = second ? slot_linked(client) : racer_of(c);
  c.race_sock = 0;
  if (second) conn_table[client].link_sock = conn_table[out].sock;
  if (loser >= 0 && loser != out) drop_attempt(loser);
  metrics_chain_race(second);
}

bool chain_race_survives(int out, int client, const chain_failure& failure) {
  client_route& c = route_of(client).client;
  if (c.race_sock == 0 || c.out_of_time) return false;
  const bool racer_failed = c.race_sock == conn_table[out].sock;
  const int other = racer_failed ? slot_linked(client) : racer_of(c);
  c.race_sock = 0;
  if (other < 0 || other == out || conn_table[other].sock == -1) return false;
  if (!racer_failed) conn_table[client].link_sock = conn_table[other].sock;
  chain_note_failure(client, failure);
  chain_failure_line(client, ": one attempt failed", failure, "the other goes on");
  // The attempt left may be raced in its turn once it has run its time.
  c.attempt_started = conn_table[other].started;
  chain_race_arm(client);
  return true;
}

void chain_race_drop(int client) {
  client_route& c = route_of(client).client;
  const int racer = racer_of(c);
  c.race_sock = 0;
  if (racer >= 0) drop_attempt(racer);
}
