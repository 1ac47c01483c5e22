// Chain negotiation: opens the outbound slot of a client, talks to each
// proxy of the hop list in its protocol, hands the pair to the relay, and
// reports the outcome at close.
#pragma once

#include <cstddef>
#include <cstdint>

extern uint32_t last_chain_ok;

// Handler of kind 0xFFBD.
void chain_handler(int index, char letter);
// 'X' of either chain slot (0xFFBD through chain_handler, 0xFFBF from dispatch).
void chain_close(int index);
