// Time limits of a client chain: each step of an attempt (the connect to
// the first proxy, each hop's reply) has its own, counted from when the
// step began, and the whole chain has a ceiling counted from the client's
// request. Both are slot deadlines, so they end a step on time rather than
// on the housekeeping pass. An attempt that has not stood after
// "race_after" gets a second one racing it. Owns the cached "hop_timeout",
// "chain_timeout" and "race_after" settings.
#pragma once

#include <cstdint>

constexpr int HOP_TIMEOUT_DEFAULT_S = 8;
constexpr int HOP_TIMEOUT_MAX_S = 60;
constexpr uint32_t CONNECT_LIMIT_MAX_MS = 5000;  // the connect never waits longer
constexpr int CHAIN_TIMEOUT_DEFAULT_S = 30;
constexpr int CHAIN_TIMEOUT_MAX_S = 180;
constexpr int RACE_AFTER_DEFAULT_S = 2;
constexpr int RACE_AFTER_MAX_S = 60;

// "hop_timeout" (1-60 s) in ms: how long a hop's reply may take.
uint32_t chain_hop_limit_ms();
// How long the connect to the first proxy may take: the hop limit, 5 s at most.
uint32_t chain_connect_limit_ms();
// "chain_timeout" (1-180 s) in ms: how long a chain may take to stand.
uint32_t chain_total_limit_ms();
// "race_after" (0-60 s) in ms: how long an attempt may go without standing
// before a second one races it; 0: no racing.
uint32_t chain_race_after_ms();
// The values kept within their ranges (the panel saves what these return).
int hop_timeout_clamped(long seconds);
int chain_timeout_clamped(long seconds);
int race_after_clamped(long seconds);  // a negative value is the default
// Forgets the cached values (tests, and the panel after saving).
void chain_limits_reset();
