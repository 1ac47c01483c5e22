// The panel's push channel as the lower layers see it: lines sent to every
// served panel connection that waits for them (kind web_push), and the tick
// of the last push that reached one (0: no panel is watching). The checker
// and the public-address detection push their results through it; the
// panel opens channels and keeps them alive.
#pragma once

#include <cstdint>

extern uint32_t panel_push_time;

// Sends the bytes to every push channel. Sets panel_push_time to now when at
// least one channel got them, to 0 when none did. len < 1 only marks a
// channel as just opened.
void panel_broadcast(const void* data, int len);
