// Watching recognition hand a request on: a fake chain start, and a fake
// panel attached to the kind a panel request becomes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include "engine/slot.h"
#include "front/recognize.h"

namespace front_hooks {
using panel_fn = int (*)(int index);
inline panel_fn& fake_panel() {
  static panel_fn fn = nullptr;
  return fn;
}
// Serves kind web with the fake; a non-zero result makes it a push channel,
// as the real panel does.
inline void panel_handler(int index, char letter) {
  if (letter != slot_event::input || fake_panel() == nullptr) return;
  if (fake_panel()(index) != 0) conn_table[index].kind = slot_kind::web_push;
}
}  // namespace front_hooks

// Null for both restores the program's own chain start and detaches the fake.
inline void recognize_set_calls(front_hooks::panel_fn panel, chain_start_fn chain) {
  front_hooks::fake_panel() = panel;
  slot_attach(slot_kind::web, panel != nullptr ? front_hooks::panel_handler : nullptr);
  recognize_set_chain_start(chain);
}

// A fresh client slot at a fixed index, outside the engine: any open
// descriptor marks it occupied and, never registered, it keeps what the
// handler sends in `out`. Returns false when no descriptor could be had.
inline bool front_slot_place(int index, int& fd) {
  fd = open("/dev/null", O_RDWR);
  if (fd < 0) return false;
  conn_table[index] = conn_slot{};
  conn_table[index].sock = fd;
  conn_table[index].kind = slot_kind::fresh;
  return true;
}

// Frees the slot's streams, empties it and closes its descriptor.
inline void front_slot_clear(int index, int fd) {
  stream_free(conn_table[index].in);
  stream_free(conn_table[index].out);
  conn_table[index] = conn_slot{};
  conn_table[index].sock = -1;
  close(fd);
}
