// Panel commands: parameter reading, URL decoding and the commands behind
// POST requests to "ajax".
#include "panel/commands.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chain/failover.h"
#include "chain/limits.h"
#include "chain/negotiate.h"
#include "chain/rewrite.h"
#include "chain/ruleset.h"
#include "chain/select.h"
#include "db/db.h"
#include "log/console.h"
#include "log/log.h"
#include "maintenance/checker.h"
#include "maintenance/checkqueue.h"
#include "maintenance/checksite.h"
#include "maintenance/import.h"
#include "maintenance/myip.h"
#include "panel/textbuf.h"
#include "panel/usercmd.h"
#include "util/ascii.h"
#include "util/literal.h"
#include "util/rules.h"
#include "util/text.h"

namespace {

// Finds name=value in one span; true with the value's place when found.
bool span_find(const param_span& span, const char* name, size_t name_len, const char** value,
               size_t* length) {
  if (span.data == nullptr) return false;
  const char* d = span.data;
  const size_t len = span.len;
  // Items start at position 0 and at every "&" ("&amp;" counts as one).
  size_t pos = 0;
  for (;;) {
    size_t item = pos;
    if (item < len && d[item] == '&')
      item += (len - item >= 5 && strncasecmp(d + item, "&amp;", 5) == 0) ? 5 : 1;
    if (len - item > name_len && memcmp(d + item, name, name_len) == 0 &&
        d[item + name_len] == '=') {
      const char* v = d + item + name_len + 1;
      const char* stop = static_cast<const char*>(memchr(v, '&', d + len - v));
      *value = v;
      *length = static_cast<size_t>((stop != nullptr ? stop : d + len) - v);
      return true;
    }
    if (pos + 1 >= len) return false;
    const char* next = static_cast<const char*>(memchr(d + pos + 1, '&', len - pos - 1));
    if (next == nullptr) return false;
    pos = static_cast<size_t>(next - d);
  }
}

// Reads a parameter through param_text with the given size and returns the
// text's numeric value by the chosen rule.
long filter_number(const char* name, const param_spans& spans) {
  char buffer[32];
  if (!param_text(name, sizeof buffer, spans, buffer)) return 0;
  return strtol(buffer, nullptr, 10);
}

uint32_t digits_number(const char* name, const param_spans& spans) {
  char buffer[32];
  if (!param_text(name, sizeof buffer, spans, buffer)) return 0;
  return parse_decimal(buffer);
}

// The settings object of "settings" and "save_settings".
// Why the last save left out a link ("" when it left out none).
char link_refusal[96] = "";
// Why the last save left the rules as they were ("" when it took them).
char rules_refusal[160] = "";

char* settings_object(int saved) {
  char* chain = db_query_text("j,", "],[",
                              MV_LIT("SELECT position,selection,flags,ip,port FROM "
                                     "chain ORDER BY position"));
  char* members = db_query_text("J", ", ", MV_LIT("SELECT name,value FROM settings ORDER BY name"));
  textbuf out{};
  if (chain != nullptr && chain[0] != 0) {
    textbuf_add(out, MV_LIT("{chain:[["));
    textbuf_add(out, chain);
    textbuf_add(out, "]], ");
  } else {
    textbuf_add(out, MV_LIT("{chain:null, "));
  }
  if (members != nullptr && members[0] != 0) {
    textbuf_add(out, members);
    textbuf_add(out, ", ");
  }
  if (saved && link_refusal[0] != 0) textbuf_addf(out, "refused:\"%s\", ", link_refusal);
  if (saved && rules_refusal[0] != 0) textbuf_addf(out, "rules_refused:\"%s\", ", rules_refusal);
  textbuf_addf(out, MV_LIT("saved:%d, now:%u}"), saved, minute_clock());
  free(chain);
  free(members);
  return textbuf_take(out);
}

char* load_proxy(const param_spans& spans) {
  long filter = filter_number("filter", spans);
  long live = filter_number("live", spans);
  long dead = filter_number("dead", spans);
  long blocked = filter_number("blocked", spans);
  long anon = filter_number("anon", spans);
  char order_param[32];
  if (!param_text("order", sizeof order_param, spans, order_param)) order_param[0] = 0;

  char where[256];
  char order[64];
  proxy_list_where(static_cast<int>(filter), static_cast<int>(live), static_cast<int>(dead),
                   static_cast<int>(blocked), static_cast<int>(anon), where, sizeof where);
  proxy_list_order(order_param, order, sizeof order);
  // Both texts are built here from numbers and known column names only.
  char* rows =
      db_query_text("j,", "],[",
                    // The password itself never leaves the database: only whether there is one.
                    MV_LIT("SELECT ip,port,type,blocked,rank,t_ok,n_err,timeout,host,auth_user,"
                           "auth_pass<>'',auth_refused FROM proxy %s %s"),
                    where, order);
  textbuf out{};
  if (rows == nullptr || rows[0] == 0) {
    textbuf_add(out, "null");
  } else {
    textbuf_add(out, "[[");
    textbuf_add(out, rows);
    textbuf_add(out, "]]");
  }
  free(rows);
  return textbuf_take(out);
}

char* upload_proxy(const param_spans& spans) {
  char* text = upload_text(spans);
  if (text == nullptr) return nullptr;
  char* summary = import_proxy_list(text, 0);
  free(text);
  return summary;
}

// Stores a text setting from the form: blanks squeezed, one entry per line.
void save_text_setting(const char* name, const param_spans& spans, bool one_per_line) {
  constexpr size_t size = 16382;
  char* buffer = static_cast<char*>(malloc(size));
  if (buffer == nullptr) return;
  if (param_text(name, size, spans, buffer)) {
    blank_normalize(buffer);
    if (one_per_line)
      for (char* p = buffer; *p; ++p)
        if (*p == ' ') *p = '\n';
    setting_str(name, buffer, 16380, 1);
  }
  free(buffer);
}

// The checker URLs, one per line; a change moves the checker at once.
void save_checker_urls(const param_spans& spans) {
  constexpr size_t size = 2048;
  char before[size] = "";
  char after[size] = "";
  setting_str("url_checker", before, size, 0);
  save_text_setting("url_checker", spans, true);
  setting_str("url_checker", after, size, 0);
  if (strcmp(before, after) != 0) checker_location_moved();
}

// "chain_retries" when the form sends it, kept within 0-5.
void save_chain_retries(const param_spans& spans) {
  char text[16];
  if (!param_text("chain_retries", sizeof text, spans, text)) return;
  long retries = strtol(text, nullptr, 10);
  if (retries < 0) retries = 0;
  if (retries > 5) retries = 5;
  setting_int("chain_retries", static_cast<int>(retries), 1);
  chain_retries_reset();
}

// A whole-number setting kept within its range when the form sends it.
void save_bounded(const param_spans& spans, const char* name, long low, long high) {
  char text[16];
  if (!param_text(name, sizeof text, spans, text)) return;
  long value = strtol(text, nullptr, 10);
  if (value < low) value = low;
  if (value > high) value = high;
  setting_int(name, static_cast<int>(value), 1);
}

// The check sites, one a line ("URL WORD"; ';' also ends a line). A list
// with a line that is not of that form is not stored, and the console
// says which line.
void save_check_sites(const param_spans& spans) {
  constexpr size_t size = 4096;
  char* text = static_cast<char*>(malloc(size));
  if (text == nullptr) return;
  if (param_text("check_sites", size, spans, text)) {
    for (char* p = text; *p; ++p)
      if (*p == ';' || *p == '\r') *p = '\n';
    check_site sites[CHECK_SITES_MAX];
    int bad = 0;
    check_sites_parse(text, sites, CHECK_SITES_MAX, &bad);
    if (bad != 0)
      console_line("check_sites not changed: line %d is not \"http://HOST[:PORT]/PATH WORD\"", bad);
    else
      setting_str("check_sites", text, size, 1);
  }
  free(text);
}

// The destination rules when the form sends them: a list with a bad line
// is not stored, and the reply says which line and why.
void save_rules(const param_spans& spans) {
  rules_refusal[0] = 0;
  static char text[RULES_TEXT_MAX + 2];
  static rule_set scratch;
  if (!param_text("rules", sizeof text, spans, text)) return;
  size_t n = strlen(text);
  rule_error error;
  if (n > RULES_TEXT_MAX) {
    snprintf(rules_refusal, sizeof rules_refusal,
             "rules not changed: the list is longer than 64 KiB");
  } else if (!rules_parse(std::string_view(text, n), scratch, error)) {
    snprintf(rules_refusal, sizeof rules_refusal, "rules not changed: line %u: %s", error.line,
             error.why);
  }
  if (rules_refusal[0] != 0) {
    console_line("%s", rules_refusal);
    return;
  }
  // Kept as given, line ends as "\n".
  size_t w = 0;
  for (size_t r = 0; r < n; ++r)
    if (text[r] != '\r') text[w++] = text[r];
  text[w] = 0;
  setting_str("rules", text, sizeof text, 1);
  rules_forget();
}

// "hop_timeout", "chain_timeout" and "race_after" when the form sends them,
// in their ranges.
void save_time_limits(const param_spans& spans) {
  char text[16];
  if (param_text("hop_timeout", sizeof text, spans, text))
    setting_int("hop_timeout", hop_timeout_clamped(strtol(text, nullptr, 10)), 1);
  if (param_text("chain_timeout", sizeof text, spans, text))
    setting_int("chain_timeout", chain_timeout_clamped(strtol(text, nullptr, 10)), 1);
  if (param_text("race_after", sizeof text, spans, text))
    setting_int("race_after", race_after_clamped(strtol(text, nullptr, 10)), 1);
  chain_limits_reset();
}

// Link i of the request.
struct chain_link {
  uint32_t selection, flags, ip, port;
};
chain_link link_of(const param_spans& spans, uint32_t i) {
  char name[32];
  chain_link l{};
  snprintf(name, sizeof name, "selection%u", i);
  l.selection = param_number(name, spans);
  snprintf(name, sizeof name, "flags%u", i);
  l.flags = param_number(name, spans);
  snprintf(name, sizeof name, "ip%u", i);
  l.ip = param_number(name, spans);
  snprintf(name, sizeof name, "port%u", i);
  l.port = param_number(name, spans);
  return l;
}

// A fixed link to our own listener would make every chain a loop: the
// reason, and true.
bool link_refused(const chain_link& l, uint32_t i) {
  if (l.selection != 5 || l.port > 0xFFFF || !chain_hop_is_us(l.ip, static_cast<uint16_t>(l.port)))
    return false;
  snprintf(link_refusal, sizeof link_refusal,
           "link %u refused: %u.%u.%u.%u:%u is this program's own listener", i + 1, l.ip & 0xFF,
           (l.ip >> 8) & 0xFF, (l.ip >> 16) & 0xFF, l.ip >> 24, l.port);
  console_line("%s", link_refusal);
  return true;
}

// Replaces the chain by the links of the request; a refused link leaves
// the chain as it was.
void save_chain(const param_spans& spans) {
  link_refusal[0] = 0;
  uint32_t num = param_number("num", spans);
  if (num > MAX_CHAIN_LINKS) num = MAX_CHAIN_LINKS;
  for (uint32_t i = 0; i < num; ++i)
    if (link_refused(link_of(spans, i), i)) return;
  db_exec(sql_chain_clear());
  for (uint32_t i = 0; i < num; ++i) {
    const chain_link l = link_of(spans, i);
    db_exec(sql_link_insert(), static_cast<int>(i), l.selection, l.flags, l.ip, l.port);
  }
}

// Only what the request names changes: the chain when "num" is given, each
// setting when its parameter is (the panel's form sends them all; "merovane
// ctl set" sends one).
char* save_settings(char* type, const param_spans& spans) {
  snprintf(type, 64, "%s", "settings");
  const char* present;
  size_t present_len;
  if (param_find(spans, "num", &present, &present_len)) save_chain(spans);
  static constexpr const char* integer_settings[] = {"block_transparent", "delete_dead",
                                                     "force_http_10", "log_level", "remote_dns"};
  for (const char* name : integer_settings)
    if (param_find(spans, name, &present, &present_len))
      setting_int(name, static_cast<int>(param_number(name, spans)), 1);
  save_text_setting("download_urls", spans, true);
  // The log folder is one text; blanks inside it are squeezed, not split.
  save_text_setting("log_dir", spans, false);
  save_checker_urls(spans);
  save_chain_retries(spans);
  save_bounded(spans, "check_parallel", 0, CHECK_PARALLEL_MAX);
  save_bounded(spans, "check_timeout", 1, CHECK_TIMEOUT_MAX);
  save_check_sites(spans);
  check_queue_wake();
  save_time_limits(spans);
  save_rules(spans);
  // The new values count from the next connection on.
  chain_cache_clear();
  log_settings_forget();
  force_http_10_reset();
  console_line("settings changed from the panel");
  return settings_object(1);
}

}  // namespace

