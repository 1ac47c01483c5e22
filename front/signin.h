// Client sign-in on the proxy port, once at least one client account
// exists (db/accounts.h): the SOCKS5 user/password exchange (RFC 1929) and
// HTTP's "Proxy-Authorization: Basic" read from client bytes, the check
// against the stored hash, the 10 min memory of good checks (by a digest of
// the pair, never the pair itself), and the one-minute lockout of an
// address after 5 failed sign-ins within a minute. The hash of a check
// that is not kept runs on a worker thread. "allow_socks4" (registry) lets
// SOCKS4 clients, which cannot carry a password, in anyway.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "util/netrange.h"

constexpr uint32_t SIGNIN_CACHE_MS = 600000;
constexpr int SIGNIN_FAILURES_MAX = 5;
constexpr uint32_t SIGNIN_FAILURE_WINDOW_MS = 60000;
constexpr uint32_t SIGNIN_LOCKOUT_MS = 60000;

// True when clients must sign in (an account exists).
bool signin_required();
bool signin_allow_socks4();
// Accounts changed (or the registry was read again): the count, the good
// checks kept and "allow_socks4" are read afresh.
void signin_accounts_changed();
// Forgets everything, lockouts included (tests).
void signin_forget_all();

// Checks a pair for a client at `from` on the calling thread; counts a
// failure against it.
bool signin_check(const net_address& from, std::string_view user, std::string_view pass);

// The same for the client in slot `index`, without holding up the engine:
// a kept good check or a lockout answers at once; otherwise the hash is
// checked on a worker thread, the answer is `waiting`, and once it is in
// the resume callback runs for the slot, whose next call gets it. With
// every one of the 16 places for waiting checks taken, the check runs here.
enum class signin_outcome { ok, refused, waiting };
signin_outcome signin_check_slot(int index, const net_address& from, std::string_view user,
                                 std::string_view pass);
// Hands finished checks back to their slots (an engine timer, every 10 ms).
void signin_poll();
// 0 while a check is queued or its answer waits to be taken, else -1
// (nothing to poll: the engine arms no timer for it).
int32_t signin_wait_ms();
constexpr uint32_t SIGNIN_POLL_MS = 10;
using signin_resume_fn = void (*)(int index);
void signin_set_resume(signin_resume_fn resume);
// True while `from` is locked out after failed sign-ins.
bool signin_locked_out(const net_address& from);

// SOCKS5 sign-in request (version 1, name, password) at the start of
// bytes: its length, 0 while incomplete, -1 when it is not one. user and
// pass point into bytes.
long signin_socks5_read(std::span<const uint8_t> bytes, std::string_view& user,
                        std::string_view& pass);

// The "Proxy-Authorization" line of an HTTP head and what it carries.
struct http_signin {
  size_t line_start = 0, line_end = 0;  // the line, CR LF included; equal when none
  char pair[384] = {};                  // decoded "user:pass"
  size_t user_length = 0, pass_length = 0;
  bool basic = false;  // a Basic line whose pair decoded
  std::string_view user() const { return {pair, user_length}; }
  std::string_view pass() const { return {pair + user_length + 1, pass_length}; }
};
// Finds the line in head (the header block, request line first); false
// when there is none. Every such line is found (the first Basic one is
// read), so that the caller can remove them all.
bool signin_http_find(std::span<const uint8_t> head, http_signin& out);
// Wipes what a check held (a decoded pair).
void signin_wipe(void* bytes, size_t n);
