// Fuzzes the proxy replies read during chain negotiation. The first bytes
// pick the chain (number of hops and each hop's protocol, whether the
// destination travels as a name or an IPv6 address) and the sizes of the
// pieces in which the replies arrive; the rest are the replies. The first
// two proxies have a stored user and password, so the sign-in exchanges
// (SOCKS5 method 02, RFC 1929 status, 407) are read too. Requests and
// aborts are captured instead of reaching a socket.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chain/negotiate.h"
#include "chain/route.h"
#include "db/db.h"
#include "engine/slot.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

size_t sent_bytes = 0;
int aborts = 0;

void capture_send(int index, const void* data, int len) {
  if (index != 7 || data == nullptr || len < 1 || len > 2048) abort();
  sent_bytes += static_cast<size_t>(len);
}
void capture_abort(int index) {
  if (index != 7) abort();
  ++aborts;
}

// Destination texts for a destination entry without an address.
constexpr const char* kTexts[4] = {"site.example", "2001:db8::7", "::ffff:1.2.3.4", ""};

constexpr uint16_t kTypes[8] = {PT_SOCKS4,           PT_SOCKS5,    PT_HTTPS, PT_HTTP,
                                PT_SOCKS5 | PT_HTTP, PT_ANONYMOUS, HOP_END,  PT_HTTPS | PT_HTTP};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = false;
  if (!ready) {
    fuzz_forbid_sockets();
    chain_io = chain_io_ops{capture_send, capture_abort};
    fuzz_scratch_db(fuzz_scratch_home("negotiate"));
    db_exec("INSERT INTO proxy(ip,port,auth_user,auth_pass) VALUES(%u,1080,'user','pass')",
            0x0500007Fu);
    db_exec("INSERT INTO proxy(ip,port,auth_user,auth_pass) VALUES(%u,1081,%Q,'')", 0x0600007Fu,
            "a-user-name-long-enough-to-fill-a-request-with-its-bytes");
    ready = true;
  }
  if (size < 4) return 0;
  // Byte 0: hop count (1-8) and whether the list ends with the destination.
  // Bytes 1-2: protocols of the proxies, 3 bits each. Byte 3: split seed.
  hop hops[MAX_HOPS] = {};
  uint8_t count = static_cast<uint8_t>(1 + (data[0] & 7));
  uint32_t kinds = static_cast<uint32_t>(data[1]) | static_cast<uint32_t>(data[2]) << 8;
  for (uint8_t i = 0; i < count; ++i) {
    uint16_t type = kTypes[(kinds >> (3 * (i % 5))) & 7];
    if (type == HOP_END) type = PT_SOCKS5;
    hops[i] =
        hop{type, static_cast<uint16_t>(1080 + i), 0x0500007Fu + (static_cast<uint32_t>(i) << 24)};
  }
  const bool with_destination = !(data[0] & 8);
  if (with_destination) hops[count - 1] = hop{HOP_END, 80, 0x0900007Fu};
  // Bit 4: the destination is a text the last proxy is given.
  if (with_destination && (data[0] & 0x10)) {
    hops[count - 1].addr = 0;
    snprintf(conn_table[7].dest_host, DEST_HOST_SIZE, "%s", kTexts[(data[0] >> 5) & 3]);
  }
  uint32_t seed = static_cast<uint32_t>(data[3]) | 0x100u;
  data += 4;
  size -= 4;

  sent_bytes = 0;
  aborts = 0;
  stream in{};
  chain_state st{};
  chain_step('C' | CHAIN_QUIET, 7, in, hops, count, st);
  size_t fed = 0;
  int rounds = 0;
  while (fed < size && !st.failed && !st.established && rounds++ < 4096) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    size_t piece = (seed & 0x40) ? size - fed : 1 + (seed & 0x0F);
    if (piece > size - fed) piece = size - fed;
    if (!stream_append(in, data + fed, static_cast<uint32_t>(piece))) abort();
    fed += piece;
    uint32_t before = in.len;
    chain_step('R' | CHAIN_QUIET, 7, in, hops, count, st);
    if (in.len > before) abort();
    if (st.hop_index >= count) abort();
    // Hop lists always end in the destination; the odd lists without one
    // only have to be handled without a fault.
    if (with_destination && st.established && hops[st.hop_index].type != HOP_END) abort();
    if (aborts > 0) break;
  }
  stream_free(in);
  return 0;
}
