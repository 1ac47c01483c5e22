// The reverse-lookup worker: a thread fed through a small fixed queue of
// messages (a lookup request, or the request to end), which writes each
// found name into the proxy table.
#include "maintenance/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "db/db.h"
#include "engine/slot.h"
#include "maintenance/sql.h"
#include "platform/stop.h"
#include "util/literal.h"

namespace {

constexpr uint32_t WM_CLOSE = 16;
constexpr uint32_t WM_RESOLVE = 5536;
constexpr int QUEUE_SIZE = 64;
constexpr int NAME_SIZE = 96;

struct message {
  uint32_t number;
  uint32_t param1;  // port
  uint32_t param2;  // address, network byte order
};

std::mutex queue_lock;
std::condition_variable queue_signal;
message queue[QUEUE_SIZE];
int queue_head = 0;
int queue_count = 0;

std::thread worker;
std::mutex state_lock;
std::condition_variable state_signal;
bool worker_started = false;   // a thread object exists
bool worker_ready = false;     // the thread has started running
bool worker_finished = false;  // the thread has returned

// The statement is decoded on the engine thread before the worker exists,
// so the worker never touches the literal store.
const char* name_statement = nullptr;

bool post(uint32_t number, uint32_t p1, uint32_t p2) {
  std::lock_guard<std::mutex> hold(queue_lock);
  if (queue_count >= QUEUE_SIZE) return false;
  queue[(queue_head + queue_count) % QUEUE_SIZE] = message{number, p1, p2};
  ++queue_count;
  queue_signal.notify_one();
  return true;
}

void resolve_and_store(uint32_t addr, uint16_t port) {
  char name[NAME_SIZE];  // per call: the worker and the fallback may overlap
  resolver_lookup_name(addr, name, sizeof name);
  if (name_statement != nullptr)
    db_exec(name_statement, name, static_cast<unsigned>(addr), static_cast<unsigned>(port));
}

// Each worker knows its generation; one left behind by resolver_stop
// (hanging in a lookup) sees a newer generation and ends without touching
// the queue or the state of its successor.
std::atomic<uint32_t> generation{0};

void worker_main(uint32_t gen) {
  {
    std::lock_guard<std::mutex> hold(state_lock);
    if (gen == generation.load()) worker_ready = true;
  }
  state_signal.notify_all();
  while (stop_flag.load() == 0 && gen == generation.load()) {
    message m{};
    {
      std::unique_lock<std::mutex> hold(queue_lock);
      if (queue_count == 0)
        queue_signal.wait_for(hold, std::chrono::milliseconds(60000),
                              [] { return queue_count > 0 || stop_flag.load() != 0; });
      if (queue_count == 0 || gen != generation.load()) continue;
      m = queue[queue_head];
      queue_head = (queue_head + 1) % QUEUE_SIZE;
      --queue_count;
    }
    if (m.number == WM_CLOSE) break;
    if (m.number == WM_RESOLVE) resolve_and_store(m.param2, static_cast<uint16_t>(m.param1));
  }
  {
    std::lock_guard<std::mutex> hold(state_lock);
    if (gen == generation.load()) worker_finished = true;
  }
  state_signal.notify_all();
}

bool worker_running() {
  std::lock_guard<std::mutex> hold(state_lock);
  return worker_started && !worker_finished;
}

void start_worker() {
  if (worker.joinable()) {
    // A previous worker has ended; collect it.
    worker.join();
  }
  {
    std::lock_guard<std::mutex> hold(state_lock);
    worker_ready = false;
    worker_finished = false;
    worker_started = false;
  }
  {
    std::lock_guard<std::mutex> hold(queue_lock);
    queue_head = 0;
    queue_count = 0;
  }
  try {
    worker = std::thread(worker_main, generation.load());
  } catch (...) {
    return;
  }
  std::unique_lock<std::mutex> hold(state_lock);
  worker_started = true;
  state_signal.wait_for(hold, std::chrono::milliseconds(1000), [] { return worker_ready; });
}

std::atomic<resolver_lookup_fn> lookup_hook{nullptr};

bool system_lookup(uint32_t addr, char* name, int capacity) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  return getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, name,
                     static_cast<socklen_t>(capacity), nullptr, 0, NI_NAMEREQD) == 0;
}

}  // namespace

void resolver_set_lookup(resolver_lookup_fn fn) {
  lookup_hook.store(fn);
}

void resolver_lookup_name(uint32_t addr, char* out, int capacity) {
  char host[NI_MAXHOST];
  resolver_lookup_fn hook = lookup_hook.load();
  if (hook != nullptr ? hook(addr, host, sizeof host) : system_lookup(addr, host, sizeof host)) {
    std::snprintf(out, static_cast<size_t>(capacity), "%.95s", host);
  } else {
    std::snprintf(out, static_cast<size_t>(capacity), "%u.%u.%u.%u", addr & 0xFF,
                  (addr >> 8) & 0xFF, (addr >> 16) & 0xFF, addr >> 24);
  }
}

void request_host_name(uint32_t addr, uint16_t port) {
  if (name_statement == nullptr)
    name_statement = MV_LIT("UPDATE " MAINT_PROXY_TABLE " SET host=%Q WHERE ip=%u AND port=%u");
  if (!worker_running()) start_worker();
  if (worker_running() && post(WM_RESOLVE, port, addr)) return;
  resolve_and_store(addr, port);
}

void resolver_stop() {
  if (!worker.joinable()) return;
  post(WM_CLOSE, 0, 0);
  bool ended;
  {
    std::unique_lock<std::mutex> hold(state_lock);
    ended = state_signal.wait_for(hold, std::chrono::milliseconds(5000),
                                  [] { return worker_finished; });
  }
  if (ended) {
    worker.join();
  } else {
    // A lookup hangs in the system resolver: leave the thread behind; it
    // ends by itself once the lookup returns.
    worker.detach();
  }
  generation.fetch_add(1);
  std::lock_guard<std::mutex> hold(state_lock);
  worker_started = false;
}
