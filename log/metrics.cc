#include "log/metrics.h"

#include <cstdarg>
#include <cstdio>

metrics_counters metrics;

void metrics_chain_closed(bool ok, uint64_t up, uint64_t down) {
  (ok ? metrics.chains_ok : metrics.chains_failed).fetch_add(1, std::memory_order_relaxed);
  metrics.relay_up.fetch_add(up, std::memory_order_relaxed);
  metrics.relay_down.fetch_add(down, std::memory_order_relaxed);
}

void metrics_chain_retried() {
  metrics.chain_retries.fetch_add(1, std::memory_order_relaxed);
}

void metrics_rule_matched(int action) {
  std::atomic<uint64_t>* counters[] = {&metrics.rule_direct, &metrics.rule_chain,
                                       &metrics.rule_block};
  if (action >= 1 && action <= 3) counters[action - 1]->fetch_add(1, std::memory_order_relaxed);
}

void metrics_chain_race(bool second_won) {
  (second_won ? metrics.races_second : metrics.races_first).fetch_add(1, std::memory_order_relaxed);
}

void metrics_client_refused(client_refusal why) {
  (why == client_refusal::address ? metrics.refused_address : metrics.refused_signin)
      .fetch_add(1, std::memory_order_relaxed);
}

void metrics_check_done(bool ok) {
  (ok ? metrics.checks_ok : metrics.checks_failed).fetch_add(1, std::memory_order_relaxed);
}

void metrics_check_queue(uint32_t queue, uint32_t running) {
  metrics.check_queue.store(queue, std::memory_order_relaxed);
  metrics.checks_running.store(running, std::memory_order_relaxed);
}

void metrics_reset() {
  for (std::atomic<uint64_t>* c :
       {&metrics.chains_ok, &metrics.chains_failed, &metrics.chain_retries, &metrics.races_first,
        &metrics.races_second, &metrics.relay_up, &metrics.relay_down, &metrics.checks_ok,
        &metrics.checks_failed, &metrics.check_queue, &metrics.checks_running,
        &metrics.refused_address, &metrics.refused_signin, &metrics.rule_direct,
        &metrics.rule_chain, &metrics.rule_block})
    c->store(0);
}

namespace {

// A bounded writer: once something does not fit, everything fails.
struct writer {
  char* out;
  size_t capacity, len = 0;
  bool ok = true;
  void put(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (!ok) return;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(out + len, capacity - len, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= capacity - len) {
      ok = false;
      return;
    }
    len += static_cast<size_t>(n);
  }
  void family(const char* name, const char* type, const char* help) {
    put("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
  }
  void labelled(const char* name, const char* label, const char* value, uint64_t n) {
    put("%s{%s=\"%s\"} %llu\n", name, label, value, static_cast<unsigned long long>(n));
  }
  void plain(const char* name, uint64_t n) {
    put("%s %llu\n", name, static_cast<unsigned long long>(n));
  }
};

uint64_t read(const std::atomic<uint64_t>& c) {
  return c.load(std::memory_order_relaxed);
}

}  // namespace

size_t metrics_render(const metrics_sample& sample, char* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  writer w{out, capacity};
  w.family("merovane_chains_total", "counter", "Client chains finished, by outcome.");
  w.labelled("merovane_chains_total", "result", "ok", read(metrics.chains_ok));
  w.labelled("merovane_chains_total", "result", "failed", read(metrics.chains_failed));
  w.family("merovane_chain_retries_total", "counter", "Chains built again after a failed hop.");
  w.plain("merovane_chain_retries_total", read(metrics.chain_retries));
  w.family("merovane_chain_races_total", "counter",
           "Races between two attempts of one client, by the attempt that won.");
  w.labelled("merovane_chain_races_total", "winner", "first", read(metrics.races_first));
  w.labelled("merovane_chain_races_total", "winner", "second", read(metrics.races_second));
  w.family("merovane_rule_matches_total", "counter",
           "Destinations that matched a rule, by action.");
  w.labelled("merovane_rule_matches_total", "action", "direct", read(metrics.rule_direct));
  w.labelled("merovane_rule_matches_total", "action", "chain", read(metrics.rule_chain));
  w.labelled("merovane_rule_matches_total", "action", "block", read(metrics.rule_block));
  w.family("merovane_relay_bytes_total", "counter",
           "Bytes of finished chains: up to the proxies, down from them.");
  w.labelled("merovane_relay_bytes_total", "direction", "up", read(metrics.relay_up));
  w.labelled("merovane_relay_bytes_total", "direction", "down", read(metrics.relay_down));
  w.family("merovane_clients_refused_total", "counter",
           "Clients closed at accept: address not allowed, or locked out after failed sign-ins.");
  w.labelled("merovane_clients_refused_total", "reason", "address", read(metrics.refused_address));
  w.labelled("merovane_clients_refused_total", "reason", "sign-in", read(metrics.refused_signin));
  w.family("merovane_slots", "gauge", "Connection slots in use, by kind.");
  for (size_t i = 0; i < sample.slot_count; ++i)
    w.labelled("merovane_slots", "kind", sample.slots[i].label, sample.slots[i].value);
  w.family("merovane_proxies", "gauge", "Proxies of the list, by state.");
  for (size_t i = 0; i < sample.proxy_count; ++i)
    w.labelled("merovane_proxies", "state", sample.proxies[i].label, sample.proxies[i].value);
  w.family("merovane_checks_total", "counter", "Proxy checks finished, by result.");
  w.labelled("merovane_checks_total", "result", "ok", read(metrics.checks_ok));
  w.labelled("merovane_checks_total", "result", "failed", read(metrics.checks_failed));
  w.family("merovane_check_queue", "gauge", "Proxies of the check pass waiting for their check.");
  w.plain("merovane_check_queue", read(metrics.check_queue));
  w.family("merovane_checks_running", "gauge", "Proxy checks in flight.");
  w.plain("merovane_checks_running", read(metrics.checks_running));
  w.family("merovane_public_address_known", "gauge", "1 once the public address is known.");
  w.plain("merovane_public_address_known", sample.public_address_known ? 1 : 0);
  if (!w.ok) {
    out[0] = 0;
    return 0;
  }
  return w.len;
}
