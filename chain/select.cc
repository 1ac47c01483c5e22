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
#include "platform/resolve.h"
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

chain_cache_record chain_cache = {nullptr, 0, 0, 0, 0, 0};

namespace {
// "remote_dns", read again once the chain cache is dropped or has aged.
int remote_names_value = -1;
uint32_t remote_names_read = 0;
}  // namespace

void chain_cache_clear() {
  chain_cache.hops = nullptr;
  chain_cache.count = 0;
  chain_cache.fixed_mask = 0;
  remote_names_value = -1;
}

bool chain_remote_names() {
  const uint32_t now = tick_now();
  if (remote_names_value < 0 || now - remote_names_read > CHAIN_CACHE_MS) {
    remote_names_value = setting_int("remote_dns", 1, 0) != 0 ? 1 : 0;
    remote_names_read = now;
  }
  return remote_names_value == 1;
}

namespace {

constexpr size_t EXCLUSION_SIZE = 1400;
constexpr int ID_CACHE_KINDS = 4;              // link kinds whose id arrays are kept
constexpr uint32_t ID_CACHE_MS = 60000;        // an id array is read again after this
constexpr uint32_t ID_CACHE_LIMIT = 1u << 20;  // ids read at most
constexpr int RANDOM_DRAWS = 8;                // draws before the row-number pick

// Sort term and direction of a selection (1 random, 2 fastest, 3 last
// success, 4 rank); false for an unknown selection.
bool link_order(int64_t selection, const char*& term, const char*& direction) {
  switch (selection) {
    case 1:
      term = "id", direction = "";  // see pick_random
      return true;
    case 2:
      term = MV_LIT("timeout"), direction = MV_LIT("ASC");
      return true;
    case 3:
      term = MV_LIT("t_ok"), direction = MV_LIT("DESC");
      return true;
    case 4:
      term = MV_LIT("rank"), direction = MV_LIT("DESC");
      return true;
    default:
      return false;
  }
}

// The SQL condition that keeps out the addresses already in the chain and
// the proxies this client's earlier attempts found failing.
void build_exclusion(char (&out)[EXCLUSION_SIZE], uint8_t chosen, const proxy_ref* excluded,
                     int excluded_count) {
  size_t used = 0;
  out[0] = '\0';
  auto advance = [&](int n) {
    if (n > 0) used += static_cast<size_t>(n);
  };
  for (uint8_t i = 0; i < chosen && used < sizeof out; ++i)
    advance(snprintf(out + used, sizeof out - used, "%s%lu", i == 0 ? "AND ip NOT IN(" : ",",
                     static_cast<unsigned long>(hop_array[i].addr)));
  if (chosen > 0 && used < sizeof out) advance(snprintf(out + used, sizeof out - used, ")"));
  for (int i = 0; i < excluded_count && excluded != nullptr && used < sizeof out; ++i)
    advance(snprintf(out + used, sizeof out - used, " AND NOT(ip=%lu AND port=%u)",
                     static_cast<unsigned long>(excluded[i].ip),
                     static_cast<unsigned>(excluded[i].port)));
  if (used >= sizeof out) out[0] = '\0';  // cut short: better no exclusion than broken SQL
}

// Usable proxy ids of one link kind, kept for a short while: a random
// pick is a uniform draw from this array, whatever gaps dead or deleted
// rows leave between the ids.
struct usable_ids {
  unsigned wanted;
  unsigned barred;
  uint32_t built;  // tick of the query
  uint32_t count;
  uint32_t* ids;  // malloc'd, count entries
};
usable_ids id_cache[ID_CACHE_KINDS];
uint32_t pick_state = 0;

uint32_t next_pick(uint32_t bound) {
  if (pick_state == 0) pick_state = tick_now() | 1u;
  // xorshift32: enough for spreading picks, cheap, no shared library state.
  pick_state ^= pick_state << 13;
  pick_state ^= pick_state >> 17;
  pick_state ^= pick_state << 5;
  return bound == 0 ? 0 : pick_state % bound;
}

// Reads the ids of the proxies a link of this kind may use.
void load_ids(usable_ids& u, unsigned wanted, unsigned barred) {
  free(u.ids);
  u = usable_ids{wanted, barred, tick_now(), 0, nullptr};
  char* text = db_query_text(",", ",",
                             MV_LIT("SELECT id FROM proxy WHERE blocked=0 AND (type&1)=0 "
                                    "AND (type&120)<>0 AND (type&%u)<>0 AND (type&%u)=0 "
                                    "LIMIT %u"),
                             wanted, barred, ID_CACHE_LIMIT);
  if (text == nullptr) return;
  uint32_t n = 1;
  for (const char* p = text; *p != 0; ++p) n += *p == ',';
  u.ids = static_cast<uint32_t*>(malloc(sizeof(uint32_t) * n));
  if (u.ids != nullptr) {
    for (char* p = text; *p != 0 && u.count < n;) {
      char* end = nullptr;
      const unsigned long id = strtoul(p, &end, 10);
      if (end == p) break;
      u.ids[u.count++] = static_cast<uint32_t>(id);
      p = *end == ',' ? end + 1 : end;
    }
  }
  free(text);
}

// The id array of a link kind, fresh within ID_CACHE_MS.
const usable_ids& ids_for(unsigned wanted, unsigned barred) {
  const uint32_t now = tick_now();
  usable_ids* oldest = &id_cache[0];
  for (usable_ids& u : id_cache) {
    if (u.ids != nullptr && u.wanted == wanted && u.barred == barred) {
      if (now - u.built > ID_CACHE_MS) load_ids(u, wanted, barred);
      return u;
    }
    if (u.ids == nullptr || u.built - oldest->built > 0x80000000u) oldest = &u;
  }
  load_ids(*oldest, wanted, barred);
  return *oldest;
}

// A uniform random pick among the usable proxies: a few draws from the id
// array, each checked against the table as it is now (and the exclusion);
// after that the first usable proxy at or after a random row number.
char* pick_random(unsigned wanted, unsigned barred, const char* exclusion) {
  const usable_ids& u = ids_for(wanted, barred);
  for (int draw = 0; draw < RANDOM_DRAWS && u.count > 0; ++draw) {
    char with_id[EXCLUSION_SIZE + 40];
    snprintf(with_id, sizeof with_id, "%s AND id=%u", exclusion, u.ids[next_pick(u.count)]);
    char* row = db_query_text(",", "", sql_proxy_query(), wanted, barred, with_id, "id", "");
    if (row != nullptr) return row;
  }
  char from_random[EXCLUSION_SIZE + 80];
  snprintf(from_random, sizeof from_random, "%s%s", exclusion,
           MV_LIT(" AND id>=(SELECT abs(random())%(max(id)+1) FROM proxy)"));
  char* row = db_query_text(",", "", sql_proxy_query(), wanted, barred, from_random, "id", "");
  if (row == nullptr)
    row = db_query_text(",", "", sql_proxy_query(), wanted, barred, exclusion, "id", "");
  return row;
}

// One proxy for a link with the given flags; false when none matches.
bool pick_proxy(int64_t selection, uint32_t flags, const char* exclusion, hop& out) {
  const char* term;
  const char* direction;
  if (!link_order(selection, term, direction)) return false;
  unsigned barred = 0;
  if ((flags & PT_TRANSPARENT) == 0)
    barred = PT_TRANSPARENT | PT_UNGRADED | ((flags & PT_ANONYMOUS) ? 0 : PT_ANONYMOUS);
  const unsigned wanted = flags & ~static_cast<unsigned>(PT_TRANSPARENT | PT_ANONYMOUS);
  char* row = selection == 1 ? pick_random(wanted, barred, exclusion)
                             : db_query_text(",", "", sql_proxy_query(), wanted, barred, exclusion,
                                             term, direction);
  if (row == nullptr) return false;
  const bool parsed = parse_proxy_row(row, out);
  free(row);
  return parsed;
}

}  // namespace

