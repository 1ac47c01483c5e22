// The program's counters for monitoring: chains finished (ok or failed),
// chain retries, races between attempts, destination rules matched, bytes
// relayed each way, proxy checks (ok or failed) and clients refused,
// counted by the units where these happen, and their rendering in the
// Prometheus text format together with the gauges the caller samples.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct metrics_counters {
  std::atomic<uint64_t> chains_ok{0}, chains_failed{0}, chain_retries{0};
  std::atomic<uint64_t> races_first{0}, races_second{0};
  std::atomic<uint64_t> relay_up{0}, relay_down{0};
  std::atomic<uint64_t> checks_ok{0}, checks_failed{0};
  std::atomic<uint64_t> check_queue{0}, checks_running{0};
  std::atomic<uint64_t> refused_address{0}, refused_signin{0};
  std::atomic<uint64_t> rule_direct{0}, rule_chain{0}, rule_block{0};
};
extern metrics_counters metrics;

// One finished chain: its outcome and the bytes sent up to the proxies and
// received back from them.
void metrics_chain_closed(bool ok, uint64_t up, uint64_t down);
void metrics_chain_retried();
// A race between two attempts was decided: the second (racing) one won, or the first.
void metrics_chain_race(bool second_won);
// A destination matched a rule: 1 direct, 2 chain, 3 block.
void metrics_rule_matched(int action);
void metrics_check_done(bool ok);
// A client closed at accept: its address is not allowed, or it is locked
// out after failed sign-ins.
enum class client_refusal { address, sign_in };
void metrics_client_refused(client_refusal why);
// The check queue's proxies still due in the pass, and checks in flight.
void metrics_check_queue(uint32_t queue, uint32_t running);

// Values sampled at the time of a scrape.
struct metrics_gauge {
  const char* label;  // label value; the caller's text, kept only during the render
  uint64_t value;
};
struct metrics_sample {
  const metrics_gauge* slots;  // merovane_slots{kind="..."}
  size_t slot_count;
  const metrics_gauge* proxies;  // merovane_proxies{state="..."}
  size_t proxy_count;
  bool public_address_known;
};

// The whole text (counters and the sample) into out; its length, or 0 when
// it does not fit in capacity.
size_t metrics_render(const metrics_sample& sample, char* out, size_t capacity);

// Zeroes every counter (tests).
void metrics_reset();
