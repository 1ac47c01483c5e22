// Racing attempts. A client's attempt that has not stood after
// "race_after" gets a second one through proxies the first does not use;
// the first of the two to reach the destination carries the client, and
// the other is dropped without counting against its proxies. The client
// slot stays linked to its first attempt; the racer is linked one way (its
// link is the client, the client keeps the racer's socket in its route
// record) until it wins, fails or is dropped. At most two attempts run for
// a client at once. A chain of fixed links only has nothing to race with.
#pragma once

#include "chain/route.h"

constexpr uint8_t RACES_PER_CLIENT = 3;

// Sets the client's deadline to the sooner of its chain's ceiling and the
// time its attempt may race.
void chain_race_arm(int client);
// The client's deadline: out of time, or the moment to race.
void chain_client_deadline(int client);
// Attempt `out` stands: the other attempt, if any, is dropped and the
// client linked to `out`.
void chain_race_settle(int out);
// Attempt `out` of `client` failed with `failure`: true when the other
// attempt goes on for the client (which then needs nothing else).
bool chain_race_survives(int out, int client, const chain_failure& failure);
// The client leaves or gives up: its racing attempt goes too.
void chain_race_drop(int client);
