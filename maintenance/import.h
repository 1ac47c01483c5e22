// Import of proxy lists: the tolerant scanner that pulls every dotted
// address and port out of free text (web pages, pasted lists, checker
// replies) and adds the pairs the proxy table does not hold yet.
#pragma once

#include <cstdint>

#include "db/db.h"

// Imports text up to its NUL: a line in the proxy form below is taken with
// its credentials (new ones replace those of a known proxy); the rest is
// scanned for addresses. With lower_limit set, scanned ports below 80 are
// skipped. Returns the malloc'd summary "{count:%d, added:%d}" (caller
// frees), or null when memory cannot be had; when lines had credentials or
// were skipped it goes on with ", credentials:%d, skipped:%d,
// bad_scheme:%d, bad_address:%d, bad_credentials:%d}".
char* import_proxy_list(const char* text, int lower_limit);

// The same import in steps, for the engine thread: one batch of 1,000 rows
// in its own transaction per engine cycle, so clients are served between
// batches. done(summary, ref, label) runs on the engine thread when the
// import is through (summary as above, the callee frees it; null without
// memory); done may be null. Imports run one after another in the order
// started. False, with nothing started, when 8 are waiting already or
// memory cannot be had.
constexpr size_t IMPORT_LABEL_SIZE = 200;
constexpr int IMPORT_JOBS = 8;
using import_done_fn = void (*)(char* summary, uint64_t ref, const char* label);
bool import_start(const char* text, int lower_limit, import_done_fn done, uint64_t ref,
                  const char* label);
// Imports started and not through yet.
int import_pending();

// The scanner alone: calls found(addr, port, user) for every accepted pair,
// addr being the proxy table's ip number (first octet in the low byte).
// Returns the number of pairs found.
int import_scan(const char* text, int lower_limit, void (*found)(uint32_t, uint16_t, void*),
                void* user);

// One line of a list in the proxy form [scheme://][user:pass@]a.b.c.d:port
// (schemes socks4, socks4a, socks5, socks5h, http, https; %XX decoded in
// user and password).
struct proxy_line {
  uint32_t addr;  // network byte order
  uint16_t port;
  uint16_t protocol;  // the scheme's protocol bit, 0 without a scheme
  char user[PROXY_LOGIN_MAX];
  char pass[PROXY_LOGIN_MAX];
  uint8_t user_length;
  uint8_t pass_length;
};
enum class line_form { plain, proxy, bad_scheme, bad_address, bad_credentials };
// Reads the line [p, end). `plain` when it has neither a scheme nor a
// sign-in, or holds blanks, quotes or markup (free text for the tolerant
// scan); otherwise the proxy form or why it was skipped.
line_form parse_proxy_line(const char* p, const char* end, proxy_line& out);
