// Helpers of the fault tests: the program started under a chosen descriptor
// limit, raw clients that reach the origin through it, the panel's pages and
// commands, and what /proc tells about the program's process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "tests/support/chain_peers.h"

// The panel path that program_instance writes into its registry.
constexpr const char* kFaultToken = "0f3c9a2b5d7e41a68c1b2d3e4f506172";

// Connected socket to ip:port with send and receive timeouts, or -1.
int fault_connect(const std::string& ip, uint16_t port, int timeout_ms);
bool fault_send(int fd, const std::string& bytes);
// Reads until the peer closes or the time limit passes; *closed tells which.
std::string fault_read_to_close(int fd, int timeout_ms, bool* closed);
// SOCKS5 request for ip:port through the program; the socket once the
// program answered success, else -1.
int fault_socks5(const program_instance& program, const std::string& ip, uint16_t port);
// Downloads /bytes/size from the origin through the program (SOCKS5);
// true when exactly the pattern arrived.
bool fault_download(const program_instance& program, const origin_server& origin, uint64_t size);

// A panel page ("netstatus.html") and an ajax command body
// ("type=load_proxy"); the whole reply, or "".
std::string fault_panel_get(const program_instance& program, const std::string& page);
std::string fault_panel_ajax(const program_instance& program, const std::string& body,
                             int timeout_ms = 10000);
// Slots in use by the status page's count line (this request included), or -1.
int fault_slots(const program_instance& program);
// Waits (at most ms) until the status page counts at most `slots`.
bool fault_wait_slots(const program_instance& program, int slots, int ms);

// Open descriptors of a process, or -1.
int fault_fd_count(pid_t pid);
// True while the process runs (reaps it when it has ended).
bool fault_alive(program_instance& program);
// Starts the prepared program with RLIMIT_NOFILE soft:hard.
bool fault_start_limited(program_instance& program, unsigned soft, unsigned hard);
// Raises this process's soft descriptor limit to at least n (false when impossible).
bool fault_raise_own_limit(unsigned n);
// Runs a shell command line; its exit status.
int fault_shell(const std::string& command);
