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

// The edit runs on a copy of the head (the body behind it is never looked
// at) with room for the inserted line; the stream then gets the edited head
// followed by the untouched rest.
int rewrite_request(stream& s, bool keep_target) {
  if (s.data == nullptr || s.len < 10) return 0;
  const size_t v = http_verb_offset(s.data, s.len);
  if (v == 0) return 1;
  const http_head_bounds bounds = http_head_find(s.data, s.len);
  if (bounds.body == 0) return 0;
  size_t head = bounds.end;  // the head's lines end here
  // In "\r\n\n" the CR is the last line's own line end: it stays with the
  // empty line, so an edit of that line cannot move the end of the head.
  if (head > 0 && s.data[head] == '\n' && s.data[head + 1] == '\n' && s.data[head - 1] == '\r')
    --head;
  bool crlf = false;
  for (size_t i = 0; i < head; ++i)
    if (s.data[i] == '\r') {
      crlf = true;
      break;
    }
  static const char kInsert[] = "Connection: close";
  const size_t room = 2 + sizeof kInsert;
  uint8_t* d = static_cast<uint8_t*>(malloc(head + room));
  if (d == nullptr) return 1;
  memcpy(d, s.data, head);
  const size_t old_head = head;
  bool edited = false;

  // Request target: an absolute http URL becomes its path.
  size_t p = v;
  while (p < head && d[p] == ' ') ++p;
  if (p >= head) {
    free(d);
    return 1;
  }
  if (!keep_target && p + 6 <= head && same_word(d + p, 4, "http") && d[p + 4] == ':' &&
      d[p + 5] == '/') {
    size_t q = p + 5;
    while (q < head && d[q] == '/') ++q;
    while (q < head && ascii_is_name_char(d[q])) ++q;
    if (q < head && d[q] == '/') {
      memmove(d + p, d + q, head - q);
      head -= q - p;
      edited = true;
    }
  }
  // Version: HTTP/x.y becomes HTTP/1.0.
  while (p < head && d[p] != ' ' && d[p] != '\r' && d[p] != '\n') ++p;
  if (p >= head || d[p] != ' ') {
    free(d);
    return 1;
  }
  while (p < head && d[p] == ' ') ++p;
  if (p >= head) {
    free(d);
    return 1;
  }
  // Only a whole "HTTP/d.d" token is touched: a shorter version must not
  // have the line end after it overwritten.
  if (p + 8 <= head && same_word(d + p, 4, "http") && d[p + 4] == '/' && ascii_is_digit(d[p + 5]) &&
      d[p + 6] == '.' && ascii_is_digit(d[p + 7])) {
    d[p + 5] = '1';
    d[p + 7] = '0';
    edited = true;
  }
  // Header lines.
  bool connection_line = false;
  bool kept_any = false;
  size_t kept_end = 0;
  size_t pos = 0;
  while (pos < head) {
    while (pos < head && (d[pos] == '\r' || d[pos] == '\n')) ++pos;
    if (pos >= head) break;
    const size_t line_start = pos;
    size_t line_end = pos;
    while (line_end < head && d[line_end] != '\r' && d[line_end] != '\n') ++line_end;
    size_t i = line_start;
    while (i < line_end && d[i] == ' ') ++i;
    const size_t name = i;
    while (i < line_end && i - name < 62 && ascii_is_name_char(d[i])) ++i;
    const size_t name_len = i - name;
    if (same_word(d + name, name_len, "connection")) {
      connection_line = true;
      while (i < line_end && d[i] == ' ') ++i;
      if (i < line_end && d[i] == ':') {
        ++i;
        while (i < line_end && d[i] == ' ') ++i;
        const size_t value = i;
        while (i < line_end && i - value < 62 && ascii_is_name_char(d[i])) ++i;
        if (same_word(d + value, i - value, "keep-alive")) {
          memcpy(d + value, "close", 5);
          memmove(d + value + 5, d + value + 10, head - (value + 10));
          head -= 5;
          line_end -= 5;
          edited = true;
        }
      }
    } else if (same_word(d + name, name_len, "keep-alive") ||
               same_word(d + name, name_len, "proxy-connection")) {
      // The line goes with all of its line end (any run of CR and LF inside
      // the head is one line end), so no empty line can appear where it was.
      // The last line of the head has its end in the empty line that closes
      // the head, which stays: the line end before it goes instead.
      size_t cut = line_end;
      while (cut < head && (d[cut] == '\r' || d[cut] == '\n')) ++cut;
      if (cut == head && kept_any) {
        head = kept_end;
        edited = true;
        break;
      }
      memmove(d + line_start, d + cut, head - cut);
      head -= cut - line_start;
      edited = true;
      pos = line_start;
      continue;
    }
    kept_any = true;
    kept_end = line_end;
    pos = line_end;
  }
  bool insert = kept_any && !connection_line;
  if (insert) {
    const char* eol = crlf ? "\r\n" : "\n";
    const size_t eol_len = crlf ? 2 : 1;
    memmove(d + kept_end + eol_len + (sizeof kInsert - 1), d + kept_end, head - kept_end);
    memcpy(d + kept_end, eol, eol_len);
    memcpy(d + kept_end + eol_len, kInsert, sizeof kInsert - 1);
    head += eol_len + sizeof kInsert - 1;
    edited = true;
  }
  if (edited) {
    const size_t rest = s.len - old_head;
    uint8_t* whole = static_cast<uint8_t*>(malloc(head + rest));
    if (whole != nullptr) {
      memcpy(whole, d, head);
      memcpy(whole + head, s.data + old_head, rest);
      const uint32_t total = s.total;
      if (stream_assign(s, whole, static_cast<uint32_t>(head + rest))) s.total = total;
      free(whole);
    }
  }
  free(d);
  return 1;
}

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
}
