// Fuzzes the rewriting of a client's first HTTP request, the check of a
// destination's first reply and the "Connection: close" mark on that reply.
// The rewrite must leave everything behind the head untouched, keep the head
// complete, and give the same result when it runs again on its own output;
// the mark must hold back only bytes it has, change nothing while it waits,
// and change nothing more when it runs again on its own output.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "chain/rewrite.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// Offset of the head's empty line, or -1 (the same three forms the
// rewriter accepts).
long empty_line(const uint8_t* d, size_t n) {
  for (size_t i = 0; i + 1 < n; ++i) {
    if (d[i] == '\n' && d[i + 1] == '\n') return static_cast<long>(i);
    if (i + 3 < n && d[i] == '\r' && d[i + 1] == '\n' && d[i + 2] == '\r' && d[i + 3] == '\n')
      return static_cast<long>(i);
    if (i + 3 < n && d[i] == '\n' && d[i + 1] == '\r' && d[i + 2] == '\n' && d[i + 3] == '\r')
      return static_cast<long>(i);
  }
  return -1;
}

// The absolute target on the same bytes: nothing changes while it waits,
// and the head's end and the body behind it stay as they were.
void check_absolute_target(const uint8_t* data, size_t size) {
  stream s{};
  if (size > 0 && !stream_append(s, data, static_cast<uint32_t>(size))) abort();
  const long old_end = empty_line(data, size);
  const int done = absolute_target(s, "h.test:80");
  if (done == REWRITE_WAIT && (s.len != size || (size > 0 && memcmp(s.data, data, size) != 0)))
    abort();
  if (old_end >= 0) {
    const size_t tail = size - static_cast<size_t>(old_end);
    if (s.len < tail || memcmp(s.data + s.len - tail, data + old_end, tail) != 0) abort();
  }
  stream_free(s);
}

// The reply mark on the same bytes.
void check_reply_mark(const uint8_t* data, size_t size) {
  stream s{};
  if (size > 0 && !stream_append(s, data, static_cast<uint32_t>(size))) abort();
  s.total = 777;
  const reply_mark m = mark_reply_close(s);
  if (s.total != 777 || m.held > s.len) abort();
  if (m.done == REWRITE_WAIT && (s.len != size || (size > 0 && memcmp(s.data, data, size) != 0)))
    abort();
  if (m.done == REWRITE_DONE && s.len > 0) {
    stream again{};
    if (!stream_append(again, s.data, s.len)) abort();
    mark_reply_close(again);
    if (again.len != s.len || memcmp(again.data, s.data, s.len) != 0) abort();
    stream_free(again);
  }
  stream_free(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = false;
  if (!ready) {
    fuzz_forbid_sockets();
    ready = true;
  }
  if (size == 0) return 0;
  const bool keep_target = data[0] & 1;
  data += 1;
  size -= 1;

  // An exact-size heap copy lets ASan see any read past the end.
  uint8_t* reply = static_cast<uint8_t*>(malloc(size ? size : 1));
  memcpy(reply, data, size);
  int error = response_is_error(reply, size);
  if (error != 0 && error != 1) abort();
  free(reply);
  check_reply_mark(data, size);
  check_absolute_target(data, size);

  stream s{};
  if (size > 0 && !stream_append(s, data, static_cast<uint32_t>(size))) abort();
  s.total = 12345;
  const long old_end = empty_line(data, size);
  int done = rewrite_request(s, keep_target);
  if (s.total != 12345) abort();
  if (!done) {
    // Not complete yet: nothing may have changed.
    if (s.len != size || (size > 0 && memcmp(s.data, data, size) != 0)) abort();
  } else if (old_end >= 0 && s.len != size) {
    // Edited: the empty line and the body behind it are carried over as they were.
    size_t tail = size - static_cast<size_t>(old_end);
    if (s.len < tail || memcmp(s.data + s.len - tail, data + old_end, tail) != 0) abort();
    if (empty_line(s.data, s.len) != static_cast<long>(s.len - tail)) abort();
    // Rewriting the rewritten request changes nothing more.
    stream again{};
    if (!stream_append(again, s.data, s.len)) abort();
    rewrite_request(again, keep_target);
    if (again.len != s.len || memcmp(again.data, s.data, s.len) != 0) abort();
    stream_free(again);
  }
  stream_free(s);
  return 0;
}
