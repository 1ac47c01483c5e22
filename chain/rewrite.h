// HTTP request rewriting on a relayed chain: checks the destination's first
// reply and rewrites the client's first request to HTTP/1.0 with
// "Connection: close".
#pragma once

#include <cstddef>
#include <cstdint>

// Called by slot_relay with both slots of a chain before forwarding.
void relay_hook(int index, int linked_index);
