// The one clock of the program: the 32-bit millisecond tick that every
// timer rule compares, and the wall clock used for local times. Tests can
// switch both to a driven fake so that 10 s, 1 h and 12 h rules are tested
// without waiting.
#pragma once

#include <cstdint>
#include <ctime>

// Milliseconds of CLOCK_MONOTONIC truncated to 32 bits. Compare two ticks by
// wrap-around subtraction: (uint32_t)(a - b), or (int32_t)(a - b) for signed tests.
uint32_t tick_now();

// Milliseconds since the Unix epoch (wall clock).
uint64_t wall_now_ms();

// Local calendar time of a wall-clock value, milliseconds included.
struct local_time {
  int year, month, day, hour, minute, second, millisecond;
};
local_time local_time_of(uint64_t wall_ms);

// Test control. While the fake is on, tick_now() and wall_now_ms() return
// the driven values instead of reading the system clocks.
void clock_fake_enable(uint32_t tick, uint64_t wall_ms);
void clock_fake_disable();
void clock_advance(uint32_t ms);  // moves both fake clocks forward
bool clock_is_fake();
