// The proxy checker: the four-step check of one proxy through the checker
// service, the judge request, the reply parser and the recording of results.
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

uint32_t recent_checks[RECENT_CHECKS];
uint32_t idle_since = 0;
uint32_t failed_check_count = 0;

namespace {

constexpr uint32_t STEP_LIMIT_MS = 60000;
constexpr size_t REQUEST_BUFFER = 4096;
constexpr int OPENING_LIMIT = 1023;

// Extra per-check state kept behind the record in the route area.
struct check_area {
  check_record rec;
  uint8_t judge_sent;  // the judge request went out in this step
};
static_assert(sizeof(check_area) <= ROUTE_SIZE);

check_area& area_of(int index) {
  return slot_area<check_area>(index);
}

void recent_push(uint32_t addr) {
  std::memmove(recent_checks + 1, recent_checks, sizeof recent_checks - sizeof recent_checks[0]);
  recent_checks[0] = addr;
}

bool recent_has(uint32_t addr) {
  for (uint32_t a : recent_checks)
    if (a == addr) return true;
  return false;
}

// Reads leading decimal digits; false when there are none.
bool read_number(const char*& p, unsigned long* value) {
  if (*p < '0' || *p > '9') return false;
  unsigned long v = 0;
  while (*p >= '0' && *p <= '9') v = v * 10 + static_cast<unsigned long>(*p++ - '0');
  *value = v;
  return true;
}

const uint8_t* find_bytes(const uint8_t* from, const uint8_t* end, const char* needle) {
  size_t n = std::strlen(needle);
  if (from >= end || static_cast<size_t>(end - from) < n) return nullptr;
  return static_cast<const uint8_t*>(memmem(from, static_cast<size_t>(end - from), needle, n));
}

void send_text(int index, const char* text, int limit) {
  int n = static_cast<int>(std::strlen(text));
  if (n > limit) n = limit;
  slot_send(index, text, n);
}

// Sends the judge request in path form; false when it cannot be built.
bool send_judge(int index) {
  char* request = judge_request(&area_of(index).rec, judge_form::path_only);
  if (request == nullptr) return false;
  send_text(index, request, static_cast<int>(REQUEST_BUFFER));
  std::free(request);
  area_of(index).judge_sent = 1;
  return true;
}

// A tunnel reply head with a 2xx status.
bool tunnel_granted(const uint8_t* data, size_t len) {
  constexpr http_status_rules rules = {.leading_blanks = true,
                                       .version_digits = false,
                                       .gap_required = false,
                                       .gap_blanks = true,
                                       .status_digits = 6};
  const int status = http_status_parse(data, len, rules).code;
  return status >= 200 && status <= 299;
}

// Opens the connection of the record's current step. kind_src: the slot
// whose kind area is carried over (copied before allocating).
void step_start(const conn_slot& from, const check_area& carried) {
  char dest_host[DEST_HOST_SIZE];
  std::memcpy(dest_host, from.dest_host, sizeof dest_host);
  uint16_t dest_port = from.dest_port;
  uint32_t started = from.started;
  uint8_t proto = from.proto;
  check_area area = carried;

  int index = slot_alloc(0);
  if (index < 1) return;  // the check ends here, without a result
  conn_slot& slot = conn_table[index];
  slot.kind = slot_kind::check;
  slot.proto = proto;
  std::memcpy(slot.dest_host, dest_host, sizeof dest_host);
  slot.dest_port = dest_port;
  slot.started = started;
  area.rec.phase = 0;
  area.rec.step_started = tick_now();
  area.judge_sent = 0;
  std::memset(slot.route, 0, ROUTE_SIZE);
  std::memcpy(slot.route, &area, sizeof area);
  if (!slot_connect(index, area.rec.ip, area.rec.port)) slot_abort(index);
  panel_check_line(nullptr, &area.rec);
}

// The reply starts with a status line of the given status.
bool status_is(const uint8_t* d, size_t n, const char* status) {
  if (d == nullptr || n < 12 || std::memcmp(d, "HTTP/", 5) != 0) return false;
  const uint8_t* space = static_cast<const uint8_t*>(std::memchr(d, ' ', n < 16 ? n : 16));
  return space != nullptr && static_cast<size_t>(space - d) + 4 <= n &&
         std::memcmp(space + 1, status, 3) == 0;
}

// The stored sign-in of the proxy under check.
bool login_of(const check_record& rec, proxy_login& login) {
  return proxy_credentials(rec.ip, rec.port, login);
}

// "Proxy-Authorization" line for the proxy under check ("" without a sign-in).
void basic_line_of(const check_record& rec, char* out, size_t size) {
  out[0] = 0;
  proxy_login login{};
  if (login_of(rec, login))
    http_basic_line(std::string_view(login.user, login.user_length),
                    std::string_view(login.pass, login.pass_length), out, size);
  std::memset(&login, 0, sizeof login);
}

void send_socks5_connect(int index) {
  uint8_t req[SOCKS_REQUEST_MAX];
  const size_t n = socks5_request(socks_ipv4(checker_addr(), 80), req, sizeof req);
  slot_send(index, req, static_cast<int>(n));
  area_of(index).rec.step = CHECK_SOCKS5_CONNECT;
}

// The first bytes of each step, once the proxy under check is connected.

// SOCKS4 request for the checker; the stored user goes in as the user-id.
void send_socks4_opening(int index, const check_record& rec) {
  proxy_login login{};
  login_of(rec, login);
  uint8_t req[SOCKS_REQUEST_MAX];
  const size_t n = socks4_request(socks_ipv4(checker_addr(), 80),
                                  std::string_view(login.user, login.user_length), req, sizeof req);
  if (n > 0)
    slot_send(index, req, static_cast<int>(n));
  else
    slot_abort(index);
  std::memset(&login, 0, sizeof login);
  std::memset(req, 0, sizeof req);
}

// SOCKS5 greeting: user/password is offered when the proxy has credentials.
void send_socks5_opening(int index, const check_record& rec) {
  proxy_login login{};
  if (login_of(rec, login))
    slot_send(index, SOCKS5_GREETING_WITH_LOGIN.data(),
              static_cast<int>(SOCKS5_GREETING_WITH_LOGIN.size()));
  else
    slot_send(index, SOCKS5_GREETING.data(), static_cast<int>(SOCKS5_GREETING.size()));
  std::memset(&login, 0, sizeof login);
}

// The judge request through a plain HTTP proxy, the sign-in line right after
// the request line.
void send_http_opening(int index, check_record& rec) {
  char* request = judge_request(&rec, judge_form::full_url);
  if (request == nullptr) {
    slot_abort(index);
    return;
  }
  char line[4 * PROXY_LOGIN_MAX];
  basic_line_of(rec, line, sizeof line);
  const char* first_end = std::strstr(request, "\r\n");
  if (line[0] != 0 && first_end != nullptr) {
    const size_t first = static_cast<size_t>(first_end - request) + 2;
    slot_send(index, request, static_cast<int>(first));
    slot_send(index, line, static_cast<int>(std::strlen(line)));
    send_text(index, request + first, OPENING_LIMIT);
  } else {
    send_text(index, request, OPENING_LIMIT);
  }
  std::memset(line, 0, sizeof line);
  std::free(request);
  area_of(index).judge_sent = 1;
}

// The CONNECT tunnel to the checker, with the sign-in line.
void send_https_opening(int index, const check_record& rec) {
  char line[4 * PROXY_LOGIN_MAX];
  basic_line_of(rec, line, sizeof line);
  char tunnel[OPENING_LIMIT + sizeof line + 1];
  std::snprintf(tunnel, sizeof tunnel, MV_LIT("CONNECT %s:80 HTTP/1.0\r\nHost: %s:80\r\n%s\r\n"),
                checker_host(), checker_host(), line);
  send_text(index, tunnel, static_cast<int>(sizeof tunnel - 1));
  std::memset(line, 0, sizeof line);
  std::memset(tunnel, 0, sizeof tunnel);
}

void on_connected(int index) {
  check_record& rec = area_of(index).rec;
  rec.phase = 1;
  switch (rec.step) {
    case CHECK_SOCKS4:
      send_socks4_opening(index, rec);
      return;
    case CHECK_SOCKS5:
      send_socks5_opening(index, rec);
      return;
    case CHECK_HTTP:
      send_http_opening(index, rec);
      return;
    case CHECK_HTTPS:
      send_https_opening(index, rec);
      return;
    default:
      slot_abort(index);
  }
}

// Each step reader: the tunnel reply of its step; the judge request goes
// out once the proxy agreed, the slot is aborted when it refused.

void socks4_input(int index, stream& in, check_record& rec) {
  if (in.len < 8) return;
  if (rec.phase++ != 1) {
    slot_abort(index);
    return;
  }
  if (socks4_granted(in.data)) {
    bool sent = send_judge(index);
    slot_consume_input(index, 8);
    if (!sent) slot_abort(index);
  } else {
    slot_consume_input(index, in.len);
    slot_abort(index);
  }
}

// RFC 1929 sign-in with the proxy's stored user and password.
void send_socks5_login(int index, const proxy_login& login) {
  uint8_t msg[SOCKS5_LOGIN_MAX];
  const size_t n = socks5_login(std::string_view(login.user, login.user_length),
                                std::string_view(login.pass, login.pass_length), msg, sizeof msg);
  slot_send(index, msg, static_cast<int>(n));
  std::memset(msg, 0, sizeof msg);
}

// The method reply: a sign-in when asked for and held, else the connect
// request; false when the check of this step ended or waits for the
// sign-in reply.
bool socks5_method_input(int index, stream& in, check_record& rec) {
  if (rec.phase++ != 1) {
    slot_abort(index);
    return false;
  }
  const uint8_t method = in.data[0] == 0x05 ? in.data[1] : 0xFF;
  slot_consume_input(index, 2);
  proxy_login login{};
  const bool has_login = login_of(rec, login);
  if (method == 0x02 && has_login) {
    send_socks5_login(index, login);
    std::memset(&login, 0, sizeof login);
    rec.step = CHECK_SOCKS5_LOGIN;
    rec.phase = 1;
    return false;
  }
  std::memset(&login, 0, sizeof login);
  if (method != 0x00) {
    if (method == 0x02 || (method == 0xFF && has_login)) proxy_auth_refused(rec.ip, rec.port, 1);
    slot_abort(index);
    return false;
  }
  send_socks5_connect(index);
  return true;
}

// The sign-in reply: its outcome is recorded; accepted, the connect follows.
void socks5_login_input(int index, stream& in, check_record& rec) {
  if (rec.phase++ != 1) {
    slot_abort(index);
    return;
  }
  const bool accepted = in.data[0] == 0x01 && in.data[1] == 0x00;
  slot_consume_input(index, 2);
  proxy_auth_refused(rec.ip, rec.port, accepted ? 0 : 1);
  if (!accepted) {
    slot_abort(index);
    return;
  }
  rec.phase = 2;
  send_socks5_connect(index);
}

void socks5_connect_input(int index, stream& in, check_record& rec) {
  if (in.len < 10) return;
  if (rec.phase++ != 2) {
    slot_abort(index);
    return;
  }
  bool sent = socks5_succeeded(in.data) && send_judge(index);
  slot_consume_input(index, 10);
  if (!sent) slot_abort(index);
}

void https_input(int index, stream& in, check_record& rec) {
  if (in.len < 7) return;
  if (http_head_find(in.data, in.len).body == 0) return;
  if (status_is(in.data, in.len, "407")) proxy_auth_refused(rec.ip, rec.port, 1);
  if (rec.phase++ != 1) {
    slot_abort(index);
    return;
  }
  if (!tunnel_granted(in.data, in.len) || !send_judge(index)) slot_abort(index);
}

void on_input(int index) {
  conn_slot& slot = conn_table[index];
  check_area& area = area_of(index);
  check_record& rec = area.rec;
  stream& in = slot.in;
  if (in.len < 2) return;
  if (area.judge_sent) {
    // The reply may come in several deliveries; it is judged at close.
    if (find_bytes(in.data, in.data + in.len, "</Reply>") != nullptr) slot_abort(index);
    return;
  }
  switch (rec.step) {
    case CHECK_SOCKS4:
      socks4_input(index, in, rec);
      return;
    case CHECK_SOCKS5:
      if (socks5_method_input(index, in, rec)) socks5_connect_input(index, in, rec);
      return;
    case CHECK_SOCKS5_CONNECT:
      socks5_connect_input(index, in, rec);
      return;
    case CHECK_SOCKS5_LOGIN:
      socks5_login_input(index, in, rec);
      return;
    case CHECK_HTTPS:
      https_input(index, in, rec);
      return;
    default:
      slot_abort(index);
  }
}

void on_close(int index) {
  conn_slot& slot = conn_table[index];
  check_area area = area_of(index);
  check_record& rec = area.rec;
  if (rec.step == 0) return;
  if (rec.step == CHECK_SOCKS5_CONNECT || rec.step == CHECK_SOCKS5_LOGIN) rec.step = CHECK_SOCKS5;
  if (rec.step == CHECK_HTTP && status_is(slot.in.data, slot.in.len, "407"))
    proxy_auth_refused(rec.ip, rec.port, 1);
  if (slot.in.len > 3) parse_reply(slot.in.data, slot.in.len, &rec);
  const uint8_t next = check_step_after(rec.step, rec.first);
  if (next == 0) record_check_result(&rec);  // the line names the last step
  rec.step = next;
  area_of(index) = area;
  if (rec.step != 0) step_start(slot, area);
}

int append_number(char* out, size_t capacity, size_t at, unsigned long value, bool comma) {
  int n = std::snprintf(out + at, capacity - at, comma ? ",%lu" : "%lu", value);
  return n < 0 || static_cast<size_t>(n) >= capacity - at ? -1 : n;
}

}  // namespace

