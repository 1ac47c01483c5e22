// Test helpers for driving the engine on the test's own thread: start and
// stop it on a loopback port, run cycles until a condition holds (bounded
// in time), open plain client sockets, read process figures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "engine/slot.h"

struct engine_harness {
  uint16_t port = 0;
  engine_harness();   // engine_init + listener on 127.0.0.1, any port
  ~engine_harness();  // closes everything, restores the handlers
  // Runs engine cycles until pred() holds or ms of real time pass.
  bool run_until(const std::function<bool()>& pred, int ms = 5000);
  void run_for(int ms);
};

// Blocking client socket connected to 127.0.0.1:port, or -1.
int connect_client(uint16_t port);
// A listening socket on 127.0.0.1 (any port); port returned through out.
int listen_local(uint16_t* port_out);
// Writes all bytes (blocking socket); false on error.
bool write_all(int fd, const void* data, size_t n);
// Reads exactly n bytes within ms; false on error, end or time-out.
bool read_exact(int fd, void* data, size_t n, int ms = 5000);
// Index of the slot holding the server side of a client: the newest slot
// whose peer port is the client's local port.
int slot_of_client(int client_fd);
// Resident memory of this process in KiB.
long resident_kib();
int occupied_slots();
