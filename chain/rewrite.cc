// HTTP request rewriting.
#include "chain/rewrite.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

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
  return status < 100 || status > 399 ? 1 : 0;
}

namespace {

constexpr char kInsert[] = "Connection: close";
constexpr char kAppend[] = ", close";

// A request head being edited: a copy of the head's lines with room for
// the inserted line.
struct head_edit {
  uint8_t* d;
  size_t head;  // bytes of lines in d
  size_t room;  // bytes d can hold
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
  e.room = head + 2 + sizeof kInsert;
  e.d = static_cast<uint8_t*>(malloc(e.room));
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

// A whole "HTTP/d.d" token at p.
bool is_version_token(const uint8_t* d, size_t n, size_t p) {
  return p + 8 <= n && same_word(d + p, 4, "http") && d[p + 4] == '/' && ascii_is_digit(d[p + 5]) &&
         d[p + 6] == '.' && ascii_is_digit(d[p + 7]);
}

// HTTP/x.y becomes HTTP/1.0; `p` is at the version. Only a whole
// "HTTP/d.d" token is touched: a shorter version must not have the line
// end after it overwritten.
void version_to_10(head_edit& e, size_t p) {
  if (!is_version_token(e.d, e.head, p)) return;
  e.d[p + 5] = '1';
  e.d[p + 7] = '0';
  e.edited = true;
}

// One header line of a head: where its name and value are.
struct header_line {
  size_t start, end;        // the line without its line end
  size_t name, name_len;    // name characters at the line's start
  size_t value, value_end;  // after the ':' and its spaces; end 0 without a ':'
};

// The header line at `pos` (at the first byte after a line end).
header_line read_line(const uint8_t* d, size_t n, size_t pos) {
  header_line l{};
  l.start = pos;
  l.end = pos;
  while (l.end < n && d[l.end] != '\r' && d[l.end] != '\n') ++l.end;
  size_t i = pos;
  while (i < l.end && d[i] == ' ') ++i;
  l.name = i;
  while (i < l.end && i - l.name < 62 && ascii_is_name_char(d[i])) ++i;
  l.name_len = i - l.name;
  while (i < l.end && d[i] == ' ') ++i;
  if (i < l.end && d[i] == ':') {
    ++i;
    while (i < l.end && (d[i] == ' ' || d[i] == '\t')) ++i;
    l.value = i;
    l.value_end = l.end;
  }
  return l;
}

// Position just past the line end (any run of CR and LF) after `end`.
size_t next_line(const uint8_t* d, size_t n, size_t end) {
  while (end < n && (d[end] == '\r' || d[end] == '\n')) ++end;
  return end;
}

// Calls f for each comma-separated token of a header value: its start and
// length, blanks around it left out.
template <class F>
void for_each_token(const uint8_t* d, size_t from, size_t to, F f) {
  size_t p = from;
  while (p < to) {
    while (p < to && (d[p] == ' ' || d[p] == '\t' || d[p] == ',')) ++p;
    const size_t start = p;
    while (p < to && d[p] != ',') ++p;
    size_t end = p;
    while (end > start && (d[end - 1] == ' ' || d[end - 1] == '\t')) --end;
    if (end > start) f(start, end - start);
  }
}

bool has_token(const uint8_t* d, const header_line& l, const char* token) {
  bool found = false;
  for_each_token(d, l.value, l.value_end,
                 [&](size_t at, size_t n) { found = found || same_word(d + at, n, token); });
  return found;
}

// True when the value holds "100-continue" (any case).
bool expects_continue(const uint8_t* d, const header_line& l) {
  return has_token(d, l, "100-continue");
}

}  // namespace

request_traits request_traits_of(const uint8_t* d, size_t n) {
  request_traits t{};
  const size_t request_end = read_line(d, n, 0).end;
  // The version is the last token of the request line.
  size_t v = request_end;
  while (v > 0 && d[v - 1] != ' ') --v;
  t.version_11 = is_version_token(d, request_end, v) && request_end - v == 8 &&
                 (d[v + 5] > '1' || (d[v + 5] == '1' && d[v + 7] >= '1'));
  for (size_t pos = next_line(d, n, request_end); pos < n;) {
    const header_line l = read_line(d, n, pos);
    pos = next_line(d, n, l.end);
    if (l.value_end == 0) continue;
    const uint8_t* name = d + l.name;
    if (same_word(name, l.name_len, "connection")) {
      t.upgrade = t.upgrade || has_token(d, l, "upgrade");
      t.asks_close = t.asks_close || has_token(d, l, "close");
      t.asks_keep = t.asks_keep || has_token(d, l, "keep-alive");
    } else if (same_word(name, l.name_len, "upgrade")) {
      t.upgrade = true;
    } else if (same_word(name, l.name_len, "transfer-encoding")) {
      t.framed = true;
    } else if (same_word(name, l.name_len, "expect")) {
      t.expects_100 = t.expects_100 || expects_continue(d, l);
    }
  }
  return t;
}

namespace {

// The Connection line asks for the close: its keep-alive token becomes
// "close", or ", close" is added to the tokens it has.
void connection_to_close(head_edit& e, header_line& l) {
  uint8_t* d = e.d;
  if (l.value_end == 0 || has_token(d, l, "close")) return;  // no value, or close already
  size_t keep = 0;
  bool found = false;
  for_each_token(d, l.value, l.value_end, [&](size_t at, size_t n) {
    if (!found && same_word(d + at, n, "keep-alive")) {
      keep = at;
      found = true;
    }
  });
  if (found) {
    memcpy(d + keep, "close", 5);
    memmove(d + keep + 5, d + keep + 10, e.head - (keep + 10));
    e.head -= 5;
    l.end -= 5;
  } else {
    constexpr size_t n = sizeof kAppend - 1;
    if (e.head + n > e.room) return;
    memmove(d + l.end + n, d + l.end, e.head - l.end);
    memcpy(d + l.end, kAppend, n);
    e.head += n;
    l.end += n;
  }
  e.edited = true;
}

// The header lines from the line after the request line: Keep-Alive and
// Proxy-Connection lines go; with `close` the first Connection line asks
// for the close, and "Connection: close" is added when there is none.
void edit_header_lines(head_edit& e, bool close) {
  uint8_t* d = e.d;
  bool connection_line = false;
  size_t kept_end = read_line(d, e.head, 0).end;  // the request line always stays
  size_t pos = next_line(d, e.head, kept_end);
  while (pos < e.head) {
    header_line l = read_line(d, e.head, pos);
    const uint8_t* name = d + l.name;
    if (same_word(name, l.name_len, "connection")) {
      if (close && !connection_line) connection_to_close(e, l);
      connection_line = true;
    } else if (same_word(name, l.name_len, "keep-alive") ||
               same_word(name, l.name_len, "proxy-connection")) {
      // The line goes with all of its line end (any run of CR and LF inside
      // the head is one line end), so no empty line can appear where it was.
      // The last line of the head has its end in the empty line that closes
      // the head, which stays: the line end before it goes instead.
      const size_t cut = next_line(d, e.head, l.end);
      if (cut == e.head) {
        e.head = kept_end;
        e.edited = true;
        break;
      }
      memmove(d + l.start, d + cut, e.head - cut);
      e.head -= cut - l.start;
      e.edited = true;
      continue;
    }
    kept_end = l.end;
    pos = next_line(d, e.head, l.end);
  }
  if (!close || connection_line) return;
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

// The connection would have stayed open after the answer.
bool stays_open(const request_traits& t) {
  return t.version_11 ? !t.asks_close : t.asks_keep && !t.asks_close;
}

}  // namespace

// The edit runs on a copy of the head (the body behind it is never looked
// at) with room for the inserted line. A request that upgrades its
// connection keeps it as it is; one whose body is framed by
// Transfer-Encoding, or that waits for a 100 Continue, keeps HTTP/1.1
// (HTTP/1.0 has neither) and only asks for the close.
int rewrite_request(stream& s, bool keep_target) {
  if (s.data == nullptr || s.len < 10) return REWRITE_WAIT;
  const size_t v = http_verb_offset(s.data, s.len);
  if (v == 0) return REWRITE_DONE;
  // A CONNECT for a proxy at the destination asks for a tunnel of its own.
  if (v >= 7 && same_word(s.data + v - 7, 7, "connect")) return REWRITE_DONE;
  const http_head_bounds bounds = http_head_find(s.data, s.len);
  if (bounds.body == 0) return REWRITE_WAIT;
  head_edit e{};
  size_t old_head = 0;
  if (!copy_head(s, bounds.end, e, old_head)) return REWRITE_DONE;
  const request_traits t = request_traits_of(e.d, e.head);
  const bool close = !t.upgrade;
  size_t p = v;
  while (p < e.head && e.d[p] == ' ') ++p;
  int result = REWRITE_DONE;
  if (p < e.head) {
    if (!keep_target) target_to_origin_form(e, p);
    p = next_token(e, p);
    if (p < e.head) {
      if (close && !t.framed && !t.expects_100) version_to_10(e, p);
      edit_header_lines(e, close);
      if (e.edited) store_head(s, e, old_head);
      if (close && stays_open(t)) result = REWRITE_CLOSE_FORCED;
    }
  }
  free(e.d);
  return result;
}

namespace {

// Replaces `old_len` bytes at `at` of the stream by the n bytes of `bytes`.
bool splice(stream& s, size_t at, size_t old_len, const uint8_t* bytes, size_t n) {
  const size_t tail = s.len - (at + old_len);
  if (n > old_len && !stream_reserve(s, static_cast<uint32_t>(s.len + (n - old_len)))) return false;
  memmove(s.data + at + n, s.data + at + old_len, tail);
  memcpy(s.data + at, bytes, n);
  s.len = static_cast<uint32_t>(at + n + tail);
  return true;
}

}  // namespace

int absolute_target(stream& s, std::string_view authority) {
  if (s.data == nullptr || s.len < 10) return REWRITE_WAIT;
  const size_t v = http_verb_offset(s.data, s.len);
  if (v == 0) return REWRITE_DONE;
  if (http_head_find(s.data, s.len).body == 0) return REWRITE_WAIT;
  size_t p = v;
  while (p < s.len && s.data[p] == ' ') ++p;
  if (p >= s.len || s.data[p] != '/' || authority.empty() || authority.size() > 300)
    return REWRITE_DONE;
  char prefix[320];
  const int n = snprintf(prefix, sizeof prefix, "http://%.*s", static_cast<int>(authority.size()),
                         authority.data());
  if (n <= 0 || static_cast<size_t>(n) >= sizeof prefix) return REWRITE_DONE;
  const uint32_t total = s.total;
  splice(s, p, 0, reinterpret_cast<const uint8_t*>(prefix), static_cast<size_t>(n));
  s.total = total;
  return REWRITE_DONE;
}

namespace {

constexpr char kReplyClose[] = "Connection: close";

// The reply head [0, head) with every Connection and Keep-Alive line left
// out and "Connection: close" right after the status line, into out
// (capacity bytes); its length, 0 when it does not fit (line ends written
// anew may be longer than the ones they replace).
size_t close_reply_head(const uint8_t* d, size_t head, uint8_t* out, size_t capacity) {
  const bool crlf = d[head] == '\r';
  const char* eol = crlf ? "\r\n" : "\n";
  const size_t eol_len = crlf ? 2 : 1;
  size_t n = 0;
  auto put = [&](const void* bytes, size_t k) {
    if (n + k > capacity) return false;
    memcpy(out + n, bytes, k);
    n += k;
    return true;
  };
  const size_t status_end = read_line(d, head, 0).end;
  if (!put(d, status_end) || !put(eol, eol_len) || !put(kReplyClose, sizeof kReplyClose - 1))
    return 0;
  for (size_t pos = next_line(d, head, status_end); pos < head;) {
    const header_line l = read_line(d, head, pos);
    pos = next_line(d, head, l.end);
    if (same_word(d + l.name, l.name_len, "connection") ||
        same_word(d + l.name, l.name_len, "keep-alive"))
      continue;
    if (!put(eol, eol_len) || !put(d + l.start, l.end - l.start)) return 0;
  }
  return n;
}

// The bytes at d could still be, or are, the start of a status line.
bool may_be_reply(const uint8_t* d, size_t n) {
  constexpr char kStart[] = "HTTP/";
  const size_t k = n < 5 ? n : 5;
  return ascii_equal_folded(d, kStart, k);
}

}  // namespace

reply_mark mark_reply_close(stream& s) {
  size_t p = 0;
  while (p < s.len) {
    const uint8_t* d = s.data + p;
    const size_t n = s.len - p;
    if (!may_be_reply(d, n)) return {REWRITE_DONE, 0};
    const http_head_bounds bounds = http_head_find(d, n);
    if (bounds.body == 0) {
      // The head is on its way: it waits, unless it grows past any head.
      if (n > REPLY_HEAD_LIMIT) return {REWRITE_DONE, 0};
      return {REWRITE_WAIT, static_cast<uint32_t>(n)};
    }
    const int status = http_status_parse(d, bounds.body, http_status_rules{}).code;
    if (status < 0 || status == 101 || bounds.end > REPLY_HEAD_LIMIT) return {REWRITE_DONE, 0};
    if (status >= 100 && status < 200) {  // interim: the final reply is still to come
      p += bounds.body;
      continue;
    }
    static uint8_t edited[REPLY_HEAD_LIMIT + 64];  // engine thread only
    const size_t m = close_reply_head(d, bounds.end, edited, sizeof edited);
    const uint32_t total = s.total;
    if (m > 0) splice(s, p, bounds.end, edited, m);
    s.total = total;
    return {REWRITE_DONE, 0};
  }
  return {REWRITE_WAIT, 0};
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

namespace {

// A plain HTTP proxy as the last hop routes by the request target: an
// origin-form target gets the client's destination (the SOCKS request's,
// or the address looked up here), not whatever the Host line says.
void name_destination(conn_slot& client, route_record& rc) {
  char authority[DEST_HOST_SIZE + 16];
  const uint32_t a = rc.client.resolved;
  const uint8_t* b = reinterpret_cast<const uint8_t*>(&a);
  if (a != 0)
    snprintf(authority, sizeof authority, "%u.%u.%u.%u:%u", b[0], b[1], b[2], b[3],
             static_cast<unsigned>(client.dest_port));
  else
    snprintf(authority, sizeof authority, strchr(client.dest_host, ':') ? "[%.*s]:%u" : "%.*s:%u",
             static_cast<int>(DEST_HOST_SIZE - 1), client.dest_host,
             static_cast<unsigned>(client.dest_port));
  if (absolute_target(client.in, authority) != REWRITE_WAIT) rc.client.target_named = 1;
}

// The first reply head of a connection whose close the rewrite forced says
// so, so that the client does not send its next request into it.
uint32_t mark_first_reply(conn_slot& out, route_record& client) {
  if (client.rewritten != REWRITE_CLOSE_FORCED || out.in.len == 0) return 0;
  const reply_mark m = mark_reply_close(out.in);
  if (m.done == REWRITE_DONE) client.rewritten = REWRITE_DONE;
  return m.held;
}

}  // namespace

bool relay_bytes_unseen(int index, int linked_index) {
  if (index < 0 || index >= SLOT_COUNT || linked_index < 0 || linked_index >= SLOT_COUNT)
    return false;
  const conn_slot* out = &conn_table[index];
  const conn_slot* client = &conn_table[linked_index];
  if (route_of(*out).side != 0) std::swap(out, client);
  const route_record& ro = route_of(*out);
  const route_record& rc = route_of(*client);
  if (ro.side != 0 || rc.side == 0) return true;  // not a chain: nothing to see
  if (ro.check_reply || rc.rewritten == REWRITE_CLOSE_FORCED) return false;
  if (rc.rewritten == 0 && force_http_10_on()) return false;
  if (ro.hop_proto != PT_HTTP) return true;
  // A plain HTTP last proxy: its first reply is judged, the first request
  // names the destination and signs in.
  if (client->proto != PROTO_CONNECT && rc.client.target_named == 0) return false;
  return ro.socks5_stage == HTTP_SIGNED_IN && out->in.total > 0;
}

uint32_t relay_hook(int index, int linked_index) {
  if (index < 0 || index >= SLOT_COUNT || linked_index < 0 || linked_index >= SLOT_COUNT) return 0;
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
    return 0;
  }
  route_record& ro = route_of(*out);
  route_record& rc = route_of(*client);
  if (ro.check_reply && out->in.len > 10) {
    ro.check_reply = 0;
    ro.failed = static_cast<uint8_t>(response_is_error(out->in.data, out->in.len));
  }
  const bool at_destination = ro.hop_index < MAX_HOPS && ro.hop_index + 1 == ro.hop_count;
  if (at_destination && ro.hop_proto == PT_HTTP && client->proto != PROTO_CONNECT &&
      rc.client.target_named == 0)
    name_destination(*client, rc);
  const bool force = force_http_10_on() || (client->flags & SLOT_ONE_REQUEST);
  if (at_destination && force && rc.rewritten == 0) {
    if (client->proto == PROTO_CONNECT) {
      rc.rewritten = REWRITE_DONE;  // a tunnel carries the client's bytes as they are
    } else if (client->in.len > 8) {
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
  return mark_first_reply(*out, rc);
}
