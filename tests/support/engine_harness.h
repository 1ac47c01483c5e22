// Test helpers for driving the engine on the test's own thread: start and
// stop it on a loopback port, run cycles until a condition holds (bounded
// in time), find the slot of a client socket, count occupied slots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "engine/slot.h"
#include "tests/support/net.h"

struct engine_harness {
  uint16_t port = 0;
  engine_harness();   // engine_init + listener on 127.0.0.1, any port
  ~engine_harness();  // closes everything, restores the handlers
  // Runs engine cycles until pred() holds or ms of real time pass.
  bool run_until(const std::function<bool()>& pred, int ms = 5000);
  void run_for(int ms);
};

// Index of the slot holding the server side of a client: the newest slot
// whose peer port is the client's local port.
int slot_of_client(int client_fd);
int occupied_slots();
