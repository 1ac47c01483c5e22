// The event loop: the epoll wait, the listener in slot 0 with its accept
// rules (the client share, the accept check), the housekeeping pass with
// its 10 s ticks, close and idle rules, and the periodic work subsystems
// attach with engine_every. The loop sleeps until the earliest thing that
// really waits: a socket event, a slot deadline, a slot's tick, close or
// idle time, or an attached timer whose work is pending; with nothing
// pending it sleeps until an event.
#pragma once

#include <cstdint>

// Periodic work: fn runs once more than period_ms have passed since it
// last ran (period 0: the housekeeping pace, 750 ms) and its `wait`
// function says it has something to do. `wait` tells how long until then:
// ENGINE_IDLE when nothing waits for fn (its timer is not armed and the
// loop may sleep past it), 0 when fn has work now, else the milliseconds
// until it has; it is asked before every sleep, so it must be cheap (a
// flag, a small table), never a walk of the slots. A null `wait` is always
// due. False when the fixed table of 16 is full.
using engine_timer_fn = void (*)();
using engine_wait_fn = int32_t (*)();
constexpr int32_t ENGINE_IDLE = -1;
bool engine_every(uint32_t period_ms, engine_timer_fn fn, engine_wait_fn wait = nullptr);
// Work in steps: fn runs once after the events of the next cycle, which
// then does not wait; fn may ask again for the cycle after. Asking twice
// before it ran is asking once. False when the fixed table of 8 is full.
bool engine_later(engine_timer_fn fn);
void engine_timers_clear();  // tests (clears both tables)
// Wakes the loop from its sleep; safe in a signal handler and from any
// thread (a stop or reload request, an answer another thread left).
void engine_wake();
// Hands the pages of the engine's read buffer back to the system (with the
// heap trim; the next read takes them again).
void engine_release_buffers();
// The milliseconds the next cycle would sleep for lack of anything due
// (-1: until an event arrives; capped by wait_ms when wait_ms >= 0).
int engine_sleep_ms(int wait_ms);

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
// One loop cycle: wait (at most wait_ms; -1: as long as nothing is due),
// dispatch, housekeeping when due.
void engine_cycle(int wait_ms);
void engine_housekeeping();     // one housekeeping pass now
bool engine_listener_failed();  // the listener reported an error
// Marks every slot for closing and keeps the loop running until they have
// closed by the usual rules or limit_ms have passed. The listener stops
// being watched, so no new client is taken meanwhile; engine_shutdown
// closes it.
void engine_drain(uint32_t limit_ms);
void engine_shutdown();  // closes every slot and the epoll instance