hop* chain_build(const proxy_ref* excluded, int excluded_count) {
  memset(hop_array, 0, sizeof hop_array);
  chain_cache.count = 0;
  chain_cache.fixed_mask = 0;
  chain_cache.last_selection = 0;
  chain_cache.last_flags = 0;
  char* rows = db_query_text(",", "\n", "%s", sql_chain_link_query());
  if (rows == nullptr) return nullptr;
  uint8_t count = 0;
  uint32_t fixed_mask = 0;
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
    chain_cache.last_selection = static_cast<uint8_t>(selection);
    chain_cache.last_flags = flags;
    if (selection == 5) {
      hop_array[count].addr = static_cast<uint32_t>(v[2]);
      hop_array[count].port = static_cast<uint16_t>(v[3]);
      hop_array[count].type = static_cast<uint16_t>(flags & 0x78);
      fixed_mask |= 1u << count;
      ++count;
      continue;
    }
    char exclusion[EXCLUSION_SIZE];
    build_exclusion(exclusion, count, excluded, excluded_count);
    if (!pick_proxy(selection, flags, exclusion, hop_array[count])) {
      ok = false;
      break;
    }
    ++count;
  }
  free(rows);
  if (!ok) {
    memset(hop_array, 0, sizeof hop_array);
    return nullptr;
  }
  chain_cache.count = count;
  chain_cache.fixed_mask = fixed_mask;
  return hop_array;
}

