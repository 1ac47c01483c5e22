// The engine thread: server start with database open and listener retries,
// the epoll event loop, and the housekeeping pass every 750 ms with its
// 10 s ticks, close and idle rules and its 9 s, 30 s and 4 h timers.
#pragma once

#include <cstdint>

// Body of the engine thread; returns once stop_flag is set.
void server_run();

// The pieces server_run is made of, for tests that drive the engine
// themselves on their own thread with the test clock.
bool engine_init();  // clears the tables, creates the epoll instance
// Creates the listener in slot 0 on ip ("" = all interfaces) and port
// (0 = any free port); returns the bound port or 0.
uint16_t engine_listen(const char* ip, uint16_t port);
void engine_cycle(int wait_ms);  // one loop cycle: wait, dispatch, housekeeping when due
void engine_housekeeping();      // one housekeeping pass now
void engine_shutdown();          // closes every slot and the epoll instance
bool engine_listener_failed();   // the listener reported an error
