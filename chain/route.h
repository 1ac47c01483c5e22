// Chain records: the 8-byte hop entry shared by chain selection, the chain
// negotiation and the chain test, and the route record laid over the
// per-kind area of both slots of a client chain (kinds 0xFFBD and 0xFFBF).
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/slot.h"

constexpr int MAX_HOPS = 30;          // hop array capacity (destination entry included)
constexpr int MAX_CHAIN_LINKS = 29;   // links used, so the destination always fits
constexpr uint16_t HOP_END = 0xFFFF;  // type of the destination entry
constexpr size_t TARGET_SIZE = 76;    // client-side `target` text, NUL included

// One entry of a chain. Packed (alignment 1) so that a hop list can sit at
// any offset of a slot's per-kind area.
struct __attribute__((packed)) hop {
  uint16_t type;  // proxy type bits, or HOP_END for the destination
  uint16_t port;  // host byte order
  uint32_t addr;  // IPv4, network byte order (the proxy table's ip number)
};
static_assert(sizeof(hop) == 8);
static_assert(alignof(hop) == 1);

constexpr int CHAIN_EXCLUDED_MAX = 16;  // proxies a client's later attempts avoid

// A proxy by address and port (the usage tally's form).
struct __attribute__((packed)) proxy_ref {
  uint32_t ip;  // network byte order
  uint16_t port;
};

// Why a chain attempt failed, and where: the one description behind the
// tally, the client's 502 page, the status page and the console line.
enum class chain_fault : uint8_t {
  none = 0,
  no_connect,          // the first proxy could not be reached
  no_answer,           // a proxy closed or went quiet without answering
  refused,             // a proxy refused to connect on to the next hop
  refused_dest,        // the last proxy refused the destination
  bad_reply,           // a proxy answered in a way that is not its protocol
  http_middle,         // a plain HTTP proxy before the last position
  no_chain,            // no proxy matched a link of the chain
  auth_refused,        // a proxy refused its sign-in (or wanted one it has not got)
  no_connect_in_time,  // the connect to the first proxy did not complete in time
  no_answer_in_time,   // a proxy did not answer within its time limit
  out_of_time,         // the whole chain did not stand within its time limit
  loop,                // a hop handed the chain back to this program
  http_last,           // a tunnel, and the last link gives only plain HTTP proxies
  direct_no_connect,   // a direct destination could not be reached
  direct_no_time,      // a direct destination did not accept in time
  direct_refused,      // a direct destination this program cannot or must not connect to
};
struct __attribute__((packed)) chain_failure {
  chain_fault fault;
  uint8_t hop;       // position of the proxy in the chain, 0 = first
  proxy_ref proxy;   // the proxy that failed
  proxy_ref next;    // where it was asked to connect (ip 0: the destination)
  proxy_ref before;  // the proxy in front of it (ip 0: none), whose end may be the cause
};

// What the client-side slot keeps in the bytes of `hops`.
struct __attribute__((packed)) client_route {
  char target[TARGET_SIZE];
  uint8_t attempt;         // 0 on the first chain, then one more per rebuild
  uint8_t excluded_count;  // entries of `excluded`
  uint32_t fixed_mask;     // chain positions taken by fixed-proxy links
  chain_failure last;      // the latest failure, fault none before any
  proxy_ref excluded[CHAIN_EXCLUDED_MAX];
  uint8_t lookup;            // 1 + ticket of the destination's lookup while it runs, 0 when
                             // none, 0xFF while it waits for a free entry
  uint32_t resolved;         // the destination's address once looked up here, else 0
  uint32_t lookup_started;   // tick at which the lookup was queued
  uint8_t target_named;      // a plain HTTP last hop was given the destination in the request
  uint8_t out_of_time;       // the chain's own time limit passed: no further attempt
  uint8_t replied;           // a SOCKS client has had its reply (early, for a plain HTTP last hop)
  uint32_t ceiling;          // tick by which the chain must stand
  uint32_t attempt_started;  // tick at which the attempt now linked to the client began
  int32_t race_sock;         // socket of the attempt racing the linked one, 0 when none
  uint8_t races;             // racing attempts started so far
  uint8_t rule_decided;      // the rules were asked for this destination
  uint8_t rule_action;       // rule_action of the matching rule (none: no rule matched)
  uint16_t rule_index;       // its place in the table, and its line in the "rules" setting
  uint16_t rule_line;
};

// Route record of a chain slot. `side` 0 is the outbound slot ("Chain-R"),
// 1 the client-side slot ("Chain-L"); on the client side the bytes of `hops`
// hold the `target` text instead.
struct __attribute__((packed)) route_record {
  uint8_t side;
  uint8_t hop_count;
  uint8_t hop_index;
  uint8_t check_reply;
  uint8_t failed;
  uint8_t established;
  uint8_t awaiting;
  uint8_t socks5_stage;
  uint8_t rewritten;
  uint16_t hop_proto;
  union {
    hop hops[MAX_HOPS];
    char target[TARGET_SIZE];
    client_route client;
  };
};
static_assert(sizeof(route_record) == ROUTE_SIZE);
static_assert(sizeof(client_route) <= sizeof(hop) * MAX_HOPS);
static_assert(offsetof(route_record, hop_proto) == 9);
static_assert(offsetof(route_record, hops) == 11);

inline route_record& route_of(conn_slot& slot) {
  return slot_area<route_record>(slot);
}
inline const route_record& route_of(const conn_slot& slot) {
  return slot_area<route_record>(slot);
}
inline route_record& route_of(int index) {
  return route_of(conn_table[index]);
}
