#include "util/text.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/ascii.h"

namespace {

// Pointers below 1024 stand for a missing argument.
bool missing(const void* p) {
  return reinterpret_cast<uintptr_t>(p) < 1024;
}

// Case-insensitive comparison of n bytes; the haystack may end early.
bool equal_folded(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (ascii_upper(static_cast<unsigned char>(a[i])) !=
        ascii_upper(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

const char* text_find(const char* haystack, const char* needle) {
  if (missing(haystack) || missing(needle)) return nullptr;
  size_t hl = strlen(haystack);
  size_t nl = strlen(needle);
  if (nl > hl) return nullptr;
  for (size_t i = 0; i + nl <= hl && haystack[i] != 0; ++i) {
    if (equal_folded(haystack + i, needle, nl)) return haystack + i;
  }
  return nullptr;
}

void text_replace_all(char* buffer, size_t capacity, const char* pattern, const char* replacement) {
  if (missing(buffer) || missing(pattern) || capacity < 2) return;
  if (missing(replacement)) replacement = "";
  size_t pl = strlen(pattern);
  if (pl == 0) return;  // an empty pattern would match everywhere
  size_t len = strnlen(buffer, capacity);
  char* copy = static_cast<char*>(malloc(len + 1));
  if (copy == nullptr) return;
  memcpy(copy, buffer, len);
  copy[len] = 0;
  size_t limit = capacity - 2;  // characters written at most
  size_t r = 0, w = 0;
  while (r < len && r < capacity && w < limit) {
    if (r + pl <= len && equal_folded(copy + r, pattern, pl)) {
      for (const char* s = replacement; *s != 0 && w < limit; ++s) buffer[w++] = *s;
      r += pl;
    } else {
      buffer[w++] = copy[r++];
    }
  }
  buffer[w] = 0;
  free(copy);
}

char* text_append(char* heap_text, const char* source, int count) {
  if (missing(source) || count < 1) return heap_text;
  size_t old_len = missing(heap_text) ? 0 : strlen(heap_text);
  size_t add = strnlen(source, static_cast<size_t>(count));
  char* block = static_cast<char*>(malloc(old_len + static_cast<size_t>(count) + 16));
  if (block == nullptr) {
    // The caller's pointer is replaced by null: release what it held.
    if (!missing(heap_text)) free(heap_text);
    return nullptr;
  }
  if (old_len > 0) memcpy(block, heap_text, old_len);
  memcpy(block + old_len, source, add);
  block[old_len + add] = 0;
  if (!missing(heap_text)) free(heap_text);
  return block;
}

char* text_append_all(char* heap_text, const char* source) {
  if (missing(source)) return heap_text;
  size_t n = strlen(source);
  if (n == 0) return heap_text;
  if (n > 0x7FFFFFF0u) n = 0x7FFFFFF0u;
  return text_append(heap_text, source, static_cast<int>(n));
}

char* text_append_format(char* heap_text, const char* format, ...) {
  if (missing(format)) return heap_text;
  char buffer[2048];
  va_list args;
  va_start(args, format);
  // The formatter yields at most 1024 characters.
  int n = vsnprintf(buffer, 1025, format, args);
  va_end(args);
  if (n < 0) return heap_text;
  return text_append_all(heap_text, buffer);
}

void text_squeeze(char* buffer, size_t capacity) {
  if (missing(buffer) || capacity < 64) return;
  size_t len = strnlen(buffer, capacity);
  if (len == capacity) return;  // not a terminated text
  size_t w = 0;
  bool pending_space = false;
  for (size_t r = 0; r < len; ++r) {
    char c = buffer[r];
    if (ascii_is_blank(c)) {
      if (w > 0) pending_space = true;
      continue;
    }
    if (pending_space) {
      buffer[w++] = ' ';
      pending_space = false;
    }
    buffer[w++] = c;
  }
  buffer[w] = 0;
}

void text_to_list(char* buffer) {
  if (missing(buffer)) return;
  size_t len = strlen(buffer);
  size_t w = 0;
  bool in_item = false;
  for (size_t r = 0; r < len; ++r) {
    char c = buffer[r];
    if (c == '\r' || c == '\n') {
      if (in_item) {
        buffer[w++] = 0;
        in_item = false;
      }
      continue;
    }
    buffer[w++] = c;
    in_item = true;
  }
  if (in_item) buffer[w++] = 0;
  buffer[w] = 0;
  // A list of no items is two zero bytes.
  if (w == 0) buffer[1] = 0;
}

int file_append(const char* path, uint32_t count, const void* bytes) {
  if (missing(path)) return 0;
  if (count > 0 && missing(bytes)) return 0;
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return 0;
  const char* p = static_cast<const char*>(bytes);
  uint32_t done = 0;
  while (done < count) {
    ssize_t n = write(fd, p + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  close(fd);
  return done == count ? 1 : 0;
}

uint32_t parse_decimal(const char* text) {
  if (missing(text)) return 0;
  uint32_t value = 0;
  for (const char* p = text; ascii_is_digit(static_cast<unsigned char>(*p)); ++p)
    value = value * 10u + static_cast<uint32_t>(*p - '0');
  return value;
}

void text_escape_html(char* out, size_t capacity, const char* text) {
  if (out == nullptr || capacity == 0) return;
  size_t w = 0;
  for (const char* p = text != nullptr ? text : ""; *p != 0; ++p) {
    const char* rep = nullptr;
    switch (*p) {
      case '&':
        rep = "&amp;";
        break;
      case '<':
        rep = "&lt;";
        break;
      case '>':
        rep = "&gt;";
        break;
      case '"':
        rep = "&quot;";
        break;
      case '\'':
        rep = "&#39;";
        break;
      case '@':
        rep = "&#64;";
        break;
      default:
        break;
    }
    size_t n = rep != nullptr ? strlen(rep) : 1;
    if (w + n + 1 > capacity) break;
    if (rep != nullptr) {
      memcpy(out + w, rep, n);
    } else {
      out[w] = *p;
    }
    w += n;
  }
  out[w] = 0;
}
