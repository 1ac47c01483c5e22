// Failover of a client chain: what went wrong in an attempt (which proxy,
// which step, why), the one place that decides whether the client gets
// another attempt without the failing proxies or its final answer (a 502
// page for HTTP and CONNECT clients, a reply code for SOCKS clients), and the
// console line that tells the person running the program. Owns the cached
// "chain_retries" setting.
#pragma once

#include <cstddef>

#include "chain/route.h"

constexpr int CHAIN_RETRIES_DEFAULT = 2;
constexpr int CHAIN_RETRIES_MAX = 5;
constexpr size_t FAILURE_TEXT_SIZE = 160;

// The failure of an attempt from its outbound route record (read before the
// report at close changes it).
chain_failure chain_failure_of(const route_record& r);
// The client slot still linked to outbound slot `out` (or raced by it), or
// -1 when it is gone or closing.
int chain_client_of(int out);
// The client's later attempts avoid what `failure` blames; it becomes the
// client's last failure.
void chain_note_failure(int client, const chain_failure& failure);
// The console line "chain to HOST:PORT<what> (why); <outcome>".
void chain_failure_line(int client, const char* what, const chain_failure& failure,
                        const char* outcome);
// An attempt of client slot `client` failed: another attempt, or the end.
void chain_failed(int client, const chain_failure& failure);
// The end for the client: the 502 page where its protocol can show one, then close.
void chain_give_up(int client, const chain_failure& failure);
// No chain could be built for the client's first attempt: the console says
// why (and what a first run lacks), then the client is given up.
void chain_cannot_start(int client);
// The same for any reason the client gets no chain (a tunnel whose chain
// could only end in a plain HTTP proxy, say).
void chain_refused(int client, const chain_failure& failure);
// The SOCKS5 reply code that tells a client why its chain failed (a SOCKS4
// client hears 0x5B whatever the code).
uint8_t chain_socks5_code(chain_fault fault);
// "proxy 203.0.113.5:1080 did not answer" and the like; its length.
size_t chain_failure_text(const chain_failure& failure, char* out, size_t capacity);
// The attempt note of a client slot for the status page ("" on a first
// attempt that has not failed); its length.
size_t chain_attempt_note(const route_record& client, char* out, size_t capacity);
// "chain_retries" (0-5): read at first use, then at most every 30 s.
int chain_retries();
// Forgets the cached value (tests, and the panel after saving).
void chain_retries_reset();
