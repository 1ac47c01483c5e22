// Fuzzes client request recognition through all its states: the input is
// cut into pieces of pseudo-random sizes (seeded by its first bytes) and fed
// one piece per input event, the way reads arrive from a slow client. Name
// lookups go to a small table, the panel and chain hand-overs are recorded.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "engine/slot.h"
#include "front/recognize.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/front_hooks.h"

namespace {

constexpr int IDX = 7;

// The table resolver; a host text must always be terminated within its
// field, and a name of the table answers with a second address too.
int table_resolve(const char* host, uint32_t* addrs, int max) {
  if (host != nullptr && strnlen(host, DEST_HOST_SIZE) >= DEST_HOST_SIZE) abort();
  const int n = front_table_resolve(host, addrs, max);
  if (n == 1 && max > 1 && strchr(host, ':') == nullptr && inet_addr(host) == INADDR_NONE) {
    addrs[1] = htonl(0x7F000002);
    return 2;
  }
  return n;
}

int handed_over = 0;
int panel_answer = 0;
int fake_panel(int index) {
  if (index != IDX) abort();
  ++handed_over;
  return panel_answer;
}
void fake_chain(int index, size_t offset) {
  if (index != IDX) abort();
  if (offset > conn_table[IDX].in.len) abort();
  if (conn_table[IDX].dest_host[DEST_HOST_SIZE - 1] != 0) abort();
  ++handed_over;
}

void setup() {
  fuzz_forbid_sockets();
  fuzz_scratch_home("recognize");
  if (!reg_set("root", REG_SZ, "k", 2)) abort();
  for (conn_slot& s : conn_table) s.sock = -1;
  recognize_set_resolver(table_resolve);
  recognize_set_calls(fake_panel, fake_chain);
  listen_port = 8080;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = false;
  if (!ready) {
    setup();
    ready = true;
  }
  if (size < 2) return 0;
  uint32_t seed = static_cast<uint32_t>(data[0]) << 8 | data[1] | 1u;
  panel_answer = data[0] & 1;
  data += 2;
  size -= 2;

  conn_slot& s = conn_table[IDX];
  s = conn_slot{};
  s.sock = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (s.sock < 0) abort();
  s.kind = slot_kind::fresh;
  handed_over = 0;

  size_t fed = 0;
  while (fed < size) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    size_t piece = (seed & 0x80) ? size - fed : 1 + (seed & 0x1F);
    if (piece > size - fed) piece = size - fed;
    if (!stream_append(conn_table[IDX].in, data + fed, static_cast<uint32_t>(piece))) abort();
    fed += piece;
    client_recognize(IDX);
    const conn_slot& now = conn_table[IDX];
    if (now.in.len > fed) abort();
    if (now.dest_host[DEST_HOST_SIZE - 1] != 0) abort();
    if (handed_over > 1) abort();
    if ((now.flags & SLOT_CLOSE_REQUESTED) || static_cast<uint16_t>(now.kind) > 5) break;
  }
  // A slot that was refused or handed over is not read by recognition again.
  client_recognize(IDX);

  if (conn_table[IDX].sock != -1) close(conn_table[IDX].sock);
  stream_free(conn_table[IDX].in);
  stream_free(conn_table[IDX].out);
  conn_table[IDX] = conn_slot{};
  conn_table[IDX].sock = -1;
  return 0;
}
