// Who may use the proxy port: the "allow_clients" list of addresses and
// ranges (registry; read when the listener is created and at SIGHUP), the
// check at accept with its counter and its console line (once a minute per
// source), the panel kept to this machine unless "panel_remote" is set, and
// the 30 s a client has to send its request.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/netrange.h"

// Ranges the list holds at most.
constexpr int ACCESS_RANGES_MAX = 64;
// A client that has not sent its whole request this long after its last
// byte (or its connect) is closed: nothing is relayed for it yet.
constexpr uint32_t CLIENT_REQUEST_MS = 30000;
// How often the refusal of one source is told on standard error.
constexpr uint32_t ACCESS_TELL_MS = 60000;

// Reads "allow_clients" and "panel_remote" from the registry; without a
// list, the default for listen_ip: loopback only when it is a loopback
// address, loopback plus the private and link-local ranges otherwise. A
// list with a bad entry is told on standard error and the default is used.
void access_configure(const char* listen_ip);
// The same from given texts (tests): list null for the default.
void access_configure_with(const char* listen_ip, const char* list, bool panel_remote);

bool access_allows(const net_address& address);
// True when the listener takes loopback clients only (its address is a
// loopback one).
bool access_listener_loopback();
// "who may connect" for the start line ("127.0.0.0/8 ::1 10.0.0.0/8 ...").
size_t access_describe(char* out, size_t capacity);

// The engine's accept check (engine_set_accept_check): closes a client
// from outside the list, counts and tells it; arms the request deadline of
// a client let in.
bool access_accept(int index);

// The address of the slot's peer; family 0 when it cannot be read.
net_address access_peer(int index);
// True when the slot's client may reach the panel: a connection from this
// machine (127.0.0.1, ::1, or from the very address it reached), or any
// client while "panel_remote" is set.
bool access_panel_allowed(int index);
// The rule under access_panel_allowed: peer and the local end of the
// connection.
bool access_is_this_machine(const net_address& peer, const net_address& local);