bool param_find(const param_spans& spans, const char* name, const char** value, size_t* length) {
  if (name == nullptr || value == nullptr || length == nullptr) return false;
  size_t name_len = strlen(name);
  bool found = false;
  for (const param_span& span : spans.span) {
    const char* v;
    size_t l;
    if (span_find(span, name, name_len, &v, &l)) {
      *value = v;  // a later span (the body) overrides the query
      *length = l;
      found = true;
    }
  }
  return found;
}

size_t url_decode(const char* src, char* dest, size_t n) {
  if (dest == nullptr || n == 0) return 0;
  size_t w = 0;
  if (src != nullptr) {
    const char* p = src;
    while (*p && w + 1 < n) {
      if (*p == '+') {
        dest[w++] = ' ';
        ++p;
      } else if (*p == '%' && ascii_hex_value(p[1]) >= 0 && ascii_hex_value(p[2]) >= 0) {
        dest[w++] = static_cast<char>(ascii_hex_value(p[1]) * 16 + ascii_hex_value(p[2]));
        p += 3;
      } else if (*p == '%' && (p[1] == 'u' || p[1] == 'U') && ascii_hex_value(p[2]) >= 0 &&
                 ascii_hex_value(p[3]) >= 0) {
        dest[w++] = '?';
        p += 2;
        for (int i = 0; i < 4 && *p; ++i) ++p;
        if (*p == ';') ++p;
      } else {
        dest[w++] = *p++;
      }
    }
  }
  dest[w] = 0;
  return w;
}

