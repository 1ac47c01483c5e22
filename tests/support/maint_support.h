// Test helpers of proxy maintenance: the engine driven with the test clock,
// a scripted TCP peer on a thread, a panel push channel inside the engine,
// and real peers (merovane-judge, microsocks, danted, tinyproxy) started as
// child processes on their own loopback addresses.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Runs engine cycles, moving the test clock step_ms per cycle, until pred()
// holds; bounded by max_cycles and by ms of real time.
bool maint_drive(const std::function<bool()>& pred, uint32_t step_ms = 100, int max_cycles = 20000,
                 int ms = 20000);

// Reads one HTTP request (head and Content-Length body) within ms.
std::string maint_read_request(int fd, int ms = 5000);
// Reads until the peer closes or ms pass.
std::string maint_read_all(int fd, int ms = 5000);
bool maint_write(int fd, const std::string& bytes);

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

// A child process in its own process group, stopped by its PID.
struct maint_process {
  pid_t pid = -1;
  std::string log_path;
  bool spawn(const std::vector<std::string>& argv, const std::string& log);
  void stop();
  ~maint_process() { stop(); }
};

// Scratch directory of this test process.
const std::string& maint_dir();
bool maint_wait_listening(const char* ip, uint16_t port, int ms = 5000);

// Real peers. Each returns false when the peer did not come up.
bool maint_start_judge(maint_process& p, const char* ip, const std::string& control_file = "");
bool maint_start_microsocks(maint_process& p, const char* ip, uint16_t port, const char* bind_ip);
bool maint_start_danted(maint_process& p, const char* ip, uint16_t port);
// Adds Via, X-Forwarded-For (the user's address) and X-Tinyproxy headers.
bool maint_start_tinyproxy(maint_process& p, const char* ip, uint16_t port);
