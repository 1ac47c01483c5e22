// Growing heap text (see panel/textbuf.h).
#include "panel/textbuf.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool reserve(textbuf& t, size_t extra) {
  if (t.failed) return false;
  size_t need = t.len + extra + 1;
  if (need <= t.cap) return true;
  size_t cap = t.cap < 256 ? 256 : t.cap;
  while (cap < need) cap *= 2;
  char* grown = static_cast<char*>(realloc(t.data, cap));
  if (grown == nullptr) {
    t.failed = true;
    return false;
  }
  t.data = grown;
  t.cap = cap;
  return true;
}

}  // namespace

void textbuf_add(textbuf& t, const char* text) {
  if (text == nullptr) return;
  size_t n = strlen(text);
  if (!reserve(t, n)) return;
  memcpy(t.data + t.len, text, n);
  t.len += n;
  t.data[t.len] = 0;
}

void textbuf_addf(textbuf& t, const char* format, ...) {
  if (format == nullptr || t.failed) return;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) {
    t.failed = true;
  } else if (reserve(t, static_cast<size_t>(n))) {
    vsnprintf(t.data + t.len, static_cast<size_t>(n) + 1, format, args);
    t.len += static_cast<size_t>(n);
  }
  va_end(args);
}

char* textbuf_take(textbuf& t) {
  char* out = nullptr;
  if (!t.failed && reserve(t, 0))
    out = t.data;
  else
    free(t.data);
  t = textbuf{};
  return out;
}

void textbuf_free(textbuf& t) {
  free(t.data);
  t = textbuf{};
}