bool param_text(const char* name, size_t size, const param_spans& spans, char* buffer) {
  const char* raw;
  size_t length;
  if (!param_find(spans, name, &raw, &length)) return false;
  if (buffer == nullptr || size == 0) return true;
  size_t limit = 2 * size + 60;
  if (length > limit) length = limit;
  char* copy = static_cast<char*>(malloc(length + 1));
  if (copy == nullptr) {
    buffer[0] = 0;
    return true;
  }
  memcpy(copy, raw, length);
  copy[length] = 0;
  url_decode(copy, buffer, size > 1 ? size - 1 : 1);
  free(copy);
  return true;
}

uint32_t param_number(const char* name, const param_spans& spans) {
  constexpr size_t size = 2040;
  char buffer[size];
  if (!param_text(name, size, spans, buffer)) return 0;
  return parse_decimal(buffer);
}

void blank_normalize(char* text) {
  if (text == nullptr) return;
  char* w = text;
  const char* r = text;
  while (ascii_is_blank(*r)) ++r;
  bool pending_space = false;
  for (; *r; ++r) {
    if (ascii_is_blank(*r)) {
      pending_space = true;
      continue;
    }
    if (pending_space) *w++ = ' ';
    pending_space = false;
    *w++ = *r;
  }
  *w = 0;
}

