// What a check learns and records: the judge request, the reply parser
// shared with the public-address request, the result statement with its
// purge and blocking rules, and the panel's check line.
#include "maintenance/checker.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chain/negotiate.h"
#include "chain/select.h"
#include "db/db.h"
#include "engine/slot.h"
#include "log/metrics.h"
#include "log/push.h"
#include "maintenance/checkqueue.h"
#include "maintenance/checksteps.h"
#include "maintenance/echo.h"
#include "maintenance/handlers.h"
#include "maintenance/import.h"
#include "maintenance/myip.h"
#include "maintenance/resolver.h"
#include "maintenance/scheduler.h"
#include "maintenance/sql.h"
#include "platform/clock.h"
#include "util/ascii.h"
#include "util/http.h"
#include "util/literal.h"
#include "util/socks.h"
#include "util/text.h"

static_assert(std::endian::native == std::endian::little,
              "addresses are kept as the proxy table's ip number, first octet in the low byte");
static_assert(sizeof(check_record) <= ROUTE_SIZE);

uint32_t failed_check_count = 0;

namespace {

constexpr size_t REQUEST_BUFFER = 4096;

const uint8_t* find_bytes(const uint8_t* from, const uint8_t* end, const char* needle) {
  size_t n = std::strlen(needle);
  if (from >= end || static_cast<size_t>(end - from) < n) return nullptr;
  return static_cast<const uint8_t*>(memmem(from, static_cast<size_t>(end - from), needle, n));
}

}  // namespace

void checker_reset() {
  failed_check_count = 0;
  check_queue_reset();
}

bool parse_dotted_quad(const char* text, uint32_t* addr) {
  if (text == nullptr) return false;
  uint32_t result = 0;
  int part = 0;
  unsigned value = 0;
  int digits = 0;
  for (const char* p = text;; ++p) {
    if (*p >= '0' && *p <= '9') {
      value = value * 10 + static_cast<unsigned>(*p - '0');
      if (++digits > 3 || value > 255) return false;
    } else if (*p == '.' || *p == 0) {
      result |= value << (8 * part);
      ++part;
      value = 0;
      digits = 0;
      if (*p == 0) break;
      if (part > 3) return false;
    } else {
      return false;
    }
  }
  if (part != 4) return false;
  *addr = result;
  return true;
}

char* judge_request(const check_record* rec, judge_form form) {
  char body[160];
  if (rec != nullptr) {
    uint32_t a = rec->ip;
    std::snprintf(body, sizeof body, MV_LIT("proxy=%u.%u.%u.%u&port=%u&ref=%u"), a & 0xFF,
                  (a >> 8) & 0xFF, (a >> 16) & 0xFF, a >> 24, rec->port, rec->proxy_ref);
  } else {
    std::snprintf(body, sizeof body, "%s", MV_LIT("myip=1"));
  }
  const char* target = form == judge_form::full_url ? checker_url() : checker_path();
  if (target[0] == 0) target = "/";  // a request line needs a target
  char* out = static_cast<char*>(std::malloc(REQUEST_BUFFER));
  if (out == nullptr) return nullptr;
  size_t body_len = std::strlen(body);
  int n = std::snprintf(out, REQUEST_BUFFER,
                        MV_LIT("POST %s HTTP/1.0\r\nHost: %s\r\nContent-Type: "
                               "application/x-www-form-urlencoded\r\nContent-Length: "
                               "%d\r\nConnection: close\r\n%s"),
                        target, checker_host(), static_cast<int>(body_len), client_id_line(0));
  if (n < 0 || static_cast<size_t>(n) + body_len >= REQUEST_BUFFER) {
    std::free(out);
    return nullptr;
  }
  std::memcpy(out + n, body, body_len + 1);
  return out;
}

