#include "front/signin.h"

#include <sys/random.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "db/accounts.h"
#include "engine/slot.h"
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

// Checks waiting for the worker thread. The engine thread fills a free
// place and marks it queued; the worker alone touches a queued place and
// marks it done; the engine thread takes the answer and frees it.
constexpr int TICKETS = 16;
enum class ticket_state : uint8_t { free, queued, done };
struct ticket {
  ticket_state state;
  bool good;
  bool digested;
  int sock;
  uint32_t serial;
  net_address from;
  char digest[DIGEST_SIZE];
  char user[ACCOUNT_NAME_MAX + 1];
  char pass[PASS_MAX + 1];
  size_t user_length, pass_length;
};
ticket tickets[TICKETS];
std::mutex& ticket_lock = *new std::mutex;
std::condition_variable& ticket_ready = *new std::condition_variable;
bool worker_started = false;
signin_resume_fn resume_slot = nullptr;

// The worker: the stored hash and the check, for each queued place.
void check_worker() {
  for (;;) {
    int k = -1;
    {
      std::unique_lock<std::mutex> hold(ticket_lock);
      ticket_ready.wait(hold, [&] {
        for (int i = 0; i < TICKETS; ++i)
          if (tickets[i].state == ticket_state::queued) k = i;
        return k >= 0;
      });
    }
    ticket& t = tickets[k];
    char hash[PASS_HASH_SIZE];
    const bool good = account_hash({t.user, t.user_length}, hash, sizeof hash) &&
                      pass_verify({t.pass, t.pass_length}, hash);
    signin_wipe(t.pass, sizeof t.pass);
    std::lock_guard<std::mutex> hold(ticket_lock);
    t.good = good;
    t.state = ticket_state::done;
  }
}

// The place of slot `index` (its socket and serial), or -1.
int ticket_of(int index) {
  const conn_slot& slot = conn_table[index];
  std::lock_guard<std::mutex> hold(ticket_lock);
  for (int i = 0; i < TICKETS; ++i)
    if (tickets[i].state != ticket_state::free && tickets[i].sock == slot.sock &&
        tickets[i].serial == slot.serial)
      return i;
  return -1;
}

// Queues the check; false when every place is taken (or the pair does not
// fit one).
bool queue_check(int index, const net_address& from, std::string_view user, std::string_view pass,
                 const char* digest, bool digested) {
  if (user.size() > ACCOUNT_NAME_MAX || pass.size() > PASS_MAX) return false;
  std::lock_guard<std::mutex> hold(ticket_lock);
  for (ticket& t : tickets) {
    if (t.state != ticket_state::free) continue;
    t = ticket{};
    t.sock = conn_table[index].sock;
    t.serial = conn_table[index].serial;
    t.from = from;
    t.digested = digested;
    if (digested) memcpy(t.digest, digest, DIGEST_SIZE);
    memcpy(t.user, user.data(), user.size());
    t.user_length = user.size();
    memcpy(t.pass, pass.data(), pass.size());
    t.pass_length = pass.size();
    t.state = ticket_state::queued;
    if (!worker_started) {
      std::thread(check_worker).detach();
      worker_started = true;
    }
    ticket_ready.notify_one();
    return true;
  }
  return false;
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

signin_outcome signin_check_slot(int index, const net_address& from, std::string_view user,
                                 std::string_view pass) {
  if (signin_locked_out(from)) return signin_outcome::refused;
  const int k = ticket_of(index);
  if (k >= 0) {
    std::lock_guard<std::mutex> hold(ticket_lock);
    ticket& t = tickets[k];
    if (t.state == ticket_state::queued) return signin_outcome::waiting;
    const bool good = t.good;
    if (good && t.digested) remember(t.digest);
    if (!good) count_failure(from);
    signin_wipe(&t, sizeof t);  // state free
    return good ? signin_outcome::ok : signin_outcome::refused;
  }
  char digest[DIGEST_SIZE];
  const bool digested = pair_digest(user, pass, digest);
  if (digested && cached(digest)) return signin_outcome::ok;
  if (queue_check(index, from, user, pass, digest, digested)) return signin_outcome::waiting;
  return signin_check(from, user, pass) ? signin_outcome::ok : signin_outcome::refused;
}

void signin_set_resume(signin_resume_fn resume) {
  resume_slot = resume;
}

int32_t signin_wait_ms() {
  std::lock_guard<std::mutex> hold(ticket_lock);
  for (const ticket& t : tickets)
    if (t.state != ticket_state::free) return 0;
  return -1;
}

void signin_poll() {
  for (int i = 0; i < TICKETS; ++i) {
    int sock = -1;
    uint32_t serial = 0;
    {
      std::lock_guard<std::mutex> hold(ticket_lock);
      if (tickets[i].state != ticket_state::done) continue;
      sock = tickets[i].sock;
      serial = tickets[i].serial;
    }
    const int index = slot_find_by_socket(sock);
    if (index >= 0 && conn_table[index].serial == serial && resume_slot != nullptr) {
      resume_slot(index);
    }
    // Not taken (the slot is gone or moved on): the place is freed.
    std::lock_guard<std::mutex> hold(ticket_lock);
    if (tickets[i].state == ticket_state::done && tickets[i].sock == sock &&
        tickets[i].serial == serial)
      signin_wipe(&tickets[i], sizeof tickets[i]);
  }
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