bool is_invalid_name(const char* host) {
  const size_t len = strlen(host);
  return len >= 8 && strcasecmp(host + len - 8, ".invalid") == 0;
}

bool destination_address(const char* host, uint32_t* addr) {
  *addr = 0;
  if (host == nullptr || host[0] == '\0') return false;
  uint32_t v4 = 0;
  if (ipv4_literal(host, &v4)) {
    *addr = v4 == 0xFFFFFFFFu ? 0 : v4;
    return *addr != 0;
  }
  uint8_t v6[16];
  if (ipv6_literal(host, v6)) return true;
  // A name is either left to the last proxy or looked up off the engine
  // thread before the chain is built (the caller then passes the address):
  // never looked up here.
  return !is_invalid_name(host) && chain_remote_names();
}

bool speaks_only_plain_http(uint16_t type) {
  return (type & PT_HTTP) != 0 && (type & (PT_SOCKS4 | PT_SOCKS5 | PT_HTTPS)) == 0;
}

namespace {

// The cached chain's last proxy can carry a tunnel: it already does, or its
// link picks and also accepts a tunnelling protocol, among whose proxies it
// is picked again (the cache keeps the new one).
bool last_hop_tunnels(const proxy_ref* excluded, int excluded_count) {
  const uint8_t last = static_cast<uint8_t>(chain_cache.count - 1);
  if (!speaks_only_plain_http(chain_cache.hops[last].type)) return true;
  constexpr uint32_t tunnelling = PT_SOCKS4 | PT_SOCKS5 | PT_HTTPS;
  const uint32_t flags = chain_cache.last_flags;
  if (chain_cache.last_selection < 1 || chain_cache.last_selection > 4 || !(flags & tunnelling))
    return false;
  char exclusion[EXCLUSION_SIZE];
  build_exclusion(exclusion, last, excluded, excluded_count);
  hop picked{};
  if (!pick_proxy(chain_cache.last_selection, flags & ~static_cast<uint32_t>(PT_HTTP), exclusion,
                  picked))
    return false;
  chain_cache.hops[last] = picked;
  return true;
}

}  // namespace

int chain_hops(route_record& r, const char* host, uint16_t port, const proxy_ref* excluded,
               int excluded_count, bool tunnel) {
  if (port == 0 || host == nullptr) {
    chain_cache_clear();
    return 0;
  }
  // A destination without an address gets no chain: asking the last proxy
  // for 0.0.0.0 would make many proxies connect to themselves. A name left
  // to the last proxy, and an IPv6 address, travel as the host text.
  uint32_t dest = 0;
  if (!destination_address(host, &dest)) return 0;
  const uint32_t now = tick_now();
  if (chain_cache.hops == nullptr || chain_cache.count == 0 || excluded_count > 0 ||
      now - chain_cache.built > CHAIN_CACHE_MS) {
    chain_cache.hops = chain_build(excluded, excluded_count);
    chain_cache.built = now;
  }
  if (chain_cache.hops == nullptr || chain_cache.count == 0) return 0;
  if (tunnel && !last_hop_tunnels(excluded, excluded_count)) return CHAIN_HOPS_HTTP_LAST;
  const uint8_t count = chain_cache.count;
  memcpy(r.hops, chain_cache.hops, count * sizeof(hop));
  r.hops[count].type = HOP_END;
  r.hops[count].port = port;
  r.hops[count].addr = dest;
  r.hop_count = static_cast<uint8_t>(count + 1);
  return 1;
}

void chain_ids_forget() {
  for (usable_ids& u : id_cache) {
    free(u.ids);
    u = usable_ids{};
  }
}