namespace {

constexpr const char* control_tags[] = {"delay_myip", "delay_proxy", "deny_checks", "url_checker",
                                        "proxy_list"};

bool is_control_tag(const char* tag) {
  for (const char* name : control_tags)
    if (strcasecmp(tag, name) == 0) return true;
  return false;
}

// Applies a control item of our own reply block on the direct request.
void apply_control(const char* tag, const char* value) {
  const long number = std::strtol(value, nullptr, 10);
  if (strcasecmp(tag, "delay_myip") == 0 && number > 0) delay_myip = static_cast<int32_t>(number);
  if (strcasecmp(tag, "delay_proxy") == 0 && number > 0) {
    delay_proxy = static_cast<int32_t>(number);
    // The service sets the spacing of the requests that reach it.
    check_pace_set(static_cast<uint32_t>(number) * 1000u);
  }
  if (strcasecmp(tag, "deny_checks") == 0 && number > 0) checks_denied = true;
  if (strcasecmp(tag, "url_checker") == 0) {
    size_t n = std::strlen(value) + 1;
    char* copy = static_cast<char*>(std::malloc(n));
    if (copy == nullptr) return;
    std::memcpy(copy, value, n);
    setting_str(MV_LIT("url_checker"), copy, n, 1);
    std::free(copy);
    checker_location_moved();
  }
  // A long list goes in batches between the engine's cycles.
  if (strcasecmp(tag, "proxy_list") == 0 && !import_start(value, 0, nullptr, 0, ""))
    std::free(import_proxy_list(value, 0));
}

// An address or header item: the public address on the direct request,
// the verdict of the step in a check.
void apply_seen_item(const char* tag, const char* value, check_record* rec) {
  const bool remote = strcasecmp(tag, "REMOTE_ADDR") == 0;
  if (rec != nullptr) {
    char dotted[16];
    uint32_t a = public_addr;
    std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", a & 0xFF, (a >> 8) & 0xFF, (a >> 16) & 0xFF,
                  a >> 24);
    if (text_find(value, dotted) != nullptr) rec->verdict |= PT_TRANSPARENT;
    if (!remote) rec->verdict |= PT_ANONYMOUS;
    rec->verdict |= rec->step;
    return;
  }
  uint32_t addr;
  if (remote && parse_dotted_quad(value, &addr)) public_addr = addr;
}

// One item of a reply. Control items count only from our own block on the
// direct request: a reply that came back through the proxy under check may
// have been forged by it, so there they are ignored altogether.
void apply_item(const char* tag, const char* value, check_record* rec, bool controls) {
  if (tag == nullptr || value == nullptr) return;
  if (is_control_tag(tag)) {
    if (controls) apply_control(tag, value);
    return;
  }
  apply_seen_item(tag, value, rec);
}

void apply_echo_item(const char* tag, const char* value, void* ctx) {
  apply_item(tag, value, static_cast<check_record*>(ctx), false);
}

// The items of our own block [from, from + span); `controls`: honour them.
void read_block(const uint8_t* from, size_t span, check_record* rec, bool controls) {
  // Work on a terminated copy of the block so items can be cut in place.
  char* block = static_cast<char*>(std::malloc(span + 1));
  if (block == nullptr) return;
  std::memcpy(block, from, span);
  block[span] = 0;

  size_t i = 0;
  while (i < span) {
    if (block[i] != '<') {
      ++i;
      continue;
    }
    size_t t = i + 1;
    while (t < span && ascii_is_name_char(static_cast<uint8_t>(block[t])) && t - i - 1 < 61) ++t;
    size_t tag_len = t - i - 1;
    if (tag_len < 1 || tag_len > 60 || t >= span || block[t] != '>') {
      ++i;
      continue;
    }
    size_t v = t + 1;
    while (v < span && ascii_is_blank(static_cast<uint8_t>(block[v]))) ++v;
    size_t ve = v;
    while (ve < span && block[ve] != '<' && block[ve] != '>') ++ve;
    if (ve >= span || block[ve] != '<') {
      ++i;
      continue;
    }
    // The closing tag: "</" + tag + ">".
    size_t c = ve + 1;
    if (c + tag_len + 2 > span || block[c] != '/' ||
        std::memcmp(block + c + 1, block + i + 1, tag_len) != 0 || block[c + 1 + tag_len] != '>') {
      ++i;
      continue;
    }
    size_t gt = c + 1 + tag_len;
    size_t value_end = ve;
    while (value_end > v && ascii_is_blank(static_cast<uint8_t>(block[value_end - 1]))) --value_end;
    char saved_tag_end = block[t];
    char saved_value_end = block[value_end];
    block[t] = 0;
    block[value_end] = 0;
    apply_item(block + i + 1, block + v, rec, controls);
    block[t] = saved_tag_end;
    block[value_end] = saved_value_end;
    i = gt + 2;
  }
  std::free(block);
}

// A reply in one of the header-echo formats; true when it held any item.
bool read_echo(const uint8_t* bytes, size_t length, check_record* rec) {
  const uint8_t* body = echo_body(bytes, length);
  const size_t rest = static_cast<size_t>(bytes + length - body);
  if (echo_read_json(body, rest, apply_echo_item, rec) > 0) return true;
  return echo_read_lines(body, rest, apply_echo_item, rec) > 0;
}

void note_reply_time(check_record* rec) {
  if (rec == nullptr || rec->step_started == 0) return;
  uint32_t elapsed = tick_now() - rec->step_started;
  if (elapsed == 0) elapsed = 1;
  if (elapsed > rec->reply_ms) rec->reply_ms = elapsed;
}

}  // namespace

