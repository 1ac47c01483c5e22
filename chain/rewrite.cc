// HTTP request rewriting.
#include "chain/rewrite.h"

#include <cstdlib>
#include <cstring>

#include "chain/route.h"
#include "db/db.h"
#include "log/log.h"
#include "platform/clock.h"
#include "util/ascii.h"
#include "util/http.h"
#include "util/literal.h"

namespace {

constexpr uint32_t SETTING_REFRESH_MS = 30000;

bool force_read = false;  // read at least once
bool force_value = true;
uint32_t force_read_tick = 0;

// Case-insensitive comparison of n bytes with a lower-case word.
bool same_word(const uint8_t* d, size_t n, const char* word) {
  if (strlen(word) != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (ascii_lower(d[i]) != static_cast<uint8_t>(word[i])) return false;
  return true;
}

}  // namespace

bool force_http_10_on() {
  const uint32_t now = tick_now();
  if (!force_read || now - force_read_tick >= SETTING_REFRESH_MS) {
    force_value = setting_int(MV_LIT("force_http_10"), 1, 0) > 0;
    force_read = true;
    force_read_tick = now;
  }
  return force_value;
}

void force_http_10_reset() {
  force_read = false;
  force_value = true;
}

int response_is_error(const uint8_t* d, size_t n) {
  if (d == nullptr || n < 10) return 0;
  constexpr http_status_rules rules = {.space_before_slash = true, .space_after_slash = true};
  const int status = http_status_parse(d, n, rules).code;
  if (status < 0) return 0;
  return static_cast<uint32_t>(status) - 200u > 199u ? 1 : 0;
}

namespace {

constexpr char kInsert[] = "Connection: close";

// A request head being edited: a copy of the head's lines with room for
// the inserted line.
struct head_edit {
  uint8_t* d;
  size_t head;  // bytes of lines in d
  bool crlf;    // the head ends its lines in CR LF
  bool edited;
};

// Copies the head's lines; false when memory cannot be had. `old_head`
// gets the length of the lines in the stream.
bool copy_head(const stream& s, size_t end_at, head_edit& e, size_t& old_head) {
  size_t head = end_at;
  // In "\r\n\n" the CR is the last line's own line end: it stays with the
  // empty line, so an edit of that line cannot move the end of the head.
  if (head > 0 && s.data[head] == '\n' && s.data[head + 1] == '\n' && s.data[head - 1] == '\r')
    --head;
  e.crlf = memchr(s.data, '\r', head) != nullptr;
  e.d = static_cast<uint8_t*>(malloc(head + 2 + sizeof kInsert));
  if (e.d == nullptr) return false;
  memcpy(e.d, s.data, head);
  e.head = head;
  e.edited = false;
  old_head = head;
  return true;
}

// An absolute "http:" target becomes its path (port or not); one without a
// path becomes "/". `p` is at the target.
void target_to_origin_form(head_edit& e, size_t p) {
  uint8_t* d = e.d;
  if (!(p + 6 <= e.head && same_word(d + p, 4, "http") && d[p + 4] == ':' && d[p + 5] == '/'))
    return;
  size_t q = p + 5;
  while (q < e.head && d[q] == '/') ++q;
  while (q < e.head && ascii_is_name_char(d[q])) ++q;
  if (q < e.head && d[q] == ':') {
    ++q;
    while (q < e.head && ascii_is_digit(d[q])) ++q;
  }
  if (q < e.head && d[q] == '/') {
    memmove(d + p, d + q, e.head - q);
    e.head -= q - p;
    e.edited = true;
  } else if (q < e.head && d[q] == ' ') {
    d[p] = '/';
    memmove(d + p + 1, d + q, e.head - q);
    e.head -= q - p - 1;
    e.edited = true;
  }
}

// HTTP/x.y becomes HTTP/1.0; `p` is at the version. Only a whole
// "HTTP/d.d" token is touched: a shorter version must not have the line
// end after it overwritten.
void version_to_10(head_edit& e, size_t p) {
  uint8_t* d = e.d;
  if (p + 8 <= e.head && same_word(d + p, 4, "http") && d[p + 4] == '/' &&
      ascii_is_digit(d[p + 5]) && d[p + 6] == '.' && ascii_is_digit(d[p + 7])) {
    d[p + 5] = '1';
    d[p + 7] = '0';
    e.edited = true;
  }
}

// "Connection: keep-alive" becomes "close"; the value starts at i.
void connection_to_close(head_edit& e, size_t i, size_t& line_end) {
  uint8_t* d = e.d;
  while (i < line_end && d[i] == ' ') ++i;
  if (i >= line_end || d[i] != ':') return;
  ++i;
  while (i < line_end && d[i] == ' ') ++i;
  const size_t value = i;
  while (i < line_end && i - value < 62 && ascii_is_name_char(d[i])) ++i;
  if (!same_word(d + value, i - value, "keep-alive")) return;
  memcpy(d + value, "close", 5);
  memmove(d + value + 5, d + value + 10, e.head - (value + 10));
  e.head -= 5;
  line_end -= 5;
  e.edited = true;
}

// The header lines from `pos`: the Connection line says close, Keep-Alive
// and Proxy-Connection lines go, and "Connection: close" is added when
// there was no Connection line.
void edit_header_lines(head_edit& e, size_t pos) {
  uint8_t* d = e.d;
  bool connection_line = false;
  bool kept_any = false;
  size_t kept_end = 0;
  while (pos < e.head) {
    while (pos < e.head && (d[pos] == '\r' || d[pos] == '\n')) ++pos;
    if (pos >= e.head) break;
    const size_t line_start = pos;
    size_t line_end = pos;
    while (line_end < e.head && d[line_end] != '\r' && d[line_end] != '\n') ++line_end;
    size_t i = line_start;
    while (i < line_end && d[i] == ' ') ++i;
    const size_t name = i;
    while (i < line_end && i - name < 62 && ascii_is_name_char(d[i])) ++i;
    const size_t name_len = i - name;
    if (same_word(d + name, name_len, "connection")) {
      connection_line = true;
      connection_to_close(e, i, line_end);
    } else if (same_word(d + name, name_len, "keep-alive") ||
               same_word(d + name, name_len, "proxy-connection")) {
      // The line goes with all of its line end (any run of CR and LF inside
      // the head is one line end), so no empty line can appear where it was.
      // The last line of the head has its end in the empty line that closes
      // the head, which stays: the line end before it goes instead.
      size_t cut = line_end;
      while (cut < e.head && (d[cut] == '\r' || d[cut] == '\n')) ++cut;
      if (cut == e.head && kept_any) {
        e.head = kept_end;
        e.edited = true;
        break;
      }
      memmove(d + line_start, d + cut, e.head - cut);
      e.head -= cut - line_start;
      e.edited = true;
      pos = line_start;
      continue;
    }
    kept_any = true;
    kept_end = line_end;
    pos = line_end;
  }
  if (!kept_any || connection_line) return;
  const char* eol = e.crlf ? "\r\n" : "\n";
  const size_t eol_len = e.crlf ? 2 : 1;
  memmove(d + kept_end + eol_len + (sizeof kInsert - 1), d + kept_end, e.head - kept_end);
  memcpy(d + kept_end, eol, eol_len);
  memcpy(d + kept_end + eol_len, kInsert, sizeof kInsert - 1);
  e.head += eol_len + sizeof kInsert - 1;
  e.edited = true;
}

// The stream gets the edited head followed by the untouched rest.
void store_head(stream& s, const head_edit& e, size_t old_head) {
  const size_t rest = s.len - old_head;
  uint8_t* whole = static_cast<uint8_t*>(malloc(e.head + rest));
  if (whole == nullptr) return;
  memcpy(whole, e.d, e.head);
  memcpy(whole + e.head, s.data + old_head, rest);
  const uint32_t total = s.total;
  if (stream_assign(s, whole, static_cast<uint32_t>(e.head + rest))) s.total = total;
  free(whole);
}

// Position of the next token on the request line after `p` (past the
// current token and its spaces), or the head's length when there is none.
size_t next_token(const head_edit& e, size_t p) {
  while (p < e.head && e.d[p] != ' ' && e.d[p] != '\r' && e.d[p] != '\n') ++p;
  if (p >= e.head || e.d[p] != ' ') return e.head;
  while (p < e.head && e.d[p] == ' ') ++p;
  return p;
}

}  // namespace

// The edit runs on a copy of the head (the body behind it is never looked
// at) with room for the inserted line.
int rewrite_request(stream& s, bool keep_target) {
  if (s.data == nullptr || s.len < 10) return 0;
  const size_t v = http_verb_offset(s.data, s.len);
  if (v == 0) return 1;
  const http_head_bounds bounds = http_head_find(s.data, s.len);
  if (bounds.body == 0) return 0;
  head_edit e{};
  size_t old_head = 0;
  if (!copy_head(s, bounds.end, e, old_head)) return 1;
  size_t p = v;
  while (p < e.head && e.d[p] == ' ') ++p;
  if (p < e.head) {
    if (!keep_target) target_to_origin_form(e, p);
    p = next_token(e, p);
    if (p < e.head) {
      version_to_10(e, p);
      edit_header_lines(e, 0);
      if (e.edited) store_head(s, e, old_head);
    }
  }
  free(e.d);
  return 1;
}

int insert_after_request_line(stream& s, const char* line, size_t n) {
  if (s.data == nullptr || s.len < 10) return 0;
  if (http_verb_offset(s.data, s.len) == 0) return 1;
  if (http_head_find(s.data, s.len).body == 0) return 0;
  const uint8_t* nl = static_cast<const uint8_t*>(memchr(s.data, '\n', s.len));
  if (nl == nullptr) return 1;
  const size_t first = static_cast<size_t>(nl - s.data) + 1;
  const size_t rest = s.len - first;
  uint8_t* whole = static_cast<uint8_t*>(malloc(s.len + n));
  if (whole == nullptr) return 1;
  memcpy(whole, s.data, first);
  memcpy(whole + first, line, n);
  memcpy(whole + first + n, s.data + first, rest);
  const uint32_t total = s.total;
  if (stream_assign(s, whole, static_cast<uint32_t>(s.len + n))) s.total = total;
  memset(whole, 0, s.len);
  free(whole);
  return 1;
}

namespace {
constexpr uint8_t HTTP_SIGNED_IN = 0x5A;  // outbound socks5_stage once the line is in

// A plain HTTP proxy as the last hop with a stored sign-in gets it in the
// client's request head. A kept connection would carry later requests
// without it (the relay does not follow request boundaries), so that head
// is also made the connection's only request (HTTP/1.0, "Connection:
// close"): the client sends the next one on a new connection, signed in
// again. True when the line was put in.
bool sign_in_to_http_hop(route_record& ro, stream& request, uint8_t& rewritten) {
  if (ro.hop_proto != PT_HTTP || ro.socks5_stage == HTTP_SIGNED_IN || ro.hop_count < 2 ||
      ro.hop_count > MAX_HOPS)
    return false;
  // Nothing is looked up until the head is whole: this runs on every read.
  if (request.data == nullptr || request.len < 10) return false;
  if (http_verb_offset(request.data, request.len) == 0) {
    ro.socks5_stage = HTTP_SIGNED_IN;  // not HTTP: nothing to sign
    return false;
  }
  if (http_head_find(request.data, request.len).body == 0) return false;
  const hop& proxy = ro.hops[ro.hop_count - 2];
  proxy_login login{};
  if (!proxy_credentials(proxy.addr, proxy.port, login)) {
    ro.socks5_stage = HTTP_SIGNED_IN;
    return false;
  }
  if (rewritten == 0) rewritten = static_cast<uint8_t>(rewrite_request(request, true));
  char line[4 * PROXY_LOGIN_MAX];
  const size_t n =
      http_basic_line(std::string_view(login.user, login.user_length),
                      std::string_view(login.pass, login.pass_length), line, sizeof line);
  const bool inserted = rewritten != 0 && n > 0 && insert_after_request_line(request, line, n) == 1;
  if (inserted) ro.socks5_stage = HTTP_SIGNED_IN;
  memset(line, 0, sizeof line);
  memset(&login, 0, sizeof login);
  return inserted;
}
}  // namespace

void relay_hook(int index, int linked_index) {
  if (index < 0 || index >= SLOT_COUNT || linked_index < 0 || linked_index >= SLOT_COUNT) return;
  conn_slot* a = &conn_table[index];
  conn_slot* b = &conn_table[linked_index];
  conn_slot* out;
  conn_slot* client;
  int client_index;
  if (route_of(*a).side == 0 && route_of(*b).side != 0) {
    out = a;
    client = b;
    client_index = linked_index;
  } else if (route_of(*b).side == 0 && route_of(*a).side != 0) {
    out = b;
    client = a;
    client_index = index;
  } else {
    return;
  }
  route_record& ro = route_of(*out);
  route_record& rc = route_of(*client);
  if (ro.check_reply && out->in.len > 10) {
    ro.check_reply = 0;
    ro.failed = static_cast<uint8_t>(response_is_error(out->in.data, out->in.len));
  }
  const bool force = force_http_10_on();
  if (ro.hop_index < MAX_HOPS && ro.hop_index + 1 == ro.hop_count && force) {
    if (client->in.len > 8 && rc.rewritten == 0) {
      log_dump(client_index, client->in.data, client->in.len, "Initial HTTP request");
      // A plain HTTP proxy as the last hop routes by the absolute target.
      rc.rewritten = static_cast<uint8_t>(rewrite_request(client->in, ro.hop_proto == PT_HTTP));
    }
  }
  // After the dump above: the sign-in line is never written to the log.
  if (ro.established && ro.hop_index + 1 == ro.hop_count && ro.hop_proto == PT_HTTP &&
      ro.socks5_stage != HTTP_SIGNED_IN) {
    if (sign_in_to_http_hop(ro, client->in, rc.rewritten)) out->flags |= SLOT_SECRET_OUTPUT;
  }
}
