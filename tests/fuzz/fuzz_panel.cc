// Fuzzes the panel's request head parsing and routing on a slot that owns no
// socket, and the parameter lookup and URL decoding on raw query and body
// spans. The panel path is the one-letter "k" so short inputs reach it.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/slot.h"
#include "panel/commands.h"
#include "panel/server.h"
#include "tests/fuzz/fuzz_support.h"
#include "util/registry.h"

namespace {

constexpr int IDX = 3;

void setup() {
  fuzz_forbid_sockets();
  std::string home = fuzz_scratch_home("panel");
  if (!reg_set("root", REG_SZ, "k", 2)) abort();
  fuzz_scratch_db(home);
  for (conn_slot& s : conn_table) s.sock = -1;
}

void serve(const uint8_t* data, size_t size, bool with_host) {
  conn_slot& s = conn_table[IDX];
  s = conn_slot{};
  s.sock = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (s.sock < 0) abort();
  s.kind = slot_kind::web;
  if (size > 0 && !stream_append(s.in, data, static_cast<uint32_t>(size))) abort();
  panel_request_from(IDX, with_host ? "localhost" : nullptr);
  if (conn_table[IDX].sock != -1) close(conn_table[IDX].sock);
  stream_free(conn_table[IDX].in);
  stream_free(conn_table[IDX].out);
  conn_table[IDX] = conn_slot{};
  conn_table[IDX].sock = -1;
}

void params(const char* data, size_t size) {
  // Query and body are split at the first NUL, the way a request carries them.
  const char* cut = static_cast<const char*>(memchr(data, 0, size));
  size_t qlen = cut != nullptr ? static_cast<size_t>(cut - data) : size;
  param_spans spans{};
  spans.span[0] = {data, qlen};
  if (cut != nullptr) spans.span[1] = {cut + 1, size - qlen - 1};
  static const char* const names[] = {"type", "ip", "port", "order", "a", "", "value"};
  for (const char* name : names) {
    const char* raw = nullptr;
    size_t len = 0;
    if (param_find(spans, name, &raw, &len)) {
      bool inside = (raw >= data && raw + len <= data + size);
      if (!inside) abort();
    }
    for (size_t cap : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{64}}) {
      char* buf = static_cast<char*>(malloc(cap));
      if (param_text(name, cap, spans, buf) && strnlen(buf, cap) >= cap) abort();
      free(buf);
    }
    param_number(name, spans);
  }
}

void decode(const char* data, size_t size) {
  char* src = static_cast<char*>(malloc(size + 1));
  memcpy(src, data, size);
  src[size] = 0;
  for (size_t cap : {size_t{1}, size_t{2}, size_t{5}, size + 1}) {
    char* dest = static_cast<char*>(malloc(cap));
    size_t n = url_decode(src, dest, cap);
    if (n >= cap || dest[n] != 0) abort();
    blank_normalize(dest);
    free(dest);
  }
  free(src);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = false;
  if (!ready) {
    setup();
    ready = true;
  }
  if (size == 0) return 0;
  uint8_t mode = data[0];
  const uint8_t* rest = data + 1;
  size_t n = size - 1;
  // An exact-size heap copy lets ASan see any read past the end.
  char* copy = static_cast<char*>(malloc(n ? n : 1));
  memcpy(copy, rest, n);
  switch (mode & 3) {
    case 0:
    case 1:
      serve(rest, n, mode & 1);
      break;
    case 2:
      params(copy, n);
      break;
    default:
      decode(copy, n);
      break;
  }
  free(copy);
  return 0;
}
