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
  };
};
static_assert(sizeof(route_record) == ROUTE_SIZE);
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
