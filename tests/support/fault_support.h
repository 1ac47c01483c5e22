// Helpers of the fault tests: raw clients that reach the origin through the
// program, the panel's pages and commands, and this process's descriptor
// limit.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "tests/support/net.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"

// SOCKS5 request for ip:port through the program; the socket once the
// program answered success, else -1.
int fault_socks5(const program_instance& program, const std::string& ip, uint16_t port);
// The same through any SOCKS5 proxy without authentication; pipelined:
// the greeting and the request in one write (as fault_socks5 sends them),
// else the request after the method reply (microsocks needs that).
int socks5_open(const std::string& proxy_ip, uint16_t proxy_port, const std::string& ip,
                uint16_t port, bool pipelined);
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

// Raises this process's soft descriptor limit to at least n (false when impossible).
bool fault_raise_own_limit(unsigned n);
