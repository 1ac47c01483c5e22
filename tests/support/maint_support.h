// Test helpers of proxy maintenance: the engine driven with the test clock,
// a scripted TCP peer on a thread, and a panel push channel inside the
// engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/db_temp.h"
#include "tests/support/engine_harness.h"
#include "tests/support/net.h"

// What every maintenance test inside an engine begins with: the test
// clock, a fresh database, an engine, and the maintenance state reset
// (false when the database cannot be opened); and how it ends.
bool maint_begin(db_temp& t, engine_harness*& h);
void maint_end(db_temp& t, engine_harness*& h);

// Runs engine cycles, moving the test clock step_ms per cycle, until pred()
// holds; bounded by max_cycles and by ms of real time.
bool maint_drive(const std::function<bool()>& pred, uint32_t step_ms = 100, int max_cycles = 20000,
                 int ms = 20000);

// A TCP server on ip (port 0: any) whose connections are each handed to
// serve(fd) on the acceptor thread, one after another; fd is closed after.
struct maint_scripted_peer {
  std::string ip;
  uint16_t port = 0;
  std::atomic<int> connections{0};
  bool start(const char* listen_ip, uint16_t listen_port, std::function<void(int)> serve);
  void stop();
  ~maint_scripted_peer() { stop(); }

 private:
  int listen_fd = -1;
  std::atomic<bool> stopping{false};
  std::thread acceptor;
  std::function<void(int)> handler;
};

// A client connection to the engine's listener whose server slot is made
// a panel push channel (kind 0xFFB5); lines pushed by the program arrive here.
struct maint_push_channel {
  int fd = -1;
  std::string received;
  bool open(uint16_t engine_port);
  // Reads what has arrived (non-blocking) into `received`.
  const std::string& poll();
  ~maint_push_channel();
};