void proxy_list_where(int filter, int live, int dead, int blocked, int anon, char* out,
                      size_t size) {
  if (out == nullptr || size == 0) return;
  int n = snprintf(out, size, "WHERE blocked=%d", blocked);
  auto add = [&](const char* format, int a, int b) {
    if (n >= 0 && static_cast<size_t>(n) < size) n += snprintf(out + n, size - n, format, a, b);
  };
  if (live != 0 && dead == 0) {
    if (filter != 0)
      add(" AND (type&%d) AND NOT (type&%d)", filter, 1);
    else
      add(" AND type AND NOT (type&%d)", 1, 0);
  } else if (live == 0 && dead != 0) {
    if (filter != 0)
      add(" AND (type&%d) AND (type&%d)", filter, 1);
    else
      add(" AND (type&%d)", 1, 0);
  } else if (filter != 0) {
    add(" AND (type&%d)", filter, 0);
  }
  if (anon == 1)
    add(" AND (type&%d)=%d", 6, 2);
  else if (anon == 2)
    add(" AND (type&%d)=%d", 6, 4);
  else if (anon == 3)
    add(" AND type>1 AND (type&%d)=%d", 6, 0);
}

void proxy_list_order(const char* order, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  out[0] = 0;
  if (order == nullptr) return;
  static constexpr const char* columns[] = {"ip",   "port",  "type",    "blocked", "rank",
                                            "t_ok", "n_err", "timeout", "host"};
  const char* p = order;
  while (ascii_is_blank(*p)) ++p;
  const char* word = p;
  while (*p && !ascii_is_blank(*p)) ++p;
  size_t word_len = static_cast<size_t>(p - word);
  const char* column = nullptr;
  for (const char* c : columns)
    if (strlen(c) == word_len && strncasecmp(c, word, word_len) == 0) column = c;
  if (column == nullptr) return;
  while (ascii_is_blank(*p)) ++p;
  const char* direction = "";
  if (strncasecmp(p, "asc", 3) == 0) {
    direction = " ASC";
    p += 3;
  } else if (strncasecmp(p, "desc", 4) == 0) {
    direction = " DESC";
    p += 4;
  }
  while (ascii_is_blank(*p)) ++p;
  if (*p != 0) return;  // anything more is not a plain ordering
  snprintf(out, size, "ORDER BY %s%s", column, direction);
}

