#include "log/push.h"

#include "engine/slot.h"
#include "platform/clock.h"

uint32_t panel_push_time = 0;

void panel_broadcast(const void* data, int len) {
  if (len < 1) {
    panel_push_time = tick_now();
    return;
  }
  int reached = slot_broadcast(slot_kind::web_push, data, len);
  panel_push_time = reached > 0 ? tick_now() : 0;
}
