// The proxy checker: checks one proxy in all four protocols through the
// checker service and records what it is.
#pragma once

#include <cstdint>

// Starts one check. Address 0 with port 0: the next proxy the database
// offers. addr is the proxy table's 32-bit ip number (network byte order).
// Returns 1 when a check was started.
int start_check(uint32_t addr, uint16_t port, int force);
