// Header-echo reply formats.
#include "maintenance/echo.h"

#include <strings.h>

#include <cstring>

#include "util/ascii.h"

namespace {

// Names (CGI form) that always reveal; anything holding "PROXY" or starting
// with "X_FORWARDED" does too.
constexpr const char* revealing_names[] = {
    "VIA",
    "X_VIA",
    "FORWARDED",
    "FORWARDED_FOR",
    "X_REAL_IP",
    "CLIENT_IP",
    "X_CLIENT_IP",
    "X_ORIGINATING_IP",
    "TRUE_CLIENT_IP",
    "CF_CONNECTING_IP",
    "X_CLUSTER_CLIENT_IP",
    "X_BLUECOAT_VIA",
    "X_TINYPROXY",
    "X_COMING_FROM",
    "COMING_FROM",
    "XROXY_CONNECTION",
    "CACHE_INFO",
};

bool is_name_char(uint8_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// Copies a name in CGI form: upper case, "-" as "_". False when too long.
bool cgi_name(const uint8_t* p, size_t n, char (&out)[ECHO_TAG_SIZE]) {
  if (n == 0 || n >= ECHO_TAG_SIZE) return false;
  for (size_t i = 0; i < n; ++i) {
    uint8_t c = p[i];
    c = ascii_upper(c);
    if (c == '-') c = '_';
    out[i] = static_cast<char>(c);
  }
  out[n] = 0;
  return true;
}

// Copies a value cut to what the buffer takes, blanks trimmed at both ends.
void copy_value(const uint8_t* p, size_t n, char (&out)[ECHO_VALUE_SIZE]) {
  while (n > 0 && ascii_is_blank(*p)) ++p, --n;
  while (n > 0 && ascii_is_blank(p[n - 1])) --n;
  if (n >= ECHO_VALUE_SIZE) n = ECHO_VALUE_SIZE - 1;
  std::memcpy(out, p, n);
  out[n] = 0;
}

// Hands over the address, or a header when it reveals. `name` is in CGI
// form; `header` says it came without the "HTTP_" prefix.
int hand_over(const char* name, bool header, const char* value, echo_item_fn fn, void* ctx) {
  if (!header && std::strcmp(name, "REMOTE_ADDR") == 0) {
    fn("REMOTE_ADDR", value, ctx);
    return 1;
  }
  const char* bare = name;
  if (!header) {
    if (std::strncmp(name, "HTTP_", 5) != 0) return 0;
    bare = name + 5;
  }
  if (!echo_header_reveals(bare)) return 0;
  char tag[ECHO_TAG_SIZE + 5];
  std::memcpy(tag, "HTTP_", 5);
  std::memcpy(tag + 5, bare, std::strlen(bare) + 1);
  fn(tag, value, ctx);
  return 1;
}

// One "NAME = value" line [p, end).
int read_line(const uint8_t* p, const uint8_t* end, echo_item_fn fn, void* ctx) {
  while (p < end && ascii_is_blank(*p)) ++p;
  const uint8_t* name = p;
  while (p < end && is_name_char(*p)) ++p;
  char cgi[ECHO_TAG_SIZE];
  if (!cgi_name(name, static_cast<size_t>(p - name), cgi)) return 0;
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  if (p >= end || *p != '=') return 0;
  char value[ECHO_VALUE_SIZE];
  copy_value(p + 1, static_cast<size_t>(end - p - 1), value);
  return hand_over(cgi, false, value, fn, ctx);
}

// The JSON reader: a cursor over the body.
struct json_cursor {
  const uint8_t* p;
  const uint8_t* end;
};

void skip_blanks(json_cursor& c) {
  while (c.p < c.end && ascii_is_blank(*c.p)) ++c.p;
}

// Reads a string at the cursor into out (escapes decoded, non-ASCII \u as
// "?"); false when there is no complete string.
bool read_string(json_cursor& c, char* out, size_t capacity) {
  skip_blanks(c);
  if (c.p >= c.end || *c.p != '"') return false;
  ++c.p;
  size_t n = 0;
  while (c.p < c.end && *c.p != '"') {
    uint8_t ch = *c.p++;
    if (ch == '\\') {
      if (c.p >= c.end) return false;
      uint8_t e = *c.p++;
      switch (e) {
        case 'n':
          ch = '\n';
          break;
        case 't':
          ch = '\t';
          break;
        case 'r':
          ch = '\r';
          break;
        case 'b':
        case 'f':
          ch = ' ';
          break;
        case 'u':
          if (c.end - c.p < 4) return false;
          c.p += 4;
          ch = '?';
          break;
        default:
          ch = e;
          break;
      }
    }
    if (n + 1 < capacity) out[n++] = static_cast<char>(ch);
  }
  if (c.p >= c.end) return false;
  ++c.p;
  out[n] = 0;
  return true;
}

// Skips one value of any kind; nesting is bounded.
bool skip_value(json_cursor& c, int depth) {
  skip_blanks(c);
  if (c.p >= c.end || depth > 16) return false;
  if (*c.p == '"') {
    char scratch[4];
    return read_string(c, scratch, sizeof scratch);
  }
  if (*c.p == '{' || *c.p == '[') {
    const uint8_t close = *c.p == '{' ? '}' : ']';
    const bool object = close == '}';
    ++c.p;
    skip_blanks(c);
    if (c.p < c.end && *c.p == close) {
      ++c.p;
      return true;
    }
    for (;;) {
      if (object) {
        char key[4];
        if (!read_string(c, key, sizeof key)) return false;
        skip_blanks(c);
        if (c.p >= c.end || *c.p != ':') return false;
        ++c.p;
      }
      if (!skip_value(c, depth + 1)) return false;
      skip_blanks(c);
      if (c.p < c.end && *c.p == ',') {
        ++c.p;
        continue;
      }
      if (c.p < c.end && *c.p == close) {
        ++c.p;
        return true;
      }
      return false;
    }
  }
  while (c.p < c.end && *c.p != ',' && *c.p != '}' && *c.p != ']' && !ascii_is_blank(*c.p)) ++c.p;
  return true;
}

// The "origin" text: the last of its comma-separated addresses is the one
// the request came from; the ones before it were forwarded by a proxy.
int hand_over_origin(const char* origin, echo_item_fn fn, void* ctx) {
  const char* last = std::strrchr(origin, ',');
  if (last == nullptr) {
    fn("REMOTE_ADDR", origin, ctx);
    return 1;
  }
  char value[ECHO_VALUE_SIZE];
  copy_value(reinterpret_cast<const uint8_t*>(last + 1), std::strlen(last + 1), value);
  fn("REMOTE_ADDR", value, ctx);
  copy_value(reinterpret_cast<const uint8_t*>(origin), static_cast<size_t>(last - origin), value);
  fn("HTTP_X_FORWARDED_FOR", value, ctx);
  return 2;
}

// The "headers" object: every string member that reveals.
int read_headers(json_cursor& c, echo_item_fn fn, void* ctx) {
  skip_blanks(c);
  if (c.p >= c.end || *c.p != '{') return skip_value(c, 1) ? 0 : -1;
  ++c.p;
  int items = 0;
  skip_blanks(c);
  if (c.p < c.end && *c.p == '}') {
    ++c.p;
    return 0;
  }
  for (;;) {
    char key[ECHO_TAG_SIZE];
    if (!read_string(c, key, sizeof key)) return -1;
    skip_blanks(c);
    if (c.p >= c.end || *c.p != ':') return -1;
    ++c.p;
    skip_blanks(c);
    char cgi[ECHO_TAG_SIZE];
    const bool named = cgi_name(reinterpret_cast<const uint8_t*>(key), std::strlen(key), cgi);
    if (c.p < c.end && *c.p == '"') {
      char value[ECHO_VALUE_SIZE];
      if (!read_string(c, value, sizeof value)) return -1;
      if (named) items += hand_over(cgi, true, value, fn, ctx);
    } else if (!skip_value(c, 2)) {
      return -1;
    }
    skip_blanks(c);
    if (c.p < c.end && *c.p == ',') {
      ++c.p;
      continue;
    }
    if (c.p < c.end && *c.p == '}') {
      ++c.p;
      return items;
    }
    return -1;
  }
}

}  // namespace

bool echo_header_reveals(const char* name) {
  if (name == nullptr || name[0] == 0) return false;
  if (std::strstr(name, "PROXY") != nullptr) return true;
  if (std::strncmp(name, "X_FORWARDED", 11) == 0) return true;
  for (const char* known : revealing_names)
    if (std::strcmp(name, known) == 0) return true;
  return false;
}

const uint8_t* echo_body(const uint8_t* bytes, size_t length) {
  if (length < 5 || strncasecmp(reinterpret_cast<const char*>(bytes), "HTTP/", 5) != 0)
    return bytes;
  for (size_t i = 0; i + 1 < length; ++i) {
    if (bytes[i] == '\n' && bytes[i + 1] == '\n') return bytes + i + 2;
    if (i + 3 < length && bytes[i] == '\r' && bytes[i + 1] == '\n' && bytes[i + 2] == '\r' &&
        bytes[i + 3] == '\n')
      return bytes + i + 4;
  }
  return bytes + length;
}

int echo_read_lines(const uint8_t* body, size_t length, echo_item_fn fn, void* ctx) {
  if (body == nullptr || fn == nullptr) return 0;
  const uint8_t* end = body + length;
  const uint8_t* line = body;
  int items = 0;
  for (const uint8_t* p = body; p <= end; ++p) {
    // A tag ends the line like a line break does.
    if (p < end && *p != '\n' && *p != '<') continue;
    items += read_line(line, p, fn, ctx);
    if (p < end && *p == '<') {
      const void* gt = std::memchr(p, '>', static_cast<size_t>(end - p));
      if (gt == nullptr) break;
      p = static_cast<const uint8_t*>(gt);
    }
    line = p + 1;
  }
  return items;
}

int echo_read_json(const uint8_t* body, size_t length, echo_item_fn fn, void* ctx) {
  if (body == nullptr || fn == nullptr) return 0;
  json_cursor c{body, body + length};
  skip_blanks(c);
  if (c.p >= c.end || *c.p != '{') return 0;
  ++c.p;
  int items = 0;
  for (;;) {
    char key[ECHO_TAG_SIZE];
    if (!read_string(c, key, sizeof key)) return items;
    skip_blanks(c);
    if (c.p >= c.end || *c.p != ':') return items;
    ++c.p;
    skip_blanks(c);
    if (std::strcmp(key, "origin") == 0 && c.p < c.end && *c.p == '"') {
      char origin[ECHO_VALUE_SIZE];
      if (!read_string(c, origin, sizeof origin)) return items;
      items += hand_over_origin(origin, fn, ctx);
    } else if (std::strcmp(key, "headers") == 0) {
      const int found = read_headers(c, fn, ctx);
      if (found < 0) return items;
      items += found;
    } else if (!skip_value(c, 1)) {
      return items;
    }
    skip_blanks(c);
    if (c.p < c.end && *c.p == ',') {
      ++c.p;
      continue;
    }
    return items;
  }
}
