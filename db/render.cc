// Row rendering of query results: plain values, script arrays ("j"),
// script object members ("J"), tagged values ("~") and named values ("#").
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "db/db.h"
#include "platform/stop.h"

namespace {

// Appends n bytes to the output; false (nothing appended) when memory
// cannot be had. The block grows geometrically and always keeps room for
// the terminator.
bool put(render_record& r, const char* bytes, size_t n) {
  if (n == 0) return true;
  if (r.length + n + 1 > r.capacity) {
    size_t want = r.capacity < 256 ? 256 : r.capacity;
    while (want < r.length + n + 1) {
      if (want > SIZE_MAX / 2) return false;
      want *= 2;
    }
    char* grown = static_cast<char*>(realloc(r.output, want));
    if (grown == nullptr) return false;
    r.output = grown;
    r.capacity = want;
  }
  std::memcpy(r.output + r.length, bytes, n);
  r.length += n;
  r.output[r.length] = 0;
  return true;
}

bool put(render_record& r, const char* text) {
  return text == nullptr || put(r, text, std::strlen(text));
}

bool all_digits(const char* v) {
  if (*v == 0) return false;
  for (; *v; ++v)
    if (*v < '0' || *v > '9') return false;
  return true;
}

// A value as a script literal: digits alone stay as they are, everything
// else becomes a double-quoted text with the control bytes escaped.
bool put_script_literal(render_record& r, const char* v) {
  if (all_digits(v)) return put(r, v);
  static constexpr char hex[] = "0123456789abcdef";
  if (!put(r, "\"", 1)) return false;
  const char* run = v;  // start of bytes still to be copied as they are
  for (const char* p = v;; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    if (!put(r, run, static_cast<size_t>(p - run))) return false;
    if (c == 0) break;
    run = p + 1;
    char esc[4] = {'\\', 0, 0, 0};
    size_t n = 2;
    switch (c) {
      case '\t':
        esc[1] = 't';
        break;
      case '\n':
        esc[1] = 'n';
        break;
      case '"':
        esc[1] = '"';
        break;
      case '\\':
        esc[1] = '\\';
        break;
      case '\r':
        n = 0;
        break;
      default:
        esc[1] = 'x';
        esc[2] = hex[c >> 4];
        esc[3] = hex[c & 15];
        n = 4;
    }
    if (!put(r, esc, n)) return false;
  }
  return put(r, "\"", 1);
}

bool put_row(render_record& r, int columns, char** values, char** names) {
  const char* mode = r.mode;
  char first = mode[0];
  const char* column_separator = (first == '#' || first == 'j' || first == 'J') ? mode + 1 : mode;
  if (r.length > 0 && r.row_separator[0] != 0 && !put(r, r.row_separator)) return false;
  for (int i = 0; i < columns; ++i) {
    const char* value = values != nullptr ? values[i] : nullptr;
    const char* name = names != nullptr && names[i] != nullptr ? names[i] : "";
    if (first == '~') {
      if (!put(r, "<", 1) || !put(r, name) || !put(r, ">", 1)) return false;
      if (value != nullptr && !put(r, value)) return false;
      if (!put(r, "</", 2) || !put(r, name) || !put(r, ">", 1)) return false;
      continue;
    }
    if (i > 0 && !put(r, column_separator)) return false;
    if (first == 'J') {
      if (i == 0) {
        // The key of an object member; a row without one still gets a
        // key so that the member list stays well formed.
        if (value != nullptr && value[0] != 0) {
          if (!put(r, value) || !put(r, ":", 1)) return false;
        } else if (!put(r, "var_1:")) {
          return false;
        }
        continue;
      }
      if (i == 1 && columns > 2 && !put(r, "[", 1)) return false;
      if (value != nullptr && !put_script_literal(r, value)) return false;
      if (i == columns - 1 && columns > 2 && !put(r, "]", 1)) return false;
      continue;
    }
    if (value == nullptr) continue;
    bool ok = true;
    if (first == '#')
      ok = put(r, name) && put(r, ":", 1) && put(r, value);
    else if (first == 'j')
      ok = put_script_literal(r, value);
    else
      ok = put(r, value);
    if (!ok) return false;
  }
  return true;
}

}  // namespace

int render_row(void* record, int columns, char** values, char** names) {
  if (record == nullptr) return 1;
  render_record& r = *static_cast<render_record*>(record);
  if (r.mode == nullptr || r.row_separator == nullptr) return 1;
  // A row that cannot be rendered whole for want of memory is left out.
  size_t row_start = r.length;
  if (!put_row(r, columns, values, names)) {
    r.length = row_start;
    if (r.output != nullptr) r.output[r.length] = 0;
  }
  r.rows += 1;
  return static_cast<int>(stop_flag.load());
}
