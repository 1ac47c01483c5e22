// Time limits of a client chain.
#include "chain/limits.h"

#include "db/db.h"
#include "platform/clock.h"

namespace {

constexpr uint32_t LIMITS_REFRESH_MS = 30000;

int hop_seconds = -1;
int chain_seconds = -1;
int race_seconds = -1;
uint32_t limits_read = 0;

void read_limits() {
  const uint32_t now = tick_now();
  if (hop_seconds > 0 && now - limits_read <= LIMITS_REFRESH_MS) return;
  hop_seconds = hop_timeout_clamped(setting_int("hop_timeout", HOP_TIMEOUT_DEFAULT_S, 0));
  chain_seconds = chain_timeout_clamped(setting_int("chain_timeout", CHAIN_TIMEOUT_DEFAULT_S, 0));
  race_seconds = race_after_clamped(setting_int("race_after", RACE_AFTER_DEFAULT_S, 0));
  limits_read = now;
}

int clamped(long seconds, int fallback, int max) {
  if (seconds <= 0) return fallback;
  return seconds > max ? max : static_cast<int>(seconds);
}

}  // namespace

int hop_timeout_clamped(long seconds) {
  return clamped(seconds, HOP_TIMEOUT_DEFAULT_S, HOP_TIMEOUT_MAX_S);
}

int chain_timeout_clamped(long seconds) {
  return clamped(seconds, CHAIN_TIMEOUT_DEFAULT_S, CHAIN_TIMEOUT_MAX_S);
}

int race_after_clamped(long seconds) {
  if (seconds < 0) return RACE_AFTER_DEFAULT_S;
  return seconds > RACE_AFTER_MAX_S ? RACE_AFTER_MAX_S : static_cast<int>(seconds);
}

uint32_t chain_race_after_ms() {
  read_limits();
  return static_cast<uint32_t>(race_seconds) * 1000u;
}

uint32_t chain_hop_limit_ms() {
  read_limits();
  return static_cast<uint32_t>(hop_seconds) * 1000u;
}

uint32_t chain_connect_limit_ms() {
  const uint32_t hop = chain_hop_limit_ms();
  return hop < CONNECT_LIMIT_MAX_MS ? hop : CONNECT_LIMIT_MAX_MS;
}

uint32_t chain_total_limit_ms() {
  read_limits();
  return static_cast<uint32_t>(chain_seconds) * 1000u;
}

void chain_limits_reset() {
  hop_seconds = -1;
  chain_seconds = -1;
  race_seconds = -1;
}
