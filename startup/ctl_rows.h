// Reading the panel's proxy list reply as data: "[[ip,port,type,blocked,
// rank,...],[...]]" (or "null"), where a field is digits, empty (a null),
// or a double-quoted text with backslash escapes. Texts are skipped whole,
// so nothing inside one (a user name holding "],[") can make a row.
#pragma once

#include <cstdint>
#include <string_view>

struct ctl_proxy_row {
  uint32_t ip, port, type, blocked;
  long rank;
};

// Calls row(ctl_proxy_row) for each row whose first five fields are
// numbers, in order. False when the text is not such a list (rows already
// read stay delivered).
template <class F>
bool ctl_proxy_rows(std::string_view v, F row);

namespace ctl_rows_detail {

// Skips a double-quoted text starting at v[at]; the position after it, or
// npos when it does not end.
inline size_t skip_text(std::string_view v, size_t at) {
  for (size_t i = at + 1; i < v.size(); ++i) {
    if (v[i] == '\\') {
      ++i;
      continue;
    }
    if (v[i] == '"') return i + 1;
  }
  return std::string_view::npos;
}

// One field at v[at]: its number in *number when it is digits (a leading
// '-' allowed), *is_number false for a text or an empty field. The
// position of the ',' or ']' after it, or npos.
inline size_t read_field(std::string_view v, size_t at, long* number, bool* is_number) {
  *is_number = false;
  if (at < v.size() && v[at] == '"') {
    at = skip_text(v, at);
  } else {
    const bool negative = at < v.size() && v[at] == '-';
    size_t i = negative ? at + 1 : at;
    long value = 0;
    const size_t digits = i;
    while (i < v.size() && v[i] >= '0' && v[i] <= '9' && i - digits < 18)
      value = value * 10 + (v[i++] - '0');
    *is_number = i > digits;
    *number = negative ? -value : value;
    at = i;
  }
  if (at == std::string_view::npos || at >= v.size() || (v[at] != ',' && v[at] != ']'))
    return std::string_view::npos;
  return at;
}

}  // namespace ctl_rows_detail

template <class F>
bool ctl_proxy_rows(std::string_view v, F row) {
  using ctl_rows_detail::read_field;
  if (v == "null") return true;
  if (v.size() < 4 || v.substr(0, 2) != "[[") return false;
  size_t at = 2;
  for (;;) {
    long fields[5] = {0, 0, 0, 0, 0};
    int count = 0;
    bool numbers = true;
    for (;;) {
      long number = 0;
      bool is_number = false;
      at = read_field(v, at, &number, &is_number);
      if (at == std::string_view::npos) return false;
      if (count < 5) {
        numbers = numbers && is_number;
        fields[count] = number;
      }
      ++count;
      if (v[at++] == ']') break;
    }
    if (count < 5 || !numbers) return false;
    row(ctl_proxy_row{static_cast<uint32_t>(fields[0]), static_cast<uint32_t>(fields[1]),
                      static_cast<uint32_t>(fields[2]), static_cast<uint32_t>(fields[3]),
                      fields[4]});
    if (at < v.size() && v[at] == ']') return at + 1 == v.size();
    if (at + 1 >= v.size() || v[at] != ',' || v[at + 1] != '[') return false;
    at += 2;
  }
}
