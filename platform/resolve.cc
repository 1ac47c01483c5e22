#include "platform/resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

int resolve_with_getaddrinfo(const char* host, uint32_t* addrs, int max) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) return 0;
  int n = 0;
  for (addrinfo* p = res; p != nullptr && n < max; p = p->ai_next) {
    if (p->ai_family != AF_INET || p->ai_addr == nullptr) continue;
    addrs[n++] = reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
  }
  freeaddrinfo(res);
  return n;
}

std::atomic<host_resolver> active{resolve_with_getaddrinfo};

enum class entry_state : uint8_t { free, queued, running, done, failed, abandoned };
struct lookup_entry {
  entry_state state;
  uint32_t addr;
  char host[256];
};
lookup_entry table[RESOLVE_TABLE];
// Never destroyed: the workers may still wait on them while the process ends.
std::mutex& table_lock = *new std::mutex;
std::condition_variable& work_ready = *new std::condition_variable;
bool workers_started = false;

void lookup_worker() {
  for (;;) {
    char host[256];
    int picked = -1;
    {
      std::unique_lock<std::mutex> hold(table_lock);
      work_ready.wait(hold, [] {
        for (const lookup_entry& e : table)
          if (e.state == entry_state::queued) return true;
        return false;
      });
      for (int i = 0; i < RESOLVE_TABLE && picked < 0; ++i) {
        if (table[i].state != entry_state::queued) continue;
        picked = i;
        table[i].state = entry_state::running;
        memcpy(host, table[i].host, sizeof host);
      }
    }
    if (picked < 0) continue;
    uint32_t addr = 0;
    const bool found = resolve_ipv4(host, &addr, 1) == 1 && addr != 0 && addr != 0xFFFFFFFFu;
    std::lock_guard<std::mutex> hold(table_lock);
    lookup_entry& e = table[picked];
    if (e.state == entry_state::abandoned) {
      e.state = entry_state::free;
    } else {
      e.addr = addr;
      e.state = found ? entry_state::done : entry_state::failed;
    }
  }
}

}  // namespace

int resolve_ipv4(const char* host, uint32_t* addrs, int max) {
  if (host == nullptr || host[0] == 0 || addrs == nullptr || max <= 0) return 0;
  return active.load()(host, addrs, max);
}

void resolver_set(host_resolver resolver) {
  active = resolver != nullptr ? resolver : resolve_with_getaddrinfo;
}

bool ipv4_literal(const char* text, uint32_t* addr) {
  if (text == nullptr || text[0] == 0) return false;
  in_addr parsed{};
  if (inet_aton(text, &parsed) == 0) return false;
  if (addr != nullptr) *addr = parsed.s_addr;
  return true;
}

bool ipv6_literal(const char* text, uint8_t (&addr)[16]) {
  if (text == nullptr) return false;
  size_t n = strnlen(text, 64);
  if (n >= 2 && text[0] == '[' && text[n - 1] == ']') {
    ++text;
    n -= 2;
  }
  if (n == 0 || n > INET6_ADDRSTRLEN) return false;
  char plain[INET6_ADDRSTRLEN + 1];
  memcpy(plain, text, n);
  plain[n] = 0;
  return inet_pton(AF_INET6, plain, addr) == 1;
}

bool is_localhost_name(const char* host) {
  if (host == nullptr) return false;
  size_t n = strnlen(host, 256);
  if (n > 0 && host[n - 1] == '.') --n;  // a fully qualified "localhost."
  if (n == 9 && strncasecmp(host, "localhost", 9) == 0) return true;
  return n > 10 && strncasecmp(host + n - 10, ".localhost", 10) == 0;
}

void host_for_display(const char* host, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  uint8_t v6[16];
  if (host != nullptr && host[0] != '[' && ipv6_literal(host, v6))
    snprintf(out, size, "[%s]", host);
  else
    snprintf(out, size, "%s", host != nullptr ? host : "");
}

int resolve_start(const char* host) {
  if (host == nullptr || host[0] == 0 || strnlen(host, 256) >= 256) return -1;
  std::lock_guard<std::mutex> hold(table_lock);
  if (!workers_started) {
    for (int i = 0; i < RESOLVE_WORKERS; ++i) std::thread(lookup_worker).detach();
    workers_started = true;
  }
  for (int i = 0; i < RESOLVE_TABLE; ++i) {
    if (table[i].state != entry_state::free) continue;
    table[i].state = entry_state::queued;
    table[i].addr = 0;
    snprintf(table[i].host, sizeof table[i].host, "%s", host);
    work_ready.notify_one();
    return i;
  }
  return -1;
}

resolve_state resolve_poll(int ticket, uint32_t* addr) {
  if (ticket < 0 || ticket >= RESOLVE_TABLE) return resolve_state::failed;
  std::lock_guard<std::mutex> hold(table_lock);
  lookup_entry& e = table[ticket];
  if (e.state == entry_state::done) {
    if (addr != nullptr) *addr = e.addr;
    e.state = entry_state::free;
    return resolve_state::done;
  }
  if (e.state == entry_state::failed) {
    e.state = entry_state::free;
    return resolve_state::failed;
  }
  return e.state == entry_state::free || e.state == entry_state::abandoned ? resolve_state::failed
                                                                           : resolve_state::pending;
}

void resolve_cancel(int ticket) {
  if (ticket < 0 || ticket >= RESOLVE_TABLE) return;
  std::lock_guard<std::mutex> hold(table_lock);
  lookup_entry& e = table[ticket];
  if (e.state == entry_state::running)
    e.state = entry_state::abandoned;  // the worker frees it when the answer comes
  else
    e.state = entry_state::free;
}

bool resolve_busy() {
  std::lock_guard<std::mutex> hold(table_lock);
  for (const lookup_entry& e : table)
    if (e.state != entry_state::free && e.state != entry_state::abandoned) return true;
  return false;
}
