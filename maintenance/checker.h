// The proxy checker: what a check of one proxy in its four protocols
// learns and records. Owns the check record, the judge request, the reply
// parser shared with the public-address request, the result statement and
// the panel's check line. The queue that starts checks is
// maintenance/checkqueue.h, their connections maintenance/checksteps.h, the
// check sites of reachability checks maintenance/checksite.h.
#pragma once

#include <cstddef>
#include <cstdint>

// Checks one proxy now, or puts it at the front of the queue when no room
// is left. addr is the proxy table's 32-bit ip number (network byte order).
// Returns 1 when the check started or was queued, 0 when checks are denied
// or (unforced) the proxy is being checked already.
int start_check(uint32_t addr, uint16_t port, int force);

// Steps of a check (the protocol bits of the type flags, plus 17).
constexpr uint8_t CHECK_SOCKS4 = 8;
constexpr uint8_t CHECK_SOCKS5 = 16;
constexpr uint8_t CHECK_SOCKS5_CONNECT = 17;
constexpr uint8_t CHECK_SOCKS5_LOGIN = 18;  // the RFC 1929 sign-in reply is due
constexpr uint8_t CHECK_HTTP = 32;
constexpr uint8_t CHECK_HTTPS = 64;

// Kept in the route area of a check slot and copied from step to step.
struct check_record {
  uint16_t name_known;    // 0: a reverse lookup was asked for, read the name back at the end
  uint32_t ip;            // proxy address, network byte order
  uint16_t port;          // proxy port, host order
  uint16_t proxy_ref;     // carried in the judge request
  uint8_t step;           // protocol under test; 0 = finished
  uint8_t verdict;        // type-flag bits gathered so far
  uint8_t phase;          // input deliveries handled in this step
  uint32_t reply_ms;      // largest time to a usable reply
  uint32_t step_started;  // tick at which this step's connection was opened
  uint8_t finished;       // 1 once the result is recorded
  uint8_t first;          // the step tried first (a list line's scheme), 0: the usual order
};

extern uint32_t failed_check_count;

enum class judge_form { full_url, path_only };
// The judge request (malloc'd, caller frees) for a check record, or for the
// public-address request when rec is null; null when it cannot be built.
char* judge_request(const check_record* rec, judge_form form);
// Finds the reply block in the bytes and applies each item.
void parse_reply(const uint8_t* bytes, size_t length, check_record* rec);
void record_check_result(check_record* rec);
// Builds the script line for the panel into out (NUL-terminated); returns its length.
int format_check_line(char* out, size_t capacity, const char* name, const check_record* rec);
void panel_check_line(const char* name, const check_record* rec);

// "a.b.c.d" (four decimal parts of at most 255, three dots, an empty part
// reads 0) to a network-order address; false when it is not one.
bool parse_dotted_quad(const char* text, uint32_t* addr);

// Back to the start-up state (tests).
void checker_reset();

// Sets the blocked column of (ip, port): block 0 blocks, anything else
// unblocks. Returns the malloc'd "{block:%d, ip:%lu, port:%d}".
char* proxy_block(int block, uint32_t ip, int port);
