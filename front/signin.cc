#include "front/signin.h"

#include <sys/random.h>

#include <cstring>

#include "db/accounts.h"
#include "platform/clock.h"
#include "util/ascii.h"
#include "util/passhash.h"
#include "util/registry.h"
#include "util/text.h"

namespace {

// What is known of the accounts: their count and "allow_socks4", read
// again after a change or when older than this.
constexpr uint32_t ACCOUNTS_REFRESH_MS = 30000;
bool accounts_known = false;
uint32_t accounts_read_at = 0;
int accounts = 0;
bool socks4_allowed = false;

void read_accounts() {
  if (accounts_known && tick_now() - accounts_read_at < ACCOUNTS_REFRESH_MS) return;
  accounts = account_count();
  uint32_t type = 0, flag = 0;
  size_t size = 0;
  socks4_allowed = false;
  if (reg_get("allow_socks4", &type, &flag, sizeof flag, &size))
    socks4_allowed = type == REG_DWORD ? flag != 0 : reinterpret_cast<char*>(&flag)[0] == '1';
  accounts_known = true;
  accounts_read_at = tick_now();
}

// Good checks kept: a salted digest of the pair and when it was made.
constexpr int CACHE_MAX = 64;
constexpr size_t DIGEST_SIZE = 33;
struct good_check {
  char digest[DIGEST_SIZE];
  uint32_t at;
};
good_check cache[CACHE_MAX];
int cache_count = 0;
uint8_t salt[16];
bool salted = false;

// The pair's digest, salted with bytes of this process, so a digest in
// memory says nothing of the password elsewhere.
bool pair_digest(std::string_view user, std::string_view pass, char* out) {
  if (!salted) salted = getrandom(salt, sizeof salt, 0) == sizeof salt;
  if (!salted || user.size() > ACCOUNT_NAME_MAX || pass.size() > PASS_MAX) return false;
  uint8_t bytes[sizeof salt + ACCOUNT_NAME_MAX + 1 + PASS_MAX];
  size_t n = 0;
  memcpy(bytes, salt, sizeof salt);
  n += sizeof salt;
  memcpy(bytes + n, user.data(), user.size());
  n += user.size();
  bytes[n++] = 0;
  memcpy(bytes + n, pass.data(), pass.size());
  n += pass.size();
  const bool ok = md5_hex(bytes, n, out) == 1;
  signin_wipe(bytes, sizeof bytes);
  return ok;
}

bool cached(const char* digest) {
  for (int i = 0; i < cache_count; ++i)
    if (strcmp(cache[i].digest, digest) == 0 && tick_now() - cache[i].at < SIGNIN_CACHE_MS)
      return true;
  return false;
}

void remember(const char* digest) {
  int place = cache_count < CACHE_MAX ? cache_count++ : 0;
  for (int i = 0; i < cache_count; ++i)
    if (static_cast<int32_t>(cache[i].at - cache[place].at) < 0) place = i;
  memcpy(cache[place].digest, digest, DIGEST_SIZE);
  cache[place].at = tick_now();
}

// Failed sign-ins per address.
constexpr int FAILURES_MAX = 64;
struct failure_record {
  net_address address;
  uint32_t first;      // start of the counting window
  uint32_t locked_at;  // when the lockout began (valid while locked)
  uint8_t count;
  bool locked;
};
failure_record failures[FAILURES_MAX];
int failure_count = 0;

bool same_address(const net_address& a, const net_address& b) {
  return a.family == b.family && memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

failure_record* failure_of(const net_address& a) {
  for (int i = 0; i < failure_count; ++i)
    if (same_address(failures[i].address, a)) return &failures[i];
  return nullptr;
}

void count_failure(const net_address& a) {
  const uint32_t now = tick_now();
  failure_record* r = failure_of(a);
  if (r == nullptr) {
    // A full table gives up the record with the oldest window.
    int place = 0;
    if (failure_count < FAILURES_MAX) {
      place = failure_count++;
    } else {
      for (int i = 1; i < FAILURES_MAX; ++i)
        if (static_cast<int32_t>(failures[i].first - failures[place].first) < 0) place = i;
    }
    r = &failures[place];
    *r = failure_record{a, now, 0, 0, false};
  }
  if (now - r->first >= SIGNIN_FAILURE_WINDOW_MS) {
    r->first = now;
    r->count = 0;
  }
  if (++r->count >= SIGNIN_FAILURES_MAX && !r->locked) {
    r->locked = true;
    r->locked_at = now;
  }
}

int base64_value(uint8_t c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Decodes base64 text into out; its length, or -1 when it is not base64
// or does not fit.
long base64_decode(const uint8_t* text, size_t n, char* out, size_t capacity) {
  while (n > 0 && text[n - 1] == '=') --n;
  size_t written = 0;
  uint32_t bits = 0;
  int held = 0;
  for (size_t i = 0; i < n; ++i) {
    const int v = base64_value(text[i]);
    if (v < 0) return -1;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    held += 6;
    if (held >= 8) {
      held -= 8;
      if (written >= capacity) return -1;
      out[written++] = static_cast<char>((bits >> held) & 0xFF);
    }
  }
  return static_cast<long>(written);
}

// Reads "Basic <base64>" of a header value into out.
void read_basic(const uint8_t* value, size_t n, http_signin& out) {
  while (n > 0 && ascii_is_blank(value[n - 1])) --n;
  if (n < 6 || !ascii_equal_folded(value, "BASIC", 5) || !ascii_is_blank(value[5])) return;
  size_t p = 5;
  while (p < n && ascii_is_blank(value[p])) ++p;
  const long len = base64_decode(value + p, n - p, out.pair, sizeof out.pair - 1);
  if (len <= 0) return;
  const void* colon = memchr(out.pair, ':', static_cast<size_t>(len));
  if (colon == nullptr) return;
  out.user_length = static_cast<size_t>(static_cast<const char*>(colon) - out.pair);
  out.pass_length = static_cast<size_t>(len) - out.user_length - 1;
  out.basic = true;
}

constexpr const char* HEADER = "PROXY-AUTHORIZATION";
constexpr size_t HEADER_LENGTH = 19;

}  // namespace

bool signin_required() {
  read_accounts();
  return accounts > 0;
}

bool signin_allow_socks4() {
  read_accounts();
  return socks4_allowed;
}

void signin_accounts_changed() {
  accounts_known = false;
  cache_count = 0;
  signin_wipe(cache, sizeof cache);
}

void signin_forget_all() {
  signin_accounts_changed();
  failure_count = 0;
}

bool signin_locked_out(const net_address& from) {
  failure_record* r = failure_of(from);
  if (r == nullptr || !r->locked) return false;
  if (tick_now() - r->locked_at < SIGNIN_LOCKOUT_MS) return true;
  *r = failures[--failure_count];
  return false;
}

bool signin_check(const net_address& from, std::string_view user, std::string_view pass) {
  if (signin_locked_out(from)) return false;
  char digest[DIGEST_SIZE];
  const bool digested = pair_digest(user, pass, digest);
  if (digested && cached(digest)) return true;
  char hash[PASS_HASH_SIZE];
  const bool good = account_hash(user, hash, sizeof hash) && pass_verify(pass, hash);
  if (!good) {
    count_failure(from);
    return false;
  }
  if (digested) remember(digest);
  return true;
}

long signin_socks5_read(std::span<const uint8_t> bytes, std::string_view& user,
                        std::string_view& pass) {
  if (bytes.size() < 2) return 0;
  if (bytes[0] != 1) return -1;
  const size_t ulen = bytes[1];
  if (bytes.size() < 3 + ulen) return 0;
  const size_t plen = bytes[2 + ulen];
  if (bytes.size() < 3 + ulen + plen) return 0;
  user = std::string_view(reinterpret_cast<const char*>(bytes.data()) + 2, ulen);
  pass = std::string_view(reinterpret_cast<const char*>(bytes.data()) + 3 + ulen, plen);
  return static_cast<long>(3 + ulen + plen);
}

bool signin_http_find(std::span<const uint8_t> head, http_signin& out) {
  out = http_signin{};
  const uint8_t* d = head.data();
  const size_t n = head.size();
  // Lines after the request line.
  size_t line = 0;
  while (line < n && d[line] != '\n') ++line;
  ++line;
  while (line < n) {
    size_t end = line;
    while (end < n && d[end] != '\n') ++end;
    const size_t next = end < n ? end + 1 : n;
    if (end - line > HEADER_LENGTH && ascii_equal_folded(d + line, HEADER, HEADER_LENGTH)) {
      size_t p = line + HEADER_LENGTH;
      while (p < end && ascii_is_blank(d[p])) ++p;
      if (p < end && d[p] == ':') {
        if (out.line_end == out.line_start) {
          out.line_start = line;
          out.line_end = next;
          size_t v = p + 1;
          while (v < end && ascii_is_blank(d[v])) ++v;
          size_t stop = end;
          if (stop > v && d[stop - 1] == '\r') --stop;
          read_basic(d + v, stop - v, out);
        }
        return true;
      }
    }
    line = next;
  }
  return false;
}

void signin_wipe(void* bytes, size_t n) {
  explicit_bzero(bytes, n);
}
