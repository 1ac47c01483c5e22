// Proxy usage tally: outcomes of client chains per proxy, kept in a fixed
// table and flushed into the proxy ranks every 30 s.
#pragma once

#include <cstdint>

constexpr int USAGE_ENTRIES = 256;
constexpr int USAGE_REPORT_MAX = 10;
constexpr uint32_t USAGE_FLUSH_MS = 30000;

struct usage_entry {
  uint32_t ip;  // network byte order; 0 = empty
  uint16_t port;
  uint8_t fails;   // failures since the last flush
  uint8_t streak;  // consecutive failures
  uint32_t bytes;  // bytes carried since the last flush
};

// One proxy of a report; the list ends at an entry with address 0 or port 0.
struct usage_proxy {
  uint32_t ip;
  uint16_t port;
};

extern usage_entry usage_table[USAGE_ENTRIES];
extern uint32_t usage_next;
extern uint32_t usage_flush_time;

void usage_record(const usage_proxy* list, uint32_t bytes, int success);
void usage_flush();
// Milliseconds until usage_flush has something to store (ENGINE_IDLE's -1
// while no entry has enough to count).
int32_t usage_wait_ms();

// Asked to re-check a proxy after a run of failed chains through it; set by
// the maintenance layer (null: nothing is re-checked).
using usage_recheck_fn = void (*)(uint32_t ip, uint16_t port);
extern usage_recheck_fn usage_recheck;
