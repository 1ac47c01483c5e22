// The destination rules in force and what they do to a client: the "rules"
// setting parsed into one table (read again 10 s after the last reading, at
// once after rules_forget), the rule a client's destination matches with
// its count per action, the refusal of a blocked client, the end of a
// failed direct connection, and the proxy auto-configuration file served
// on the proxy port. chain/ruleset.cc holds the table and the file,
// chain/direct.cc what the rules do to a client. A direct destination is
// reached by an attempt of no proxies (chain/attempt.cc); a name is looked
// up first, on the resolver workers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chain/route.h"
#include "util/rules.h"

constexpr uint32_t RULES_REFRESH_MS = 10000;

// The rule for host:port (looked_up: the address the name was looked up to,
// network byte order, 0 when it was not). action none when no rule
// matches. A match is counted in the metrics.
struct rule_verdict {
  rule_action action = rule_action::none;
  int index = -1;
  uint16_t line = 0;
};
rule_verdict rules_decide(const char* host, uint16_t port, uint32_t looked_up);
// The table in force (read first when due).
const rule_set& rules_current();
// Makes the next client read the "rules" setting again.
void rules_forget();
// "rule 3 (.ads.example block)" for the rule a client matched; its length.
size_t rules_describe(const client_route& client, char* out, size_t capacity);

// Decides the rules for client slot `index` (its route record set up by
// chain_start; looked_up as for rules_decide) and acts on a block: true
// when the client is done with (refused), false when its start goes on.
bool chain_apply_rules(int index, uint32_t looked_up);
// The client of a direct rule: true when its destination is a name still to
// be looked up here.
bool chain_direct_needs_lookup(const conn_slot& client);
// The hop list of a direct attempt: the destination alone. False (the
// client refused) when it has no IPv4 address or is this machine.
bool chain_direct_hops(int index, route_record& out);
// The direct connection of client slot `client` failed: the console line
// names the rule, the client gets its answer.
void chain_direct_failed(int client, const chain_failure& failure);

// Queues the proxy auto-configuration file on slot `index` (the proxy named
// by the address the client reached, and the listener's port), then the
// slot closes once it is out.
void rules_send_pac(int index);
