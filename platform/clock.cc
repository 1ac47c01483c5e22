#include "platform/clock.h"

#include <atomic>
#include <ctime>

namespace {
std::atomic<bool> fake_on{false};
std::atomic<uint32_t> fake_tick{0};
std::atomic<uint64_t> fake_wall{0};
}  // namespace

uint32_t tick_now() {
  if (fake_on.load(std::memory_order_relaxed)) return fake_tick.load(std::memory_order_relaxed);
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

uint64_t wall_now_ms() {
  if (fake_on.load(std::memory_order_relaxed)) return fake_wall.load(std::memory_order_relaxed);
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

local_time local_time_of(uint64_t wall_ms) {
  time_t secs = static_cast<time_t>(wall_ms / 1000u);
  tm parts{};
  localtime_r(&secs, &parts);
  return local_time{parts.tm_year + 1900,
                    parts.tm_mon + 1,
                    parts.tm_mday,
                    parts.tm_hour,
                    parts.tm_min,
                    parts.tm_sec,
                    static_cast<int>(wall_ms % 1000u)};
}

void clock_fake_enable(uint32_t tick, uint64_t wall_ms) {
  fake_tick.store(tick);
  fake_wall.store(wall_ms);
  fake_on.store(true);
}

void clock_fake_disable() {
  fake_on.store(false);
}

void clock_advance(uint32_t ms) {
  fake_tick.fetch_add(ms);
  fake_wall.fetch_add(ms);
}

bool clock_is_fake() {
  return fake_on.load();
}
