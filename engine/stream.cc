#include "engine/stream.h"

#include <cstdlib>
#include <cstring>

// Consuming from the front only moves `data` forward; the bytes are moved
// back to the block's start when the tail has no room and at least half of
// what the block holds is already consumed, so a slowly drained stream costs
// no copy per send. An emptied stream gives its block back.
namespace {
uint8_t* block_of(const stream& s) {
  return s.data != nullptr ? s.data - s.head : nullptr;
}

void move_to_front(stream& s) {
  if (s.head == 0) return;
  uint8_t* block = block_of(s);
  memmove(block, s.data, s.len);
  s.data = block;
  s.head = 0;
}
}  // namespace

bool stream_lent(const stream& s) {
  return s.cap == 0 && s.data != nullptr;
}

void stream_lend(stream& s, uint8_t* bytes, uint32_t n) {
  stream_free(s);
  s.data = bytes;
  s.len = n;
}

bool stream_own(stream& s) {
  if (!stream_lent(s)) return true;
  const uint32_t n = s.len;
  auto* block = static_cast<uint8_t*>(malloc(n < 256 ? 256 : n));
  if (block == nullptr) {
    s.data = nullptr;
    s.len = 0;
    return false;
  }
  memcpy(block, s.data, n);
  s.data = block;
  s.cap = n < 256 ? 256 : n;
  s.head = 0;
  return true;
}

bool stream_reserve(stream& s, uint32_t needed) {
  if (!stream_own(s)) return false;
  if (s.head + needed <= s.cap) return true;
  if (needed <= s.cap && s.head >= s.len) {
    move_to_front(s);
    return true;
  }
  uint32_t cap = s.cap < 256 ? 256 : s.cap;
  while (cap < needed) cap = cap > (1u << 30) ? needed : cap * 2;
  if (cap == s.cap) cap = s.cap > (1u << 30) ? needed : s.cap * 2;
  move_to_front(s);
  auto* block = static_cast<uint8_t*>(realloc(s.data, cap));
  if (block == nullptr) return false;
  s.data = block;
  s.cap = cap;
  return true;
}

bool stream_append(stream& s, const void* bytes, uint32_t n) {
  if (n == 0) return true;
  if (bytes == nullptr || s.len + n < s.len) return false;
  if (!stream_reserve(s, s.len + n)) return false;
  memcpy(s.data + s.len, bytes, n);
  s.len += n;
  return true;
}

void stream_consume(stream& s, uint32_t n) {
  if (n == 0) return;
  if (n >= s.len) {
    stream_free(s);
    return;
  }
  s.data += n;
  if (!stream_lent(s)) s.head += n;
  s.len -= n;
}

void stream_free(stream& s) {
  if (!stream_lent(s)) free(block_of(s));
  s.data = nullptr;
  s.len = 0;
  s.cap = 0;
  s.head = 0;
}

bool stream_assign(stream& s, const void* bytes, uint32_t n) {
  if (n > s.cap) {
    // Copy first: `bytes` may point into the current block.
    auto* block = static_cast<uint8_t*>(malloc(n));
    if (block == nullptr) return false;
    memcpy(block, bytes, n);
    stream_free(s);
    s.data = block;
    s.cap = n;
    s.head = 0;
  } else if (n > 0) {
    uint8_t* block = block_of(s);
    memmove(block, bytes, n);
    s.data = block;
    s.head = 0;
  } else {
    stream_free(s);
  }
  s.len = n;
  return true;
}
