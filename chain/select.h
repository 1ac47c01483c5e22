// Chain selection: builds the list of proxies for a client chain from the
// chain table and the proxy table, and keeps the last chain built for 10 s.
#pragma once

#include <cstdint>

#include "chain/route.h"

constexpr uint32_t CHAIN_CACHE_MS = 10000;

// The last chain built: the global hop array (or null), its proxy count and
// the tick of the build.
struct chain_cache_record {
  hop* hops;
  uint8_t count;
  uint32_t built;
  uint32_t fixed_mask;     // bit i: position i is a fixed-proxy link
  uint8_t last_selection;  // how the link of the last position picks (1-5)
  uint32_t last_flags;     // and what it accepts
};
extern chain_cache_record chain_cache;

// chain_hops for a client that needs a tunnel when the last link can give
// it nothing but a plain HTTP proxy.
constexpr int CHAIN_HOPS_HTTP_LAST = -1;

// Fills r.hops and r.hop_count with the cached (or a freshly built) chain and
// the destination as the last entry (address 0: the host text travels). 1 when filled, else 0 (port
// 0, empty host, a host without an address, or no chain). With proxies to avoid, the chain is built
// afresh without them (and cached). tunnel: the client's bytes are not a
// plain HTTP request (CONNECT, or a SOCKS client's other data), so the last
// proxy must not be a plain HTTP proxy: one from a link that also accepts
// another protocol is picked again among those (and cached); otherwise
// CHAIN_HOPS_HTTP_LAST.
int chain_hops(route_record& r, const char* host, uint16_t port,
               const proxy_ref* excluded = nullptr, int excluded_count = 0, bool tunnel = false);
// A proxy of this type speaks plain HTTP and no tunnelling protocol.
bool speaks_only_plain_http(uint16_t type);
// Builds the chain from the database, leaving out the given proxies; the
// hop array or null. Sets the cache count and fixed-link mask.
hop* chain_build(const proxy_ref* excluded = nullptr, int excluded_count = 0);
// Drops the cached chain so that the next client builds afresh.
void chain_cache_clear();
// Drops the short-lived arrays of usable proxy ids that random links draw
// from (tests; they are read again after 60 s anyway).
void chain_ids_forget();

// Parses one chain-link row [p, end): up to 8 comma-separated integers,
// each with an optional '+' and then an optional '-'. The number of integers
// (values[0..7]), or -1 when anything else is in the row.
int parse_link_row(const char* p, const char* end, int64_t* values);

// A name under the reserved ".invalid" domain (never resolves).
bool is_invalid_name(const char* host);
// Where the destination entry of a chain points: false when the host can
// have no chain. An IPv4 literal gives its address (0.0.0.0 and
// 255.255.255.255 count as none); an IPv6 literal, or a name while names
// are left to the last proxy, gives 0: the last hop is sent the host text.
// A name while names are looked up here is false: the caller passes the
// address its lookup found instead (this never blocks on a name server).
bool destination_address(const char* host, uint32_t* addr);
// Setting "remote_dns" (default 1): names are passed to the last proxy and
// never looked up here. Read again after chain_cache_clear or 10 s.
bool chain_remote_names();
