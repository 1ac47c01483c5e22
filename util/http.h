// Byte-level HTTP helpers shared by every subsystem that reads or writes
// HTTP: the method names taken as HTTP, the host-name character class, where
// a head ends and the status line of a reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Names of the methods taken as HTTP, one per line (CONNECT among them).
const char* http_verb_list();
// Offset just past the HTTP method name, or 0 when the data is not HTTP.
size_t http_verb_offset(const uint8_t* data, size_t length);
// 1 while the data could still become an HTTP request once more bytes
// arrive: after leading spaces, everything is the start of a method name
// (the name and its space not yet complete).
int http_verb_may_follow(const uint8_t* data, size_t length);
// 1 for A-Z, a-z, 0-9, '.', '-' and '_'.
int is_host_char(int c);

// Where a head ends: at the first of "\n\n", "\r\n\r\n" or "\n\r\n\r" (the
// last line's own line end and the empty line). `end` is the offset where
// that run starts, so the head's lines are the bytes before it; `body` is
// the offset just past it. body is 0 while the head is not complete.
struct http_head_bounds {
  size_t end;
  size_t body;
};
http_head_bounds http_head_find(const uint8_t* data, size_t length);
inline http_head_bounds http_head_find(std::string_view text) {
  return http_head_find(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}
// The body of a NUL-terminated answer: just past the head's empty line;
// null while the head is not complete.
const char* http_body_of(const char* text);

// Start of the host in a URL: just past the first ":/" (any case) and the
// run of '/' after it; null when the URL has no ":/".
const char* url_host_start(const char* url);

// How lenient a status-line reader is. The line is "HTTP" "/" digits "."
// digits, a gap, then the status digits; the readers of different peers
// accept different variations of it. The defaults are the strictest reading.
struct http_status_rules {
  bool leading_blanks = false;      // blanks before "HTTP" are passed over
  bool space_before_slash = false;  // "HTTP /1.1"
  bool space_after_slash = false;   // "HTTP/ 1.1"
  bool version_digits = true;       // each version number needs a digit
  bool gap_required = true;         // the status needs something before it
  bool gap_blanks = false;          // the gap may hold TAB, CR and LF, not just spaces
  uint8_t status_digits = 0;        // at most this many status digits (0: no count)
};
// Status digits are read while the value stays below this (a status of
// 100000 or more is never one a reader accepts).
constexpr uint32_t HTTP_STATUS_CEILING = 100000;

// code: the status, -1 when the line is malformed (no status digit among
// them); end: the offset just past the status digits.
struct http_status {
  int code;
  size_t end;
};
http_status http_status_parse(const uint8_t* data, size_t length, const http_status_rules& rules);
// "Proxy-Authorization: Basic <user:pass in base64>\r\n" into out (size
// bytes, NUL-terminated); its length, 0 when it does not fit.
size_t http_basic_line(std::string_view user, std::string_view pass, char* out, size_t size);
