// The header-echo reply readers on arbitrary bytes: every item they hand
// over is a bounded, terminated text, and they never read past the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "maintenance/echo.h"

namespace {
void check_item(const char* tag, const char* value, void* ctx) {
  if (tag == nullptr || value == nullptr) abort();
  // A header keeps its "HTTP_" prefix in front of a name of up to the tag size.
  if (strnlen(tag, ECHO_TAG_SIZE + 5) >= ECHO_TAG_SIZE + 5) abort();
  if (strnlen(value, ECHO_VALUE_SIZE) >= ECHO_VALUE_SIZE) abort();
  ++*static_cast<int*>(ctx);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy lets ASan see any read past the end.
  auto* bytes = static_cast<uint8_t*>(malloc(size + 1));
  if (size > 0) memcpy(bytes, data, size);
  const uint8_t* body = echo_body(bytes, size);
  if (body < bytes || body > bytes + size) abort();
  const size_t rest = size - static_cast<size_t>(body - bytes);
  int lines = 0, json = 0;
  if (echo_read_lines(body, rest, check_item, &lines) != lines) abort();
  // A body that turns out malformed half-way counts only what came before
  // the fault: never more than was handed over.
  const int found = echo_read_json(body, rest, check_item, &json);
  if (found < 0 || found > json) abort();
  free(bytes);
  return 0;
}
