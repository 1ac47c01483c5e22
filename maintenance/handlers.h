// Slot handlers of the maintenance connections.
#pragma once

#include <cstdint>

#include "engine/slot.h"
#include "platform/clock.h"

void check_handler(int index, char letter);       // 0xFFB7 proxy check
void chain_test_handler(int index, char letter);  // 0xFFB9 chain test
void myip_handler(int index, char letter);        // 0xFFBB public address
void download_handler(int index, char letter);    // 0xFFC1 list download

// The time rule of a maintenance connection, run on every 'T': the first
// call starts the clock in `started`, a call once limit_ms have passed
// aborts the slot.
inline void abort_when_late(int index, uint32_t& started, uint32_t limit_ms) {
  if (started == 0) started = tick_now();
  if (tick_now() - started >= limit_ms) slot_abort(index);
}
