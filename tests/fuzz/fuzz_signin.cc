// Fuzzes the readers of client sign-ins: the SOCKS5 user/password request
// and the Proxy-Authorization line of an HTTP head (every such line found
// lies inside the head, and the pair it decodes fits its buffer).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "front/signin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy lets ASan see any read past the end.
  uint8_t* bytes = static_cast<uint8_t*>(malloc(size + 1));
  if (size > 0) memcpy(bytes, data, size);
  std::string_view user, pass;
  const long used = signin_socks5_read({bytes, size}, user, pass);
  if (used > static_cast<long>(size)) abort();
  if (used > 0 && (user.size() + pass.size() + 3 != static_cast<size_t>(used))) abort();
  http_signin found;
  if (signin_http_find({bytes, size}, found)) {
    if (found.line_start >= found.line_end || found.line_end > size) abort();
    if (found.basic && found.user_length + 1 + found.pass_length >= sizeof found.pair) abort();
  }
  free(bytes);
  return 0;
}
