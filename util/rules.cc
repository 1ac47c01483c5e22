#include "util/rules.h"

#include <cstdio>
#include <cstring>

#include "util/ascii.h"

namespace {

constexpr struct {
  std::string_view name;
  rule_action action;
} ACTIONS[] = {
    {"direct", rule_action::direct}, {"chain", rule_action::chain}, {"block", rule_action::block}};

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

bool is_name_char(char c) {
  return ascii_is_letter(static_cast<uint8_t>(c)) || ascii_is_digit(static_cast<uint8_t>(c)) ||
         c == '-' || c == '_';
}

// Labels of letters, digits, '-' and '_' separated by single dots.
bool valid_name(std::string_view name) {
  if (name.empty() || name.size() > RULE_NAME_MAX) return false;
  bool label_empty = true;
  for (char c : name) {
    if (c == '.') {
      if (label_empty) return false;
      label_empty = true;
    } else if (is_name_char(c)) {
      label_empty = false;
    } else {
      return false;
    }
  }
  return !label_empty;
}

// "PORT" or "PORT-PORT", 1-65535, low not above high.
bool parse_ports(std::string_view text, uint16_t& low, uint16_t& high) {
  const size_t dash = text.find('-');
  const std::string_view parts[2] = {text.substr(0, dash),
                                     dash == std::string_view::npos ? text : text.substr(dash + 1)};
  uint32_t values[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    if (parts[i].empty() || parts[i].size() > 5) return false;
    for (char c : parts[i]) {
      if (!ascii_is_digit(static_cast<uint8_t>(c))) return false;
      values[i] = values[i] * 10 + static_cast<uint32_t>(c - '0');
    }
    if (values[i] == 0 || values[i] > 0xFFFF) return false;
  }
  if (values[0] > values[1]) return false;
  low = static_cast<uint16_t>(values[0]);
  high = static_cast<uint16_t>(values[1]);
  return true;
}

// Splits MATCH into what is matched and its ports: "[v6 or range]:PORT",
// "name:PORT", "a.b.c.d/n:PORT"; an IPv6 address without brackets has no
// port. Returns false with why on a bad port or bracket.
bool split_port(std::string_view match, std::string_view& what, rule& r, const char*& why) {
  std::string_view ports;
  if (match.front() == '[') {
    const size_t close = match.find(']');
    why = "an address in brackets needs its closing ']'";
    if (close == std::string_view::npos) return false;
    what = match.substr(1, close - 1);
    const std::string_view rest = match.substr(close + 1);
    why = "a port follows the address as ]:PORT";
    if (!rest.empty() && rest.front() != ':') return false;
    if (!rest.empty()) ports = rest.substr(1);
    if (rest.size() == 1) return false;
  } else {
    const size_t colon = match.find(':');
    const bool ipv6 =
        colon != std::string_view::npos && match.find(':', colon + 1) != std::string_view::npos;
    what = ipv6 || colon == std::string_view::npos ? match : match.substr(0, colon);
    if (!ipv6 && colon != std::string_view::npos) {
      ports = match.substr(colon + 1);
      why = "a port is 1-65535, or a range PORT-PORT";
      if (ports.empty()) return false;
    }
  }
  why = "a port is 1-65535, or a range PORT-PORT";
  return ports.empty() || parse_ports(ports, r.port_low, r.port_high);
}

bool store_name(std::string_view name, rule_set& set, rule& r) {
  if (set.names_used + name.size() > RULES_NAMES_SIZE) return false;
  r.name_at = static_cast<uint16_t>(set.names_used);
  r.name_len = static_cast<uint8_t>(name.size());
  for (size_t i = 0; i < name.size(); ++i)
    set.names[set.names_used + i] = static_cast<char>(ascii_lower(static_cast<uint8_t>(name[i])));
  set.names_used += static_cast<uint32_t>(name.size());
  return true;
}

// What MATCH (without its ports) is: *, an address or range, a domain, a name.
bool parse_what(std::string_view what, rule_set& set, rule& r, const char*& why) {
  if (what == "*") {
    r.form = rule_form::any;
    return true;
  }
  r.form = rule_form::host;
  if (what.substr(0, 2) == "*.") what.remove_prefix(1);
  if (!what.empty() && what.front() == '.') {
    r.form = rule_form::domain;
    what.remove_prefix(1);
  }
  if (r.form == rule_form::host && net_range_parse(what, r.range)) {
    r.form = rule_form::range;
    return true;
  }
  // A name may end in a digit ("host1"), but digits and dots alone, or a
  // ':' or '/', meant an address.
  why = "not an address or range (ADDRESS or ADDRESS/BITS)";
  if (what.find_first_not_of("0123456789.") == std::string_view::npos ||
      what.find_first_of(":/") != std::string_view::npos)
    return false;
  if (!what.empty() && what.back() == '.') what.remove_suffix(1);
  why = "not a host name (letters, digits, '-', '_' and dots, at most 253)";
  if (!valid_name(what)) return false;
  why = "the names of the rules take more than 64 KiB";
  return store_name(what, set, r);
}

bool parse_line(std::string_view line, rule_set& set, rule& r, const char*& why) {
  size_t gap = 0;
  while (gap < line.size() && !is_blank(line[gap])) ++gap;
  const std::string_view match = line.substr(0, gap);
  const std::string_view action = trimmed(line.substr(gap));
  why = "a rule is MATCH ACTION (direct, chain or block)";
  if (match.empty() || action.empty()) return false;
  r.action = rule_action::none;
  for (const auto& a : ACTIONS)
    if (a.name.size() == action.size() &&
        ascii_equal_folded(reinterpret_cast<const uint8_t*>(action.data()), a.name.data(),
                           a.name.size()))
      r.action = a.action;
  why = "the action is direct, chain or block";
  if (r.action == rule_action::none) return false;
  std::string_view what;
  if (!split_port(match, what, r, why)) return false;
  return parse_what(what, set, r, why);
}

bool names_equal(const char* stored, std::string_view given) {
  for (size_t i = 0; i < given.size(); ++i)
    if (stored[i] != static_cast<char>(ascii_lower(static_cast<uint8_t>(given[i])))) return false;
  return true;
}

bool host_matches(const rule_set& set, const rule& r, std::string_view host) {
  const char* name = set.names + r.name_at;
  if (host.size() == r.name_len && names_equal(name, host)) return true;
  if (r.form != rule_form::domain || host.size() <= r.name_len) return false;
  const size_t at = host.size() - r.name_len;
  return host[at - 1] == '.' && names_equal(name, host.substr(at));
}

}  // namespace

