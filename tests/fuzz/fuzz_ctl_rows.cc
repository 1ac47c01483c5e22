// Fuzzes the reading of the panel's proxy list reply by `merovane ctl`.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "startup/ctl_rows.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy lets ASan see any read past the end.
  char* bytes = static_cast<char*>(malloc(size + 1));
  if (size > 0) memcpy(bytes, data, size);
  size_t rows = 0;
  ctl_proxy_rows(std::string_view(bytes, size), [&](const ctl_proxy_row&) { ++rows; });
  free(bytes);
  // Every row takes at least its eleven bytes.
  if (rows * 11 > size) abort();
  return 0;
}
