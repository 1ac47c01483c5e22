// The event loop: the epoll wait, the listener in slot 0 with its accept
// rules (the client share, the accept check), and the housekeeping pass every 750 ms with its 10 s
// ticks, close and idle rules and the periodic work subsystems attach with engine_every.
#pragma once

#include <cstdint>

// Periodic work: fn runs from the housekeeping pass once more than
// period_ms have passed since it last ran (period 0: every pass); a period
// shorter than the pass is kept from every cycle of the loop instead.
// False when the fixed table of 16 is full.
using engine_timer_fn = void (*)();
bool engine_every(uint32_t period_ms, engine_timer_fn fn);
// Work in steps: fn runs once after the events of the next cycle, which
// then does not wait; fn may ask again for the cycle after. Asking twice
// before it ran is asking once. False when the fixed table of 8 is full.
bool engine_later(engine_timer_fn fn);
void engine_timers_clear();  // tests (clears both tables)

// Asked for each accepted connection before anything of it is read (its
// socket is in conn_table[index]); false closes it at once, without a byte.
// Null (the default) takes every connection.
using engine_accept_check_fn = bool (*)(int index);
void engine_set_accept_check(engine_accept_check_fn check);

bool engine_init();  // clears the tables, creates the epoll instance
// Creates the listener in slot 0 on ip ("" = all interfaces) and port
// (0 = any free port); returns the bound port or 0.
uint16_t engine_listen(const char* ip, uint16_t port);
// The text the listener keeps in its area: "Listening a.b.c.d port n".
const char* engine_listen_text();
void engine_cycle(int wait_ms);  // one loop cycle: wait, dispatch, housekeeping when due
void engine_housekeeping();      // one housekeeping pass now
bool engine_listener_failed();   // the listener reported an error
// Marks every slot for closing and keeps the loop running until they have
// closed by the usual rules or limit_ms have passed. The listener stops
// being watched, so no new client is taken meanwhile; engine_shutdown
// closes it.
void engine_drain(uint32_t limit_ms);
void engine_shutdown();  // closes every slot and the epoll instance
