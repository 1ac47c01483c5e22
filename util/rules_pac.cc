// The proxy auto-configuration script written from a rule table.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "util/rules.h"

namespace {

// What the script defines before the rules: the host as the browser gives
// it (lower case, no brackets, no final dot), the port of the URL, and the
// tests each rule form needs. Nothing in it looks a name up.
constexpr const char* PAC_HEAD =
    "function FindProxyForURL(url, host) {\n"
    "  var h = String(host).toLowerCase().replace(/^\\[|\\]$/g, \"\").replace(/\\.$/, \"\");\n"
    "  var m = /^([a-z][a-z0-9+.-]*):\\/\\/(?:[^\\/?#@]*@)?(\\[[^\\]]*\\]|[^\\/?#:]*)(?::(\\d+))?/i"
    ".exec(url);\n"
    "  var p = m && m[3] ? parseInt(m[3], 10) : (m && /^(https|wss)$/i.test(m[1]) ? 443 : 80);\n"
    "  var v4 = /^\\d{1,3}(\\.\\d{1,3}){3}$/.test(h), v6 = h.indexOf(\":\") >= 0;\n"
    "  function ports(lo, hi) { return p >= lo && p <= hi; }\n"
    "  function name(n) { return h == n; }\n"
    "  function domain(n) {\n"
    "    return h == n || (h.length > n.length && h.substr(h.length - n.length - 1) == \".\" + "
    "n);\n"
    "  }\n"
    "  function net4(base, mask) {\n"
    "    if (!v4) return false;\n"
    "    var a = h.split(\".\"), x = 0;\n"
    "    for (var i = 0; i < 4; i++) x = x * 256 + (parseInt(a[i], 10) & 255);\n"
    "    return ((x & mask) >>> 0) == base;\n"
    "  }\n"
    "  function net6(range) { return v6 && typeof isInNetEx == \"function\" && isInNetEx(h, "
    "range); }\n";

struct writer {
  char* out;
  size_t capacity;
  size_t used = 0;
  bool full = false;
  void put(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (full) return;
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(out + used, capacity - used, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= capacity - used) {
      full = true;
      return;
    }
    used += static_cast<size_t>(n);
  }
};

uint32_t v4_number(const uint8_t* b) {
  return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
         static_cast<uint32_t>(b[2]) << 8 | b[3];
}

void put_condition(writer& w, const rule_set& set, const rule& r) {
  w.put("ports(%u, %u)", r.port_low == 0 ? 1u : r.port_low, static_cast<unsigned>(r.port_high));
  const int len = r.name_len;
  const char* name = set.names + r.name_at;
  switch (r.form) {
    case rule_form::any:
      break;
    case rule_form::host:
      w.put(" && name(\"%.*s\")", len, name);
      break;
    case rule_form::domain:
      w.put(" && domain(\"%.*s\")", len, name);
      break;
    case rule_form::range:
      if (r.range.base.family == 4) {
        const uint32_t mask = r.range.prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - r.range.prefix);
        w.put(" && net4(%u, %u)", v4_number(r.range.base.bytes), mask);
      } else {
        char address[64] = "";
        net_address_text(r.range.base, address, sizeof address);
        w.put(" && net6(\"%s/%u\")", address, r.range.prefix);
      }
      break;
  }
}

}  // namespace

size_t rules_pac(const rule_set& set, std::string_view proxy_host, uint16_t proxy_port, char* out,
                 size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  writer w{out, capacity};
  w.put("%s", PAC_HEAD);
  w.put("  var proxy = \"SOCKS5 %.*s:%u; PROXY %.*s:%u\";\n", static_cast<int>(proxy_host.size()),
        proxy_host.data(), proxy_port, static_cast<int>(proxy_host.size()), proxy_host.data(),
        proxy_port);
  for (int i = 0; i < set.count; ++i) {
    const rule& r = set.rules[i];
    w.put("  if (");
    put_condition(w, set, r);
    w.put(") return %s;\n", r.action == rule_action::direct ? "\"DIRECT\"" : "proxy");
  }
  w.put("  return proxy;\n}\n");
  if (w.full) {
    out[0] = 0;
    return 0;
  }
  return w.used;
}
