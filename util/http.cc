#include "util/http.h"

#include <cstring>

#include "util/ascii.h"
#include "util/literal.h"
#include "util/text.h"

const char* http_verb_list() {
  return MV_LIT(
      "CONNECT\nGET\nPOST\nHEAD\nPUT\nDELETE\nOPTIONS\nTRACE\nPATCH\n"
      "PROPFIND\nPROPPATCH\nMKCOL\nCOPY\nMOVE\nLOCK\nUNLOCK\nREPORT\nSEARCH\nMKCALENDAR");
}

int is_host_char(int c) {
  return ascii_is_name_char(static_cast<unsigned char>(c)) ? 1 : 0;
}

size_t http_verb_offset(const uint8_t* data, size_t length) {
  if (data == nullptr) return 0;
  size_t start = 0;
  while (start < length && data[start] == ' ') ++start;
  const char* list = http_verb_list();
  for (const char* name = list; *name != 0;) {
    const char* end = strchr(name, '\n');
    size_t n = end != nullptr ? static_cast<size_t>(end - name) : strlen(name);
    if (n > 0 && length - start >= n + 1 && data[start + n] == ' ' &&
        ascii_equal_folded(data + start, name, n))
      return start + n;
    name += n;
    if (*name == '\n') ++name;
  }
  return 0;
}

http_head_bounds http_head_find(const uint8_t* d, size_t n) {
  for (size_t i = 0; i + 1 < n; ++i) {
    if (d[i] == '\n' && d[i + 1] == '\n') return {i, i + 2};
    if (i + 3 < n && d[i] == '\r' && d[i + 1] == '\n' && d[i + 2] == '\r' && d[i + 3] == '\n')
      return {i, i + 4};
    if (i + 3 < n && d[i] == '\n' && d[i + 1] == '\r' && d[i + 2] == '\n' && d[i + 3] == '\r')
      return {i, i + 4};
  }
  return {0, 0};
}

const char* http_body_of(const char* text) {
  const http_head_bounds head = http_head_find(text);
  return head.body != 0 ? text + head.body : nullptr;
}

const char* url_host_start(const char* url) {
  const char* p = text_find(url, ":/");
  if (p == nullptr) return nullptr;
  ++p;
  while (*p == '/') ++p;
  return p;
}

namespace {

// Cursor over the status line; every step fails rather than read past the end.
struct line_cursor {
  const uint8_t* d;
  size_t n;
  size_t i;
  bool at(unsigned char c) const { return i < n && d[i] == c; }
  bool at_digit() const { return i < n && ascii_is_digit(d[i]); }
  void skip_spaces() {
    while (at(' ')) ++i;
  }
  void skip_blanks() {
    while (i < n && ascii_is_blank(d[i])) ++i;
  }
  // Passes over a run of digits; false when one was required and none came.
  bool skip_digits(bool required) {
    if (required && !at_digit()) return false;
    while (at_digit()) ++i;
    return true;
  }
};

// "HTTP" (any case) "/" "digits.digits", with the spaces the rules allow.
bool read_version(line_cursor& c, const http_status_rules& rules) {
  if (c.n - c.i < 5 || ascii_upper(c.d[c.i]) != 'H' || ascii_upper(c.d[c.i + 1]) != 'T' ||
      ascii_upper(c.d[c.i + 2]) != 'T' || ascii_upper(c.d[c.i + 3]) != 'P')
    return false;
  c.i += 4;
  if (rules.space_before_slash) c.skip_spaces();
  if (!c.at('/')) return false;
  ++c.i;
  if (rules.space_after_slash) c.skip_spaces();
  if (!c.skip_digits(rules.version_digits) || !c.at('.')) return false;
  ++c.i;
  return c.skip_digits(rules.version_digits);
}

// The gap between the version and the status.
bool read_gap(line_cursor& c, const http_status_rules& rules) {
  if (rules.gap_blanks) {
    if (rules.gap_required && !(c.i < c.n && ascii_is_blank(c.d[c.i]))) return false;
    c.skip_blanks();
    return true;
  }
  if (rules.gap_required && !c.at(' ')) return false;
  c.skip_spaces();
  return true;
}

}  // namespace

http_status http_status_parse(const uint8_t* data, size_t length, const http_status_rules& rules) {
  line_cursor c{data, data != nullptr ? length : 0, 0};
  if (rules.leading_blanks) c.skip_blanks();
  if (!read_version(c, rules) || !read_gap(c, rules) || !c.at_digit()) return {-1, c.i};
  uint32_t code = 0;
  for (size_t digits = 0; c.at_digit() && code < HTTP_STATUS_CEILING &&
                          (rules.status_digits == 0 || digits < rules.status_digits);
       ++digits)
    code = code * 10 + static_cast<uint32_t>(c.d[c.i++] - '0');
  return {static_cast<int>(code), c.i};
}

int http_verb_may_follow(const uint8_t* data, size_t length) {
  if (data == nullptr) return 0;
  size_t start = 0;
  while (start < length && data[start] == ' ') ++start;
  size_t have = length - start;
  const char* list = http_verb_list();
  for (const char* name = list; *name != 0;) {
    const char* end = strchr(name, '\n');
    size_t n = end != nullptr ? static_cast<size_t>(end - name) : strlen(name);
    if (n > 0 && have <= n && ascii_equal_folded(data + start, name, have)) return 1;
    name += n;
    if (*name == '\n') ++name;
  }
  return 0;
}

size_t http_basic_line(std::string_view user, std::string_view pass, char* out, size_t size) {
  static constexpr char digits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  static constexpr char head[] = "Proxy-Authorization: Basic ";
  const size_t plain = user.size() + 1 + pass.size();
  const size_t need = sizeof head - 1 + (plain + 2) / 3 * 4 + 2;
  if (out == nullptr || need + 1 > size) {
    if (out != nullptr && size > 0) out[0] = 0;
    return 0;
  }
  auto byte_at = [&](size_t i) -> uint32_t {
    if (i < user.size()) return static_cast<uint8_t>(user[i]);
    if (i == user.size()) return ':';
    return static_cast<uint8_t>(pass[i - user.size() - 1]);
  };
  size_t used = sizeof head - 1;
  memcpy(out, head, used);
  for (size_t i = 0; i < plain; i += 3) {
    const uint32_t v = byte_at(i) << 16 | (i + 1 < plain ? byte_at(i + 1) << 8 : 0) |
                       (i + 2 < plain ? byte_at(i + 2) : 0);
    out[used++] = digits[v >> 18 & 63];
    out[used++] = digits[v >> 12 & 63];
    out[used++] = i + 1 < plain ? digits[v >> 6 & 63] : '=';
    out[used++] = i + 2 < plain ? digits[v & 63] : '=';
  }
  out[used++] = '\r';
  out[used++] = '\n';
  out[used] = 0;
  return used;
}
