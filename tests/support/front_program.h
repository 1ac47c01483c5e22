// Test support for the client front end: runs the real program in the
// foreground on a free loopback port with a registry of its own, and small
// blocking socket helpers with time limits.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

struct front_program {
  pid_t pid = -1;
  uint16_t port = 0;
  std::string home;  // MEROVANE_HOME of the instance

  // Starts "$MEROVANE_BIN /run" and waits (at most 5 s) until it accepts.
  bool start();
  // SIGTERM, then SIGKILL after 3 s; removes the home directory. Returns
  // true when the program was still running and then ended with status 0;
  // otherwise *output holds what it wrote.
  bool stop(std::string* output = nullptr);
  // Value of a text entry of the registry file ("" when absent).
  std::string registry_text(const char* name) const;
};

// A free TCP port on 127.0.0.1 (bound, read back, released).
uint16_t front_free_port();
// Connected socket to 127.0.0.1:port, or -1; receive timeout of timeout_ms.
int front_connect(uint16_t port, int timeout_ms);
bool front_send_all(int sock, const std::string& bytes);
// Reads until n bytes arrived, the peer closed, or the time limit passed.
std::string front_read(int sock, size_t n, int timeout_ms);
// Reads until the peer closes or the time limit passes; *closed tells which.
std::string front_read_to_close(int sock, int timeout_ms, bool* closed);
// Runs a shell command line; returns its standard output and error, and the
// exit status in *status.
std::string front_run(const std::string& command, int* status);
