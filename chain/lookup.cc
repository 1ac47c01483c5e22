// The lookup table and its workers. The table lives in one shared record
// that is never destroyed, so a worker still inside a slow resolver call
// at exit touches nothing that static destruction took away.
#include "chain/lookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "engine/loop.h"
#include "platform/clock.h"

namespace {

constexpr int WORKER_COUNT = 2;
constexpr uint32_t INDEX_BITS = 8;
constexpr uint32_t INDEX_MASK = (1u << INDEX_BITS) - 1;
static_assert(LOOKUP_CAPACITY < static_cast<int>(INDEX_MASK));

enum class entry_state : uint8_t { free, queued, running, answered };

struct entry {
  entry_state state;
  uint32_t serial;   // part of the ticket; moves on whenever the entry is let go
  uint32_t started;  // tick of lookup_begin
  uint32_t addr;
  uint32_t cookie;
  lookup_done_fn done;
  char name[LOOKUP_NAME_SIZE];
};

struct shared_table {
  std::mutex lock;
  std::condition_variable work;
  entry entries[LOOKUP_CAPACITY]{};
  uint32_t next_serial = 1;
  int workers = 0;
};

shared_table& table() {
  static shared_table* t = new shared_table;  // deliberately never destroyed
  return *t;
}

std::atomic<lookup_resolver_fn> resolver_hook{nullptr};

uint32_t system_resolve(const char* name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  uint32_t addr = 0;
  if (getaddrinfo(name, nullptr, &hints, &list) != 0 || list == nullptr) return 0;
  for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    addr = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
    break;
  }
  freeaddrinfo(list);
  return addr;
}

uint32_t ticket_of(int index, uint32_t serial) {
  return (serial << INDEX_BITS) | static_cast<uint32_t>(index + 1);
}

// Lets an entry go: whatever a worker still brings for it is dropped.
void release(entry& e) {
  e.state = entry_state::free;
  e.done = nullptr;
  ++e.serial;
}

int first_queued(const shared_table& t) {
  for (int i = 0; i < LOOKUP_CAPACITY; ++i)
    if (t.entries[i].state == entry_state::queued) return i;
  return -1;
}

void worker_main() {
  shared_table& t = table();
  char name[LOOKUP_NAME_SIZE];
  for (;;) {
    int index;
    uint32_t serial;
    {
      std::unique_lock<std::mutex> hold(t.lock);
      t.work.wait(hold, [&t] { return first_queued(t) >= 0; });
      index = first_queued(t);
      entry& e = t.entries[index];
      e.state = entry_state::running;
      serial = e.serial;
      std::memcpy(name, e.name, sizeof name);
    }
    const lookup_resolver_fn hook = resolver_hook.load();
    const uint32_t addr = hook != nullptr ? hook(name) : system_resolve(name);
    std::lock_guard<std::mutex> hold(t.lock);
    entry& e = t.entries[index];
    if (e.serial != serial || e.state != entry_state::running) continue;  // late: dropped
    e.addr = addr;
    e.state = entry_state::answered;
  }
}

// Called with the lock held.
void ensure_workers(shared_table& t) {
  while (t.workers < WORKER_COUNT) {
    try {
      std::thread(worker_main).detach();
    } catch (...) {
      return;
    }
    ++t.workers;
  }
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
  shared_table& t = table();
  std::lock_guard<std::mutex> hold(t.lock);
  for (int i = 0; i < LOOKUP_CAPACITY; ++i) {
    entry& e = t.entries[i];
    if (e.state != entry_state::free) continue;
    if (e.serial == 0 || e.serial > (0xFFFFFFFFu >> INDEX_BITS)) e.serial = 1;
    e.started = tick_now();
    e.addr = 0;
    e.cookie = cookie;
    e.done = done;
    std::memcpy(e.name, name.data(), name.size());
    e.name[name.size()] = 0;
    e.state = entry_state::queued;
    ensure_workers(t);
    t.work.notify_one();
    return ticket_of(i, e.serial);
  }
  return 0;
}

void lookup_cancel(uint32_t ticket) {
  const int index = static_cast<int>(ticket & INDEX_MASK) - 1;
  if (index < 0 || index >= LOOKUP_CAPACITY) return;
  shared_table& t = table();
  std::lock_guard<std::mutex> hold(t.lock);
  entry& e = t.entries[index];
  if (e.state != entry_state::free && e.serial == (ticket >> INDEX_BITS)) release(e);
}

void lookup_poll() {
  delivery out[LOOKUP_CAPACITY];
  int count = 0;
  {
    shared_table& t = table();
    std::lock_guard<std::mutex> hold(t.lock);
    const uint32_t now = tick_now();
    for (entry& e : t.entries) {
      if (e.state == entry_state::free) continue;
      const bool answered = e.state == entry_state::answered;
      if (!answered && now - e.started < LOOKUP_LIMIT_MS) continue;
      out[count++] = delivery{e.done, e.cookie, answered ? e.addr : 0};
      release(e);
    }
  }
  // Outside the lock: a callback may begin the next lookup.
  for (int i = 0; i < count; ++i) out[i].done(out[i].cookie, out[i].addr);
}

int lookup_pending() {
  shared_table& t = table();
  std::lock_guard<std::mutex> hold(t.lock);
  int n = 0;
  for (const entry& e : t.entries)
    if (e.state != entry_state::free) ++n;
  return n;
}

void lookup_attach() {
  engine_every(0, lookup_poll);
}

void lookup_reset() {
  shared_table& t = table();
  std::lock_guard<std::mutex> hold(t.lock);
  for (entry& e : t.entries)
    if (e.state != entry_state::free) release(e);
}

void lookup_set_resolver(lookup_resolver_fn fn) {
  resolver_hook.store(fn);
}
