// The literal store: fixed protocol texts, SQL statements and HTML fragments
// are written in plain source through MV_LIT("..."), encoded at compile time
// (each character as its 16-bit complement, a zero word, then a checksum
// word) and decoded in place on first use. The program image holds only the
// encoded words.
#pragma once

#include <cstddef>
#include <cstdint>

// Encoded form of an n-character text: n words, the terminator, the checksum.
template <size_t N>
struct literal_words {
  uint16_t w[N + 2];
};

template <size_t N>
consteval literal_words<N - 1> literal_encode(const char (&text)[N]) {
  literal_words<N - 1> out{};
  uint16_t sum = 0;
  for (size_t i = 0; i + 1 < N; ++i) {
    uint16_t word =
        static_cast<uint16_t>(~static_cast<uint16_t>(static_cast<unsigned char>(text[i])));
    out.w[i] = word;
    sum = static_cast<uint16_t>(sum + word);
  }
  out.w[N - 1] = 0;
  out.w[N] = sum;
  return out;
}

// Decodes the words at `encoded` into `dest` (normally the same storage).
// Returns dest when the checksum matches, else a shared empty text; dest
// holds the decoded bytes either way. `capacity` bounds where a 0xFF
// character (encoded low byte 0) is still taken as a character.
const char* literal_decode(const uint16_t* encoded, size_t capacity, char* dest);

// Decodes without the checksum test (same character rule and bound).
const char* literal_decode_unchecked(const uint16_t* encoded, size_t capacity, char* dest);

// First-use test and in-place decode of one use site's storage. The
// storage is still encoded while its first byte is the complement of the
// text's first character.
template <size_t N>
const char* literal_use(literal_words<N>& lw, char first) {
  unsigned char* bytes = reinterpret_cast<unsigned char*>(lw.w);
  if (N > 0 && bytes[0] == static_cast<unsigned char>(~static_cast<unsigned char>(first)))
    return literal_decode(lw.w, N + 2, reinterpret_cast<char*>(lw.w));
  if (N == 0) return "";
  return reinterpret_cast<const char*>(lw.w);
}

// Plain text of a literal, decoded at its first use. Engine-thread use only
// (the reverse-lookup worker decodes only literals of its own).
#define MV_LIT(text)                                                  \
  (::literal_use(                                                     \
      []() -> auto& {                                                 \
        static constinit auto mv_lit_words_ = ::literal_encode(text); \
        return mv_lit_words_;                                         \
      }(),                                                            \
      (text)[0]))
