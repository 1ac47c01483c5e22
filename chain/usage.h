// Proxy usage tally: outcomes of client chains per proxy, flushed into the
// proxy ranks every 30 s.
#pragma once

#include <cstdint>

void usage_flush();
