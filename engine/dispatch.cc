// Dispatch: one handler per kind, attached by the subsystem that owns the
// kind. The table is indexed by kind so a dispatch is one load.
#include "engine/slot.h"

namespace {
// Kinds 0-7 map to 0-7, kinds 0xFFB0-0xFFFF to 8 onwards.
constexpr int LOW_KINDS = 8;
constexpr uint16_t HIGH_BASE = 0xFFB0;
constexpr int HANDLER_COUNT = LOW_KINDS + (0x10000 - HIGH_BASE);

slot_handler handlers[HANDLER_COUNT];

int handler_index(slot_kind kind) {
  auto k = static_cast<uint16_t>(kind);
  if (k < LOW_KINDS) return k;
  if (k >= HIGH_BASE) return LOW_KINDS + (k - HIGH_BASE);
  return -1;
}

// Kinds nobody attached: throw their input away, so it never fills up and
// stops being read, and the peer's close is still seen.
void unattached(int index, char letter) {
  conn_slot& slot = conn_table[index];
  if (letter == slot_event::input && slot.in.len > 0) slot_consume_input(index, slot.in.len);
}
}  // namespace

slot_handler slot_attach(slot_kind kind, slot_handler handler) {
  int i = handler_index(kind);
  if (i < 0) return nullptr;
  slot_handler previous = handlers[i];
  handlers[i] = handler;
  return previous;
}

void slot_detach_all() {
  for (auto& h : handlers) h = nullptr;
  slot_set_raw_test(nullptr);
}

void slot_dispatch(int index, char letter) {
  if (index < 0 || index >= SLOT_COUNT) return;
  int i = handler_index(conn_table[index].kind);
  slot_handler handler = i >= 0 ? handlers[i] : nullptr;
  (handler != nullptr ? handler : unattached)(index, letter);
}
