// A growing heap text for the panel's larger replies (pages, lists): appends
// without a length limit and in amortised linear time. Any failed growth
// marks the text failed; textbuf_take then gives null.
#pragma once

#include <cstddef>

struct textbuf {
  char* data;
  size_t len;
  size_t cap;
  bool failed;
};

void textbuf_add(textbuf& t, const char* text);
void textbuf_addf(textbuf& t, const char* format, ...) __attribute__((format(printf, 2, 3)));
// The malloc'd text (the caller frees), or null after a failure; resets t.
char* textbuf_take(textbuf& t);
void textbuf_free(textbuf& t);
