#include "util/literal.h"

namespace {
char empty_text[1] = {0};

// Shared decode pass; returns the index of the terminator word.
size_t decode_pass(const uint16_t* encoded, size_t capacity, char* dest) {
  size_t j = 0;
  for (;; ++j) {
    uint16_t w = encoded[j];
    uint8_t low = static_cast<uint8_t>(w & 0xFF);
    if (low != 0) {
      dest[j] = static_cast<char>(static_cast<uint8_t>(~low));
      continue;
    }
    if ((w >> 8) == 0 || j >= capacity) break;
    dest[j] = static_cast<char>(0xFF);
  }
  dest[j] = 0;
  return j;
}
}  // namespace

const char* literal_decode(const uint16_t* encoded, size_t capacity, char* dest) {
  if (encoded == nullptr || dest == nullptr) return empty_text;
  uint16_t sum = 0;
  for (size_t i = 0;; ++i) {
    uint16_t w = encoded[i];
    if ((w & 0xFF) == 0 && ((w >> 8) == 0 || i >= capacity)) break;
    sum = static_cast<uint16_t>(sum + w);
  }
  // The checksum word sits behind the terminator. Decoding in place
  // overwrites the low bytes only up to the terminator, which starts at
  // byte 2j, so read the checksum before decoding.
  size_t n = 0;
  while (!(((encoded[n] & 0xFF) == 0) && ((encoded[n] >> 8) == 0 || n >= capacity))) ++n;
  uint16_t stored = encoded[n + 1];
  decode_pass(encoded, capacity, dest);
  return sum == stored ? dest : empty_text;
}

const char* literal_decode_unchecked(const uint16_t* encoded, size_t capacity, char* dest) {
  if (encoded == nullptr || dest == nullptr) return empty_text;
  decode_pass(encoded, capacity, dest);
  return dest;
}
