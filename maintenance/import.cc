// Proxy list import: one pass over free text, every dotted address with a
// following port becomes a proxy unless the table holds it already.
#include "maintenance/import.h"

#include <cstdlib>

#include "db/db.h"
#include "util/ascii.h"
#include "util/literal.h"
#include "util/text.h"

namespace {

// Reads a dotted address at p: digits and dots only, exactly three dots, a
// digit after the last one, each part kept in 8 bits. On success sets addr
// (first octet in the low byte) and end. On failure sets next to the first
// position after p where a read can succeed (every position in between
// would fail the same way), so a long run of digits is scanned once.
bool read_dotted(const char* p, uint32_t* addr, const char** end, const char** next) {
  const char* run_end = p;
  int dots = 0;
  while (ascii_is_digit(*run_end) || *run_end == '.') {
    if (*run_end == '.') ++dots;
    ++run_end;
  }
  bool ends_in_digit = run_end > p && ascii_is_digit(run_end[-1]);
  if (dots == 3 && ends_in_digit) {
    uint32_t parts[4] = {0, 0, 0, 0};
    int part = 0;
    for (const char* q = p; q < run_end; ++q) {
      if (*q == '.')
        ++part;
      else
        parts[part] = (parts[part] * 10 + static_cast<uint32_t>(*q - '0')) & 0xFF;
    }
    *addr = parts[0] | parts[1] << 8 | parts[2] << 16 | parts[3] << 24;
    *end = run_end;
    return true;
  }
  if (dots > 3 && ends_in_digit) {
    // The first start with exactly three dots left is just after dot (dots - 3).
    int skip = dots - 3;
    const char* q = p;
    while (skip > 0) {
      if (*q == '.') --skip;
      ++q;
    }
    *next = q;
  } else {
    *next = run_end > p ? run_end : p + 1;
  }
  return false;
}

// Pairs are stored in transactions of this many, so a long list costs a
// few commits instead of one per line (and a few log pages per batch).
constexpr int IMPORT_BATCH = 1000;

struct import_batch {
  uint32_t addr[IMPORT_BATCH];
  uint16_t port[IMPORT_BATCH];
  int pending;
  int added;
};

// Stores the pending pairs the proxy table does not hold yet, in one
// transaction; pairs of a batch that could not be committed are not
// counted. The database lock is free again between batches.
void store_batch(import_batch& b) {
  if (b.pending == 0) return;
  int added = 0;
  if (db_begin()) {
    for (int i = 0; i < b.pending; ++i) {
      char* known =
          db_query_text("", "", MV_LIT("SELECT count(*) FROM proxy WHERE ip=%u AND port=%d"),
                        b.addr[i], b.port[i]);
      bool present = known != nullptr && parse_decimal(known) != 0;
      free(known);
      if (!present &&
          db_exec(MV_LIT("INSERT INTO proxy(ip,port) VALUES(%u,%d)"), b.addr[i], b.port[i]) != 0)
        ++added;
    }
    if (db_commit()) b.added += added;
  }
  b.pending = 0;
}

void add_pair(uint32_t addr, uint16_t port, void* user) {
  import_batch& b = *static_cast<import_batch*>(user);
  b.addr[b.pending] = addr;
  b.port[b.pending] = port;
  if (++b.pending == IMPORT_BATCH) store_batch(b);
}

}  // namespace

int import_scan(const char* text, int lower_limit, void (*found)(uint32_t, uint16_t, void*),
                void* user) {
  if (text == nullptr) return 0;
  int count = 0;
  const char* p = text;
  while (*p) {
    uint32_t addr;
    const char* end;
    const char* next;
    if (!read_dotted(p, &addr, &end, &next)) {
      p = next;
      continue;
    }
    // Separators of any kind, markup and leading zeros of the port are passed over.
    const char* q = end;
    while (*q && !(*q >= '1' && *q <= '9')) ++q;
    if (*q == 0) break;
    uint32_t other;
    const char* other_end;
    const char* ignored;
    if (read_dotted(q, &other, &other_end, &ignored)) {
      p = q;  // an address without a port: the next address starts here
      continue;
    }
    const char* digits = q;
    uint32_t port = 0;
    while (ascii_is_digit(*q)) {
      if (port <= 65535) port = port * 10 + static_cast<uint32_t>(*q - '0');
      ++q;
    }
    if (port == 0 || port > 65534 || (lower_limit && port < 80)) {
      p = digits;
      continue;
    }
    ++count;
    if (found != nullptr) found(addr, static_cast<uint16_t>(port), user);
    p = q;
  }
  return count;
}

char* import_proxy_list(const char* text, int lower_limit) {
  import_batch batch;  // about 6 KiB
  batch.pending = 0;
  batch.added = 0;
  int count = import_scan(text, lower_limit, add_pair, &batch);
  store_batch(batch);
  // A large import leaves a long write-ahead log behind: fold it in now.
  if (batch.added >= IMPORT_BATCH) db_checkpoint();
  return text_append_format(nullptr, MV_LIT("{count:%d, added:%d}"), count, batch.added);
}
