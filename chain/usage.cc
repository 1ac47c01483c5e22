// Proxy usage tally.
#include "chain/usage.h"

#include "chain/select.h"
#include "db/db.h"
#include "platform/clock.h"
#include "util/literal.h"

usage_recheck_fn usage_recheck = nullptr;

usage_entry usage_table[USAGE_ENTRIES];
uint32_t usage_next = 0;
uint32_t usage_flush_time = 0;

void usage_record(const usage_proxy* list, uint32_t bytes, int success) {
  if (list == nullptr) return;
  for (int i = 0; i < USAGE_REPORT_MAX; ++i) {
    const uint32_t ip = list[i].ip;
    const uint16_t port = list[i].port;
    if (ip == 0 || port == 0) break;
    usage_entry* e = nullptr;
    for (usage_entry& candidate : usage_table) {
      if (candidate.ip == ip && candidate.port == port) {
        e = &candidate;
        break;
      }
    }
    if (e == nullptr) {
      e = &usage_table[usage_next];
      *e = usage_entry{ip, port, 0, 0, 0};
      // A first failure is the first of a streak too, so that three failed
      // chains in a row lead to the check.
      if (success)
        e->bytes = bytes;
      else
        e->fails = e->streak = 1;
      usage_next = (usage_next + 1) % USAGE_ENTRIES;
      continue;
    }
    if (success) {
      e->bytes += bytes;
      if (e->streak < 3) e->streak = 0;
      continue;
    }
    e->streak++;
    if (e->fails < 255) e->fails++;
    if (e->streak == 3) {
      if (usage_recheck != nullptr) usage_recheck(ip, port);
      chain_cache_clear();
    } else if (e->streak > 50) {
      e->streak = 0;
    }
  }
}

namespace {
bool worth_storing(const usage_entry& e) {
  return e.ip != 0 && e.port != 0 && (e.fails >= 5 || e.bytes >= 500000);
}
}  // namespace

int32_t usage_wait_ms() {
  bool any = false;
  for (const usage_entry& e : usage_table) any = any || worth_storing(e);
  if (!any) return -1;
  if (usage_flush_time == 0) return 0;
  const int32_t left = static_cast<int32_t>(usage_flush_time + USAGE_FLUSH_MS - tick_now());
  return left > 0 ? left : 0;
}

void usage_flush() {
  const uint32_t now = tick_now();
  if (usage_flush_time == 0) {
    usage_flush_time = now;
    return;
  }
  if (now - usage_flush_time < USAGE_FLUSH_MS) return;
  usage_flush_time = now;
  bool scored_down = false;
  for (usage_entry& e : usage_table) {
    if (!worth_storing(e)) continue;
    const int64_t d = static_cast<int64_t>(e.bytes / 100000) - e.fails;
    const char sign = d > 0 ? '+' : '-';
    const unsigned magnitude = static_cast<unsigned>(d < 0 ? -d : d);
    db_exec(MV_LIT("UPDATE proxy SET rank=max(0,rank%c%u) WHERE ip=%u AND port=%u"), sign,
            magnitude, static_cast<unsigned>(e.ip), static_cast<unsigned>(e.port));
    if (d <= 0) scored_down = true;
    e = usage_entry{};
  }
  if (scored_down) chain_cache_clear();
}