void parse_reply(const uint8_t* bytes, size_t length, check_record* rec) {
  if (bytes == nullptr || length == 0) return;
  const void* nul = std::memchr(bytes, 0, length);
  if (nul != nullptr) length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes);
  const uint8_t* end = bytes + length;
  const uint8_t* open = find_bytes(bytes, end, "<Reply>");
  const uint8_t* close = open != nullptr ? find_bytes(open, end, "</Reply>") : nullptr;
  if (open == nullptr || close == nullptr) {
    if (read_echo(bytes, length, rec)) note_reply_time(rec);
    return;
  }
  note_reply_time(rec);
  const uint8_t* from = open + 7;
  if (close <= from) return;
  read_block(from, static_cast<size_t>(close - from), rec, rec == nullptr);
}

int format_check_line(char* out, size_t capacity, const char* name, const check_record* rec) {
  char quoted[260];
  if (name == nullptr || reinterpret_cast<uintptr_t>(name) < 1024) {
    std::snprintf(quoted, sizeof quoted, "null");
  } else {
    size_t n = 0;
    quoted[n++] = '"';
    for (const char* p = name; *p != 0 && n < 254; ++p) {
      char c = *p;
      if (c == '"' || c == '\'' || c == '\\' || c == '<' || c == '>' ||
          static_cast<unsigned char>(c) < 0x20)
        c = '_';
      quoted[n++] = c;
    }
    quoted[n++] = '"';
    quoted[n] = 0;
  }
  unsigned long time = (rec->verdict & PT_NOT_WORKING) ? 0 : rec->reply_ms;
  int n = std::snprintf(
      out, capacity,
      MV_LIT("<script type=\"text/javascript\">C([%d,%lu,%d,%d,%d,%s,%lu]);</script>\n"),
      rec->finished, static_cast<unsigned long>(rec->ip), rec->port, rec->step, rec->verdict,
      quoted, time);
  if (n < 0) return 0;
  return static_cast<size_t>(n) >= capacity ? static_cast<int>(capacity) - 1 : n;
}

void panel_check_line(const char* name, const check_record* rec) {
  char line[512];
  int n = format_check_line(line, sizeof line, name, rec);
  if (n > 0) panel_broadcast(line, n);
}

void record_check_result(check_record* rec) {
  uint8_t v = rec->verdict;
  if (v & PT_NOT_WORKING) v = PT_NOT_WORKING;
  if (v == 0) v = PT_NOT_WORKING;
  if ((v & PT_ANONYMOUS) && (v & PT_TRANSPARENT)) v &= static_cast<uint8_t>(~PT_ANONYMOUS);
  rec->verdict = v;
  bool working = !(v & PT_NOT_WORKING);
  metrics_check_done(working);

  char rank_expr[64];
  if (working)
    std::snprintf(rank_expr, sizeof rank_expr, "rank");
  else
    std::snprintf(rank_expr, sizeof rank_expr, MV_LIT("CASE WHEN rank>%d THEN rank-%d ELSE 0 END"),
                  10, 10);
  db_exec(sql_check_result(), static_cast<int>(v), working ? ",t_ok=Now()," : ",",
          working ? rec->reply_ms : 0u, working ? "0" : "n_err+1", rank_expr,
          static_cast<unsigned>(rec->ip), static_cast<unsigned>(rec->port));
  rec->finished = 1;

  char name[256];
  name[0] = 0;
  if (rec->name_known == 0) {
    char* text = db_query_text(
        "", "", MV_LIT("SELECT host FROM " MAINT_PROXY_TABLE " WHERE ip=%u AND port=%u"),
        static_cast<unsigned>(rec->ip), static_cast<unsigned>(rec->port));
    if (text != nullptr) {
      std::snprintf(name, sizeof name, "%s", text);
      std::free(text);
    }
  }
  panel_check_line(name[0] != 0 ? name : nullptr, rec);

  if (!working) {
    if (++failed_check_count >= 10) {
      failed_check_count = 0;
      if (setting_int(MV_LIT("delete_dead"), 0, 0) > 0)
        db_exec(MV_LIT("DELETE FROM " MAINT_PROXY_TABLE
                       " WHERE COALESCE(t_ok,0)<Now()-%d AND rank<%d AND n_err>=%d"),
                2880, 2, 5);
    }
  } else if ((v & PT_TRANSPARENT) && setting_int(MV_LIT("block_transparent"), 0, 0) > 0) {
    std::free(proxy_block(0, rec->ip, rec->port));
  }
}

char* proxy_block(int block, uint32_t ip, int port) {
  db_exec(MV_LIT("UPDATE proxy SET blocked=%d WHERE ip=%u AND port=%d"), block == 0 ? 1 : 0, ip,
          port);
  chain_cache_clear();
  return text_append_format(nullptr, MV_LIT("{block:%d, ip:%lu, port:%d}"), block,
                            static_cast<unsigned long>(ip), port);
}
