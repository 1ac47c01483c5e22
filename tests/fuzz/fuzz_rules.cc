// Fuzzes the destination rules: the input is a rule list (as the panel and
// ctl hand it over); a list that parses is matched against destinations
// taken from its own bytes, every rule is written back and parsed again to
// the same rule, and the auto-configuration script is written from it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "tests/fuzz/fuzz_support.h"
#include "util/rules.h"

namespace {

rule_set parsed, again;
char script[RULES_PAC_SIZE];

void check_round_trip(int i) {
  char text[RULE_TEXT_SIZE];
  const size_t n = rule_text(parsed, i, text, sizeof text);
  rule_error error;
  if (!rules_parse(std::string_view(text, n), again, error) || again.count != 1) abort();
  const rule& a = parsed.rules[i];
  const rule& b = again.rules[0];
  if (a.form != b.form || a.action != b.action || a.port_low != b.port_low ||
      a.port_high != b.port_high || a.name_len != b.name_len)
    abort();
  if (memcmp(parsed.names + a.name_at, again.names + b.name_at, a.name_len) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = false;
  if (!ready) {
    fuzz_forbid_sockets();
    ready = true;
  }
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  rule_error error;
  if (!rules_parse(text, parsed, error)) {
    if (error.line == 0 || error.why == nullptr || error.why[0] == 0) abort();
    return 0;
  }
  for (int i = 0; i < parsed.count; ++i) check_round_trip(i);
  // Destinations: every line's first word as a host, on a port from the data.
  size_t at = 0;
  while (at < size) {
    size_t end = at;
    while (end < size && data[end] != '\n' && data[end] != ' ') ++end;
    const uint16_t port = static_cast<uint16_t>(size > 1 ? data[0] << 8 | data[1] : 80);
    const int hit = rules_match(parsed, rule_destination{text.substr(at, end - at), port, {}});
    if (hit < -1 || hit >= parsed.count) abort();
    at = end + 1;
  }
  if (rules_pac(parsed, "127.0.0.1", 8080, script, sizeof script) == 0) abort();
  return 0;
}