uint8_t check_step_after(uint8_t step, uint8_t first) {
  constexpr uint8_t ORDER[] = {CHECK_SOCKS4, CHECK_SOCKS5, CHECK_HTTP, CHECK_HTTPS};
  size_t i = 0;
  if (step != first || first == 0) {
    while (i < std::size(ORDER) && ORDER[i] != step) ++i;
    ++i;
  }
  while (i < std::size(ORDER) && ORDER[i] == first) ++i;
  return i < std::size(ORDER) ? ORDER[i] : 0;
}

void checker_reset() {
  std::memset(recent_checks, 0, sizeof recent_checks);
  idle_since = 0;
  failed_check_count = 0;
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
  if (strcasecmp(tag, "delay_proxy") == 0 && number > 0) delay_proxy = static_cast<int32_t>(number);
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

namespace {

// The row of the next proxy due for a check, skipping the recent ones:
// "ip,port,id,named,scheme"; false when none is due.
bool next_due_row(char* row, size_t capacity) {
  char fragment[16 * 12 + 32];
  size_t at = 0;
  fragment[0] = 0;
  bool any = false;
  for (uint32_t a : recent_checks) {
    if (a == 0) continue;
    if (!any) at += static_cast<size_t>(std::snprintf(fragment, sizeof fragment, "AND ip NOT IN("));
    int n = append_number(fragment, sizeof fragment, at, a, any);
    if (n < 0) break;
    at += static_cast<size_t>(n);
    any = true;
  }
  if (any) std::snprintf(fragment + at, sizeof fragment - at, ")");
  char* text = db_query_text(",", "#", sql_check_selection(), 720, fragment);
  if (text == nullptr) return false;
  std::snprintf(row, capacity, "%s", text);
  std::free(text);
  return true;
}

// The row of a given proxy in the same form (its reference number from
// the table when it is there).
void given_row(uint32_t addr, uint16_t port, char* row, size_t capacity) {
  unsigned long ref = 0, scheme = 0;
  char* text = db_query_text(
      ",", ":", MV_LIT("SELECT id,scheme FROM " MAINT_PROXY_TABLE " WHERE ip=%u AND port=%u"),
      static_cast<unsigned>(addr), static_cast<unsigned>(port));
  if (text != nullptr) {
    const char* p = text;
    if (std::strchr(text, ':') == nullptr && read_number(p, &ref) && *p++ == ',')
      read_number(p, &scheme);
    std::free(text);
  }
  std::snprintf(row, capacity, "%lu,%u,%lu,%u,%lu", static_cast<unsigned long>(addr), port,
                ref & 0xFFFF, 1u, scheme);
}

// Opens the first step of the check a row describes; false when the row
// is not one.
bool launch_check(const char* row, uint32_t now) {
  unsigned long ip = 0, pport = 0, ref = 0;
  const char* p = row;
  if (!(read_number(p, &ip) && *p++ == ',' && read_number(p, &pport) && *p++ == ',' &&
        read_number(p, &ref) && *p++ == ','))
    return false;
  unsigned long known = 0, scheme = 0;
  read_number(p, &known);
  if (*p == ',') {
    ++p;
    read_number(p, &scheme);
  }
  uint32_t a = static_cast<uint32_t>(ip);
  recent_push(a);
  conn_slot from{};
  from.proto = 0;
  std::snprintf(from.dest_host, sizeof from.dest_host, "%u.%u.%u.%u", a & 0xFF, (a >> 8) & 0xFF,
                (a >> 16) & 0xFF, a >> 24);
  from.dest_port = static_cast<uint16_t>(pport);
  from.started = now;
  check_area area{};
  area.rec.name_known = static_cast<uint16_t>(known);
  area.rec.ip = a;
  area.rec.port = static_cast<uint16_t>(pport);
  area.rec.proxy_ref = static_cast<uint16_t>(ref);
  // A scheme the list line named goes first.
  const bool named = scheme == CHECK_SOCKS4 || scheme == CHECK_SOCKS5 || scheme == CHECK_HTTP ||
                     scheme == CHECK_HTTPS;
  area.rec.first = named ? static_cast<uint8_t>(scheme) : 0;
  area.rec.step = named ? area.rec.first : CHECK_SOCKS4;
  step_start(from, area);
  if (known == 0) request_host_name(a, static_cast<uint16_t>(pport));
  last_check_start = now;
  return true;
}

// After ten quiet seconds the recent list makes room, one entry per pass.
void note_idle(uint32_t now) {
  if (now - last_check_start > 10000u) {
    if (idle_since != 0 && now - idle_since > 10000u) recent_push(0);
    idle_since = now;
  } else {
    idle_since = 0;
  }
}

}  // namespace

int start_check(uint32_t addr, uint16_t port, int force) {
  if (checks_denied) return 0;
  // Without a reachable checker service a proxy would be asked to connect
  // to 0.0.0.0, its own machine: no check at all then.
  if (checker_addr() == 0) return 0;
  const uint32_t now = tick_now();
  char row[128];
  row[0] = 0;
  bool have_row = false;
  if (addr == 0 && port == 0) {
    have_row = next_due_row(row, sizeof row);
  } else {
    if (!force && recent_has(addr)) return 0;
    given_row(addr, port, row, sizeof row);
    have_row = true;
  }
  const int started = have_row && launch_check(row, now) ? 1 : 0;
  note_idle(now);
  return started;
}

void check_handler(int index, char letter) {
  switch (letter) {
    case 'C':
      on_connected(index);
      return;
    case 'R':
      on_input(index);
      return;
    case 'T': {
      check_record& rec = area_of(index).rec;
      if (rec.step_started == 0) rec.step_started = tick_now();
      if (tick_now() - rec.step_started >= STEP_LIMIT_MS) slot_abort(index);
      return;
    }
    case 'X':
      on_close(index);
      return;
    default:
      return;
  }
}

char* proxy_block(int block, uint32_t ip, int port) {
  db_exec(MV_LIT("UPDATE proxy SET blocked=%d WHERE ip=%u AND port=%d"), block == 0 ? 1 : 0, ip,
          port);
  chain_cache_clear();
  return text_append_format(nullptr, MV_LIT("{block:%d, ip:%lu, port:%d}"), block,
                            static_cast<unsigned long>(ip), port);
}
