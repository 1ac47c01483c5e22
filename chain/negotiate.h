// Chain negotiation: opens the outbound slot of a client, talks to each
// proxy of the hop list in its protocol, hands the pair to the relay, and
// reports the outcome at close. Its units: chain/hop_protocol.cc (the
// requests and replies of each proxy kind), chain/attempt.cc (a client's
// attempts, their time limits, the SOCKS reply and the loop checks) and
// chain/race.cc (a second attempt racing a slow one) and chain/negotiate.cc
// (relay, report, the client identification line).
// Owns `last_chain_ok`.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chain/hop_protocol.h"
#include "chain/route.h"
#include "engine/slot.h"

extern uint32_t last_chain_ok;  // tick of the last established chain, 0 until the first

// Starts the chain of client slot `index` once its destination is known.
// http_offset: offset past the HTTP method of a plain HTTP request to be
// forwarded, else 0. A CONNECT client gets its success head once the chain
// stands; when no chain can be built an HTTP or CONNECT client gets a 502.
void chain_start(int index, size_t http_offset);

// http_last: the client needs a tunnel and its chain could only end in a
// plain HTTP proxy. deferred: a SOCKS client had its reply first and is
// read on (the last proxy is a plain HTTP proxy, which needs the client's
// request).
enum class attempt_result { started, no_chain, no_slot, http_last, deferred };
// Opens one attempt for client slot `index` (its route record set up by
// chain_start): a chain without the proxies its earlier attempts found
// failing, and a new outbound slot linked to the client.
attempt_result chain_attempt(int index);

// The hops of a new attempt for client slot `index` into ro, avoiding the
// `avoid_count` proxies of `avoid` and this program's own listener (added
// to `avoid`, which holds `capacity`): chain_hops' result.
int chain_pick_hops(int index, route_record& ro, proxy_ref* avoid, uint8_t& avoid_count,
                    int capacity);
// Opens an outbound slot for client `index` over the hops of `hops` and
// starts its connect; a racer is linked to the client one way only. The
// slot, or -1.
int chain_open_attempt(int index, const route_record& hops, bool racer);
// The client's chain ran out of time: the attempt under way ends as its
// hop's failure, a racer is dropped, and no other attempt follows.
void chain_out_of_time(int client);

// Ends the attempt on outbound slot `index` as the current hop's failure:
// `why` STEP_TIMED_OUT (its time ran out) or LOOP_FOUND (it handed the
// chain back to this program).
void chain_stop_attempt(int index, uint8_t why);
// Sends a SOCKS client its reply once (code 0: granted; else the SOCKS5
// code, which a SOCKS4 client hears as 0x5B).
void chain_socks_reply(int index, uint8_t code);
// The outbound slot of a chain of ours, started at most LOOP_WINDOW_MS
// before `since`, that asked its last proxy for `host`:`port` (this
// program's own port): a client asking for the same arriving at `since` is
// that proxy handing the chain back to us. -1 when there is none.
constexpr uint32_t LOOP_WINDOW_MS = 30000;
int chain_loop_source(const char* host, uint16_t port, uint32_t since);
// Ends the chain of outbound slot `out`: "loop through this program".
void chain_loop_found(int out);
// A proxy at `addr`:`port` is this program's own listener.
bool chain_hop_is_us(uint32_t addr, uint16_t port);

// Destination names looked up here ("remote_dns" off) are looked up off the
// engine thread: the client waits (its route record holds the ticket) and
// this poll, run every LOOKUP_POLL_MS, starts its chain, refuses it, or
// gives up after RESOLVE_LIMIT_MS.
constexpr uint32_t LOOKUP_POLL_MS = 20;
void chain_lookups_poll();
// Tells whether a looked-up address is this machine (set by the front end).
using local_address_test = bool (*)(uint32_t addr);
void chain_set_local_test(local_address_test test);
// A looked-up or literal IPv4 address that is this machine, by the front
// end's test (127.0.0.1, the interfaces, the listener's address, and all
// of 127.0.0.0/8 while the listener takes every interface).
bool chain_address_is_local(uint32_t addr);

// Response head a CONNECT client gets once the destination is reached.
const char* chain_tunnel_head();

// Attaches the chain's kinds (chain, relay) and its periodic usage flush.
void chain_attach();

// Handler of kind 0xFFBD.
void chain_handler(int index, char letter);
// Handler of kind 0xFFBF: request rewriting, then the relay; the outcome is
// reported at 'X'.
void chain_relay_handler(int index, char letter);
// Makes an established pair relay (rewriting the first request on the way).
void chain_relay(int index);

// 'X' of either chain slot.
void chain_close(int index);

// Reports the outcome of a closing chain to the usage tally; `failed` set
// when the chain failed, `bytes` the bytes sent into the chain.
void chain_report(route_record& r, uint32_t bytes, int failed);
// The same, with its log lines on slot log_index (-1: none).
void chain_report(route_record& r, uint32_t bytes, int failed, int log_index);

// The client identification line ending in "\r\n" (flag 1: with the short
// suffix). One shared buffer, overwritten by the next call.
const char* client_id_line(int flag);
