// The rule table in force, the decision for a destination, and the proxy
// auto-configuration file.
#include "chain/ruleset.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "db/db.h"
#include "engine/slot.h"
#include "log/console.h"
#include "log/metrics.h"
#include "platform/clock.h"
#include "util/literal.h"

namespace {

rule_set table;
bool table_read = false;
uint32_t table_read_at = 0;
char setting_text[RULES_TEXT_MAX + 1];
char pac_text[RULES_PAC_SIZE];

// Reads "rules" into the table. A stored list that does not parse (the
// panel refuses such a list, so only a hand-edited database has one) is
// told once per reading and leaves the rules before its bad line.
void read_table() {
  setting_text[0] = 0;
  setting_str("rules", setting_text, sizeof setting_text, 0);
  rule_error error;
  if (!rules_parse(setting_text, table, error))
    console_line("rules: line %u not used: %s", error.line, error.why);
  table_read = true;
  table_read_at = tick_now();
}

}  // namespace

const rule_set& rules_current() {
  if (!table_read || tick_now() - table_read_at > RULES_REFRESH_MS) read_table();
  return table;
}

void rules_forget() {
  table_read = false;
}

rule_verdict rules_decide(const char* host, uint16_t port, uint32_t looked_up) {
  const rule_set& set = rules_current();
  rule_verdict v;
  if (set.count == 0 || host == nullptr) return v;
  rule_destination dest{std::string_view(host, strnlen(host, DEST_HOST_SIZE)), port, {}};
  if (looked_up != 0) dest.address = net_address_v4(looked_up);
  v.index = rules_match(set, dest);
  if (v.index < 0) return v;
  v.action = set.rules[v.index].action;
  v.line = set.rules[v.index].line;
  metrics_rule_matched(static_cast<int>(v.action));
  return v;
}

size_t rules_describe(const client_route& client, char* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  char text[RULE_TEXT_SIZE] = "";
  const rule_set& set = rules_current();
  // The table may have been read again since: its text only when it is still the same rule.
  if (client.rule_index < set.count && set.rules[client.rule_index].line == client.rule_line)
    rule_text(set, client.rule_index, text, sizeof text);
  const int n = text[0] != 0 ? snprintf(out, capacity, "rule %u (%s)", client.rule_line, text)
                             : snprintf(out, capacity, "rule %u", client.rule_line);
  if (n < 0) return 0;
  return static_cast<size_t>(n) < capacity ? static_cast<size_t>(n) : capacity - 1;
}

void rules_send_pac(int index) {
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_slot& slot = conn_table[index];
  sockaddr_storage local{};
  socklen_t size = sizeof local;
  char host[64] = "127.0.0.1";
  if (getsockname(slot.sock, reinterpret_cast<sockaddr*>(&local), &size) == 0) {
    const net_address a = net_address_of(reinterpret_cast<const sockaddr*>(&local));
    char text[48];
    if (net_address_text(a, text, sizeof text) > 0)
      snprintf(host, sizeof host, a.family == 6 ? "[%s]" : "%s", text);
  }
  const size_t length = rules_pac(rules_current(), host, listen_port, pac_text, sizeof pac_text);
  char head[256];
  const int n = snprintf(head, sizeof head,
                         MV_LIT("HTTP/1.0 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig"
                                "\r\nContent-Length: %u\r\nCache-Control: no-cache\r\n"
                                "Connection: close\r\n\r\n"),
                         static_cast<unsigned>(length));
  if (n > 0 && static_cast<size_t>(n) < sizeof head) slot_send(index, head, n);
  slot_send(index, pac_text, static_cast<int>(length));
  memset(slot.route, 0, ROUTE_SIZE);
  snprintf(slot_area<slot_text>(slot).text, ROUTE_SIZE, "%s", "Proxy auto-configuration file");
  slot.kind = slot_kind::error;
  slot_request_close(index);
}