char* upload_text(const param_spans& spans) {
  const char* raw;
  size_t length;
  if (!param_find(spans, "list", &raw, &length) || length == 0) return nullptr;
  char* text = static_cast<char*>(calloc(length + 8, 1));
  if (text == nullptr) return nullptr;
  memcpy(text, raw, length);
  url_decode(text, text, length + 4);
  return text;
}

// The check pass for `ctl status` and `ctl check`, and what a first run
// still lacks. `front`: "all" puts every proxy at the front first.
char* check_progress_object(const param_spans& spans) {
  char front[8] = "";
  uint32_t due = 0;
  if (param_text("front", sizeof front, spans, front) && front[0] != 0)
    due = check_queue_front(strcmp(front, "all") == 0);
  const check_progress p = check_progress_now();
  char line[160];
  check_progress_text(p, line, sizeof line);
  static constexpr const char* modes[] = {"wait", "service", "reach"};
  char* proxies = db_query_text("", "", MV_LIT("SELECT count(*) FROM proxy"));
  char* working = db_query_text(
      "", "",
      MV_LIT("SELECT count(*) FROM proxy WHERE blocked=0 AND (type&1)=0 AND (type&120)<>0"));
  char* links = db_query_text("", "", MV_LIT("SELECT count(*) FROM chain"));
  char* out = text_append_format(
      nullptr,
      MV_LIT("{active:%d, passes:%u, done:%u, working:%u, remaining:%u, running:%u, elapsed:%u, "
             "eta:%u, "
             "mode:\"%s\", sites:%d, proxies:%s, usable:%s, links:%s, due:%u, line:\"%s\"}"),
      p.active ? 1 : 0, p.passes, p.done, p.working, p.remaining, p.running, p.elapsed_s, p.eta_s,
      modes[static_cast<int>(p.mode)], p.mode == check_mode::reach ? check_sites_ready() : 0,
      proxies != nullptr ? proxies : "0", working != nullptr ? working : "0",
      links != nullptr ? links : "0", due, line);
  free(proxies);
  free(working);
  free(links);
  return out;
}

char* panel_command(char* type, const param_spans& spans) {
  if (type == nullptr) return nullptr;
  if (strcmp(type, "load_proxy") == 0) return load_proxy(spans);
  if (strcmp(type, "upload_proxy") == 0) return upload_proxy(spans);
  if (strcmp(type, "block_proxy") == 0) {
    uint32_t block = digits_number("block", spans);
    uint32_t ip = digits_number("ip", spans);
    uint32_t port = digits_number("port", spans);
    return proxy_block(static_cast<int>(block), ip, static_cast<int>(port));
  }
  if (strcmp(type, "recheck_proxy") == 0) {
    uint32_t ip = digits_number("ip", spans);
    uint32_t port = digits_number("port", spans);
    start_check(ip, static_cast<uint16_t>(port), 1);
    return nullptr;
  }
  if (strcmp(type, "check_progress") == 0) return check_progress_object(spans);
  if (strcmp(type, "settings") == 0) return settings_object(0);
  if (strcmp(type, "save_settings") == 0) return save_settings(type, spans);
  return user_command(type, spans);
}

char* panel_ajax(const param_spans& spans) {
  char type[64];
  if (!param_text("type", sizeof type, spans, type)) return nullptr;
  char* value = panel_command(type, spans);
  // Only known command names give a value, so the name is safe in the script.
  return value != nullptr ? ajax_script(type, value) : nullptr;
}

char* ajax_script(const char* type, char* value) {
  textbuf out{};
  textbuf_addf(out, MV_LIT("ajax_callback(\"%s\","), type);
  textbuf_add(out, value != nullptr ? value : "null");
  textbuf_add(out, ");\n");
  free(value);
  return textbuf_take(out);
}
