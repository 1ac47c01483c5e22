// Watching recognition hand a request on: a fake chain start, and a fake
// panel attached to the kind a panel request becomes.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

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

// A resolver that answers from a table instead of a name server: literal
// IPv4 addresses, localhost (127.0.0.1), peer.test and a.test (127.0.0.9),
// b.test (127.0.0.10); one address each, 0 for anything else.
inline int front_table_resolve(const char* host, uint32_t* addrs, int max) {
  if (max < 1 || host == nullptr) return 0;
  static constexpr const char* table[][2] = {{"localhost", "127.0.0.1"},
                                             {"peer.test", "127.0.0.9"},
                                             {"a.test", "127.0.0.9"},
                                             {"b.test", "127.0.0.10"}};
  const char* ip = host;
  for (const auto& row : table)
    if (strcmp(host, row[0]) == 0) ip = row[1];
  in_addr a{};
  if (inet_pton(AF_INET, ip, &a) != 1) return 0;
  addrs[0] = a.s_addr;
  return 1;
}

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