bool rules_parse(std::string_view text, rule_set& out, rule_error& error) {
  out.count = 0;
  out.names_used = 0;
  error = rule_error{};
  if (text.size() > RULES_TEXT_MAX) {
    error.line = 1;
    error.why = "the list is longer than 64 KiB";
    return false;
  }
  uint32_t line_no = 0;
  while (!text.empty()) {
    ++line_no;
    const size_t end = text.find('\n');
    std::string_view line = trimmed(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    error.line = line_no;
    error.why = "the line is longer than 300 bytes";
    if (line.size() > RULE_LINE_MAX || line_no > 0xFFFF) return false;
    error.why = "more than 1024 rules";
    if (out.count >= RULES_MAX) return false;
    rule r;
    r.line = static_cast<uint16_t>(line_no);
    if (!parse_line(line, out, r, error.why)) return false;
    out.rules[out.count++] = r;
  }
  error = rule_error{};
  return true;
}

int rules_match(const rule_set& set, const rule_destination& dest) {
  std::string_view host = dest.host;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  bool parsed = false;
  net_address literal;
  for (int i = 0; i < set.count; ++i) {
    const rule& r = set.rules[i];
    if (dest.port < r.port_low || dest.port > r.port_high) continue;
    switch (r.form) {
      case rule_form::any:
        return i;
      case rule_form::host:
      case rule_form::domain:
        if (host_matches(set, r, host)) return i;
        break;
      case rule_form::range:
        if (!parsed) {
          literal = net_address_parse(host);
          parsed = true;
        }
        if (net_range_contains(r.range, literal.family != 0 ? literal : dest.address)) return i;
        break;
    }
  }
  return -1;
}

const char* rule_action_name(rule_action action) {
  for (const auto& a : ACTIONS)
    if (a.action == action) return a.name.data();
  return "none";
}

size_t rule_text(const rule_set& set, int i, char* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  out[0] = 0;
  if (i < 0 || i >= set.count) return 0;
  const rule& r = set.rules[i];
  char what[RULE_NAME_MAX + 60] = "*";
  if (r.form == rule_form::host || r.form == rule_form::domain) {
    snprintf(what, sizeof what, "%s%.*s", r.form == rule_form::domain ? "." : "",
             static_cast<int>(r.name_len), set.names + r.name_at);
  } else if (r.form == rule_form::range) {
    char address[64];
    net_address_text(r.range.base, address, sizeof address);
    const unsigned full = r.range.base.family == 4 ? 32 : 128;
    const bool v6 = r.range.base.family == 6 && r.port_low != 0;
    char bits[8] = "";
    if (r.range.prefix != full) snprintf(bits, sizeof bits, "/%u", r.range.prefix);
    snprintf(what, sizeof what, "%s%s%s%s", v6 ? "[" : "", address, bits, v6 ? "]" : "");
  }
  char ports[16] = "";
  if (r.port_low != 0 && r.port_low == r.port_high)
    snprintf(ports, sizeof ports, ":%u", r.port_low);
  else if (r.port_low != 0)
    snprintf(ports, sizeof ports, ":%u-%u", r.port_low, r.port_high);
  const int n = snprintf(out, capacity, "%s%s %s", what, ports, rule_action_name(r.action));
  if (n < 0) return 0;
  return static_cast<size_t>(n) < capacity ? static_cast<size_t>(n) : capacity - 1;
}
