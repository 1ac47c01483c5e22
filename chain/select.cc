// Chain selection.
#include "chain/select.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/db.h"
#include "platform/clock.h"
#include "util/literal.h"

namespace {

hop hop_array[MAX_HOPS];

// Parses "ip,port,type" and nothing after it.
bool parse_proxy_row(const char* p, hop& out) {
  uint64_t v[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    if (*p < '0' || *p > '9') return false;
    while (*p >= '0' && *p <= '9') {
      v[i] = v[i] * 10 + static_cast<uint64_t>(*p - '0');
      if (v[i] > 0xFFFFFFFFull) return false;
      ++p;
    }
    if (i < 2) {
      if (*p != ',') return false;
      ++p;
    }
  }
  if (*p != '\0') return false;
  if (v[1] > 0xFFFF || v[2] > 0xFFFF) return false;
  out.addr = static_cast<uint32_t>(v[0]);
  out.port = static_cast<uint16_t>(v[1]);
  out.type = static_cast<uint16_t>(v[2]);
  return true;
}

}  // namespace

int parse_link_row(const char* p, const char* end, int64_t* values) {
  int count = 0;
  while (p < end && count < 8) {
    if (*p == '+') ++p;
    bool negative = false;
    if (p < end && *p == '-') {
      negative = true;
      ++p;
    }
    if (p >= end || *p < '0' || *p > '9') return -1;
    int64_t v = 0;
    while (p < end && *p >= '0' && *p <= '9') {
      if (v < (int64_t{1} << 40)) v = v * 10 + (*p - '0');
      ++p;
    }
    values[count++] = negative ? -v : v;
    if (p >= end) break;
    if (*p != ',') return -1;
    ++p;
    if (p >= end) return -1;  // a trailing comma
  }
  if (p < end) return -1;
  return count;
}

chain_cache_record chain_cache = {nullptr, 0, 0};

void chain_cache_clear() {
  chain_cache.hops = nullptr;
  chain_cache.count = 0;
}

hop* chain_build() {
  memset(hop_array, 0, sizeof hop_array);
  chain_cache.count = 0;
  char* rows = db_query_text(",", "\n", "%s", sql_chain_link_query());
  if (rows == nullptr) return nullptr;
  uint8_t count = 0;
  bool ok = true;
  char* p = rows;
  while (*p != '\0' && count < MAX_CHAIN_LINKS) {
    while (*p == '\r' || *p == '\n') ++p;
    if (*p == '\0') break;
    char* end = p;
    while (*end != '\0' && *end != '\r' && *end != '\n') ++end;
    int64_t v[8];
    const int n = parse_link_row(p, end, v);
    p = end;
    if (n != 4) continue;
    const int64_t selection = v[0];
    const uint32_t flags = static_cast<uint32_t>(v[1]);
    if (selection == 5) {
      hop_array[count].addr = static_cast<uint32_t>(v[2]);
      hop_array[count].port = static_cast<uint16_t>(v[3]);
      hop_array[count].type = static_cast<uint16_t>(flags & 0x78);
      ++count;
      continue;
    }
    const char* term;
    const char* direction;
    switch (selection) {
      case 1:
        term = "id", direction = "";  // see the random pick below
        break;
      case 2:
        term = MV_LIT("timeout"), direction = MV_LIT("ASC");
        break;
      case 3:
        term = MV_LIT("t_ok"), direction = MV_LIT("DESC");
        break;
      case 4:
        term = MV_LIT("rank"), direction = MV_LIT("DESC");
        break;
      default:
        term = nullptr, direction = nullptr;
        break;
    }
    if (term == nullptr) {
      ok = false;
      break;
    }
    // Addresses already chosen: at most 29 numbers of at most 10 digits.
    char exclusion[400] = "";
    if (count > 0) {
      size_t used = static_cast<size_t>(snprintf(exclusion, sizeof exclusion, "AND ip NOT IN("));
      for (uint8_t i = 0; i < count && used < sizeof exclusion; ++i)
        used += static_cast<size_t>(snprintf(exclusion + used, sizeof exclusion - used, "%s%lu",
                                             i == 0 ? "" : ",",
                                             static_cast<unsigned long>(hop_array[i].addr)));
      if (used < sizeof exclusion) snprintf(exclusion + used, sizeof exclusion - used, ")");
    }
    unsigned barred = 0;
    if ((flags & PT_TRANSPARENT) == 0)
      barred = PT_TRANSPARENT | ((flags & PT_ANONYMOUS) ? 0 : PT_ANONYMOUS);
    const unsigned wanted = flags & ~static_cast<unsigned>(PT_TRANSPARENT | PT_ANONYMOUS);
    char* row = nullptr;
    if (selection == 1) {
      // A random pick without sorting the whole table: the first usable
      // proxy at or after a random row number, else the first one before it.
      char from_random[sizeof exclusion + 80];
      snprintf(from_random, sizeof from_random, "%s%s", exclusion,
               MV_LIT(" AND id>=(SELECT abs(random())%(max(id)+1) FROM proxy)"));
      row = db_query_text(",", "", sql_proxy_query(), wanted, barred, from_random, "id", "");
      if (row == nullptr)
        row = db_query_text(",", "", sql_proxy_query(), wanted, barred, exclusion, "id", "");
    } else {
      row = db_query_text(",", "", sql_proxy_query(), wanted, barred, exclusion, term, direction);
    }
    if (row == nullptr) {
      ok = false;
      break;
    }
    if (parse_proxy_row(row, hop_array[count])) ++count;
    free(row);
  }
  free(rows);
  if (!ok) {
    memset(hop_array, 0, sizeof hop_array);
    return nullptr;
  }
  chain_cache.count = count;
  return hop_array;
}

uint32_t resolve_host(const char* host) {
  if (host == nullptr || host[0] == '\0') return 0;
  // Names under the reserved ".invalid" domain never resolve: answer that
  // here instead of asking the name server (the default checker address
  // is such a name).
  size_t len = strlen(host);
  if (len >= 8 && strcasecmp(host + len - 8, ".invalid") == 0) return 0;
  uint32_t addr = 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &list) == 0 && list != nullptr) {
    for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
      if (a->ai_family == AF_INET) {
        addr = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
        break;
      }
    }
    freeaddrinfo(list);
  } else {
    in_addr parsed{};
    if (inet_aton(host, &parsed) != 0) addr = parsed.s_addr;
  }
  if (addr == 0xFFFFFFFFu) addr = 0;
  return addr;
}

int chain_hops(route_record& r, const char* host, uint16_t port) {
  if (port == 0 || host == nullptr) {
    chain_cache_clear();
    return 0;
  }
  // A destination without an address gets no chain: asking the last proxy
  // for 0.0.0.0 would make many proxies connect to themselves.
  const uint32_t dest = resolve_host(host);
  if (dest == 0) return 0;
  const uint32_t now = tick_now();
  if (chain_cache.hops == nullptr || chain_cache.count == 0 ||
      now - chain_cache.built > CHAIN_CACHE_MS) {
    chain_cache.hops = chain_build();
    chain_cache.built = now;
  }
  if (chain_cache.hops == nullptr || chain_cache.count == 0) return 0;
  const uint8_t count = chain_cache.count;
  memcpy(r.hops, chain_cache.hops, count * sizeof(hop));
  r.hops[count].type = HOP_END;
  r.hops[count].port = port;
  r.hops[count].addr = dest;
  r.hop_count = static_cast<uint8_t>(count + 1);
  return 1;
}
