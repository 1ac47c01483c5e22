// ASCII character classes shared by every byte-level reader: digits, blanks,
// letters, the name characters of hosts and header names, case folding and
// hexadecimal digits. Bytes above 127 belong to no class and never fold.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr bool ascii_is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}
// Space, TAB, CR and LF.
constexpr bool ascii_is_blank(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
constexpr bool ascii_is_letter(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
// A-Z, a-z, 0-9, '.', '-' and '_': host names and header names.
constexpr bool ascii_is_name_char(unsigned char c) {
  return ascii_is_letter(c) || ascii_is_digit(c) || c == '.' || c == '-' || c == '_';
}
constexpr unsigned char ascii_upper(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 32) : c;
}
constexpr unsigned char ascii_lower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}
// Value of a hexadecimal digit (either case), -1 for any other byte.
constexpr int ascii_hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The n bytes of data equal the ASCII text, ignoring the case of letters;
// the text has at least n characters.
constexpr bool ascii_equal_folded(const uint8_t* data, const char* text, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (ascii_upper(data[i]) != ascii_upper(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}
