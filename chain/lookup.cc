// The callback table over the resolver workers of platform/resolve.h: each
// request holds the worker ticket, its callback and its time limit. Used on
// the engine thread only (the workers never touch this table).
#include "chain/lookup.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <atomic>
#include <cstring>

#include "engine/loop.h"
#include "platform/clock.h"
#include "platform/resolve.h"

namespace {

constexpr uint32_t INDEX_BITS = 8;
constexpr uint32_t INDEX_MASK = (1u << INDEX_BITS) - 1;
static_assert(LOOKUP_CAPACITY < static_cast<int>(INDEX_MASK));

struct entry {
  bool used;
  int worker_ticket;  // of resolve_start
  uint32_t serial;    // part of the ticket; moves on whenever the entry is let go
  uint32_t started;   // tick of lookup_begin
  uint32_t cookie;
  lookup_done_fn done;
};

entry entries[LOOKUP_CAPACITY];

std::atomic<lookup_resolver_fn> resolver_hook{nullptr};

// The test's one-address resolver in the workers' form.
int hooked_resolve(const char* host, uint32_t* addrs, int max) {
  const lookup_resolver_fn hook = resolver_hook.load();
  const uint32_t addr = hook != nullptr ? hook(host) : 0;
  if (addr == 0 || max < 1) return 0;
  addrs[0] = addr;
  return 1;
}

uint32_t ticket_of(int index, uint32_t serial) {
  return (serial << INDEX_BITS) | static_cast<uint32_t>(index + 1);
}

// Lets an entry go: whatever the worker still brings for it is dropped.
void release(entry& e) {
  if (e.worker_ticket >= 0) resolve_cancel(e.worker_ticket);
  e.worker_ticket = -1;
  e.used = false;
  e.done = nullptr;
  ++e.serial;
}

struct delivery {
  lookup_done_fn done;
  uint32_t cookie;
  uint32_t addr;
};

}  // namespace

bool lookup_literal(std::string_view name, uint32_t* addr) {
  *addr = 0;
  if (name.empty()) return true;
  // Names under the reserved ".invalid" domain never resolve: no name
  // server is asked about them.
  constexpr std::string_view invalid = ".invalid";
  if (name.size() >= invalid.size() &&
      strncasecmp(name.data() + name.size() - invalid.size(), invalid.data(), invalid.size()) == 0)
    return true;
  char text[16];
  if (name.size() >= sizeof text) return false;
  std::memcpy(text, name.data(), name.size());
  text[name.size()] = 0;
  in_addr parsed{};
  if (inet_pton(AF_INET, text, &parsed) != 1) return false;
  if (parsed.s_addr != INADDR_ANY && parsed.s_addr != INADDR_NONE) *addr = parsed.s_addr;
  return true;
}

uint32_t lookup_begin(std::string_view name, lookup_done_fn done, uint32_t cookie) {
  if (done == nullptr || name.empty() || name.size() >= LOOKUP_NAME_SIZE) return 0;
  for (int i = 0; i < LOOKUP_CAPACITY; ++i) {
    entry& e = entries[i];
    if (e.used) continue;
    char text[LOOKUP_NAME_SIZE];
    std::memcpy(text, name.data(), name.size());
    text[name.size()] = 0;
    const int worker_ticket = resolve_start(text);
    if (worker_ticket < 0) return 0;
    if (e.serial == 0 || e.serial > (0xFFFFFFFFu >> INDEX_BITS)) e.serial = 1;
    e = entry{true, worker_ticket, e.serial, tick_now(), cookie, done};
    return ticket_of(i, e.serial);
  }
  return 0;
}

void lookup_cancel(uint32_t ticket) {
  const int index = static_cast<int>(ticket & INDEX_MASK) - 1;
  if (index < 0 || index >= LOOKUP_CAPACITY) return;
  entry& e = entries[index];
  if (e.used && e.serial == (ticket >> INDEX_BITS)) release(e);
}

void lookup_poll() {
  delivery out[LOOKUP_CAPACITY];
  int count = 0;
  const uint32_t now = tick_now();
  for (entry& e : entries) {
    if (!e.used) continue;
    uint32_t addr = 0;
    const resolve_state state = resolve_poll(e.worker_ticket, &addr);
    if (state == resolve_state::pending && now - e.started < LOOKUP_LIMIT_MS) continue;
    if (state != resolve_state::pending) e.worker_ticket = -1;  // the worker's entry is free
    out[count++] = delivery{e.done, e.cookie, state == resolve_state::done ? addr : 0};
    release(e);
  }
  // After the walk: a callback may begin the next lookup.
  for (int i = 0; i < count; ++i) out[i].done(out[i].cookie, out[i].addr);
}

int lookup_pending() {
  int n = 0;
  for (const entry& e : entries)
    if (e.used) ++n;
  return n;
}

void lookup_attach() {
  engine_every(0, lookup_poll, [] { return lookup_pending() > 0 ? 0 : ENGINE_IDLE; });
}

void lookup_reset() {
  for (entry& e : entries)
    if (e.used) release(e);
}

void lookup_set_resolver(lookup_resolver_fn fn) {
  resolver_hook.store(fn);
  resolver_set(fn != nullptr ? hooked_resolve : nullptr);
}
