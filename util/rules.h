// Destination rules as people write them in the "rules" setting: one rule a
// line, "MATCH ACTION", the first rule that matches wins. MATCH is a host
// name ("intranet.example"), a domain with its subdomains (".corp.example",
// also written "*.corp.example"), an address or range ("192.168.0.0/16",
// "fd00::/8", "[fd00::/8]:443"), or "*"; each may end in ":PORT" or
// ":PORT-PORT". ACTION is direct, chain or block. Blank lines and lines
// starting with '#' are left alone. This unit parses a list into a fixed
// table, matches a destination against it, writes a rule back as text and
// writes the proxy auto-configuration script browsers read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util/netrange.h"

enum class rule_action : uint8_t { none = 0, direct, chain, block };
enum class rule_form : uint8_t { any, host, domain, range };

struct rule {
  rule_form form = rule_form::any;
  rule_action action = rule_action::none;
  uint16_t line = 0;  // line of the text it came from, 1 for the first
  uint16_t port_low = 0, port_high = 0xFFFF;
  uint16_t name_at = 0;  // host or domain (lower case, no dots at the ends) in rule_set::names
  uint8_t name_len = 0;
  net_range range;  // form range
};

constexpr int RULES_MAX = 1024;
constexpr size_t RULES_TEXT_MAX = 64u << 10;  // the whole list as stored
constexpr size_t RULE_LINE_MAX = 300;
constexpr size_t RULE_NAME_MAX = 253;
constexpr size_t RULES_NAMES_SIZE = 64u << 10;
constexpr size_t RULE_TEXT_SIZE = 320;  // rule_text's output, always enough

struct rule_set {
  uint16_t count = 0;
  uint32_t names_used = 0;
  rule rules[RULES_MAX];
  char names[RULES_NAMES_SIZE];
};

// Why a list was refused: the line (1 for the first) and a fixed text.
struct rule_error {
  uint32_t line = 0;
  const char* why = "";
};

// Parses the whole list into out (emptied first). False on the first bad
// line, with error telling which and why; out then holds the rules before it.
bool rules_parse(std::string_view text, rule_set& out, rule_error& error);

// A destination as the client gave it: host is a name or a literal address
// (IPv6 with or without brackets); address, when known, is what the name
// was looked up to (family 0: not looked up). Names are compared as given,
// without a lookup: an address rule matches a name only through `address`.
struct rule_destination {
  std::string_view host;
  uint16_t port = 0;
  net_address address;
};
// The index of the first rule that matches, or -1.
int rules_match(const rule_set& set, const rule_destination& dest);

// Rule i written back as "MATCH ACTION" into out (RULE_TEXT_SIZE bytes);
// its length.
size_t rule_text(const rule_set& set, int i, char* out, size_t capacity);
const char* rule_action_name(rule_action action);

// The proxy auto-configuration script: FindProxyForURL sends what the
// direct rules match DIRECT and everything else (block rules included: the
// program refuses those itself) to "SOCKS5 HOST:PORT; PROXY HOST:PORT".
// Names are matched as the browser gives them, never looked up. Its length,
// or 0 when it does not fit in capacity.
size_t rules_pac(const rule_set& set, std::string_view proxy_host, uint16_t proxy_port, char* out,
                 size_t capacity);
// Capacity that always holds the script of a full table.
constexpr size_t RULES_PAC_SIZE = 1024 + RULES_MAX * (RULE_NAME_MAX * 2 + 160);
