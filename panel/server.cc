// Interim panel: serves nothing. Replaced by the panel server.
#include "panel/server.h"

#include "engine/slot.h"

int panel_request(int index) {
  slot_abort(index);
  return 0;
}
