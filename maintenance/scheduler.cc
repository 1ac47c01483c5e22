// The maintenance clock: on every housekeeping pass it lets the check
// queue start what is due, and decides whether to start a chain test, a
// list download or a public-address request.
#include "maintenance/scheduler.h"

#include <cstdio>
#include <cstring>

#include "chain/lookup.h"
#include "chain/negotiate.h"
#include "chain/usage.h"
#include "db/db.h"
#include "engine/loop.h"
#include "engine/slot.h"
#include "log/push.h"
#include "maintenance/chaintest.h"
#include "maintenance/checker.h"
#include "maintenance/checkqueue.h"
#include "maintenance/download.h"
#include "maintenance/handlers.h"
#include "maintenance/myip.h"
#include "platform/clock.h"
#include "util/literal.h"

uint32_t public_addr = 0;
int32_t delay_proxy = 10;
int32_t delay_myip = 600;
bool checks_denied = false;
uint32_t last_check_start = 0;

uint32_t check_pass_time = 0;
uint32_t check_pass_count = 0;
uint32_t myip_pass_time = 0;
bool myip_due_now = false;
int32_t download_due = 0;
int32_t download_index = 0;

namespace {

constexpr uint32_t IDLE_PERIOD_MS = 180000;
constexpr int32_t DOWNLOAD_PAUSE_MIN = 720;
constexpr int32_t EMPTY_LIST_PAUSE_MIN = 30;

int count_kind(slot_kind kind) {
  int n = 0;
  for (int i = 1; i < SLOT_COUNT; ++i)
    if (conn_table[i].sock != -1 && conn_table[i].kind == kind) ++n;
  return n;
}

// The lookup of a list host's name: the download pass waits for it while
// its ticket is set.
struct list_host_lookup {
  bool answered;
  int32_t position;  // entry of "download_urls"
  uint32_t addr;
  uint32_t ticket;
};
list_host_lookup list_host{};

void list_host_answer(uint32_t position, uint32_t addr) {
  if (list_host.ticket == 0 || list_host.position != static_cast<int32_t>(position)) return;
  list_host = list_host_lookup{true, list_host.position, addr, 0};
  download_pass();
}

// True when the entry's address is known (0 when it has none); false
// while its name is being looked up.
bool list_host_known(download_entry& entry) {
  if (!entry.named) return true;
  if (list_host.answered && list_host.position == download_index) {
    entry.addr = list_host.addr;
    list_host = list_host_lookup{};
    return true;
  }
  const uint32_t ticket =
      lookup_begin(entry.host, list_host_answer, static_cast<uint32_t>(download_index));
  // A full table: asked again at the next pass.
  if (ticket != 0) list_host = list_host_lookup{false, download_index, 0, ticket};
  return false;
}

}  // namespace

void scheduler_reset() {
  public_addr = 0;
  delay_proxy = 10;
  delay_myip = 600;
  checks_denied = false;
  last_check_start = 0;
  check_pass_time = 0;
  check_pass_count = 0;
  myip_pass_time = 0;
  myip_due_now = false;
  download_due = 0;
  download_index = 0;
  download_cycle_incomplete = false;
  if (list_host.ticket != 0) lookup_cancel(list_host.ticket);
  list_host = list_host_lookup{};
}

int32_t idle_allowance() {
  if (last_chain_ok == 0) return 5;
  int32_t periods =
      static_cast<int32_t>(tick_now() - last_chain_ok) / static_cast<int32_t>(IDLE_PERIOD_MS);
  return periods > 0 ? periods : 0;
}

uint32_t check_interval_ms() {
  const int32_t interval =
      (panel_push_time != 0 ? delay_proxy : 4 * delay_proxy) + idle_allowance();
  return static_cast<uint32_t>(interval) * 1000u;
}

uint32_t myip_interval_ms(uint32_t now) {
  if (public_addr == 0) return 15000;
  const int32_t interval =
      (now - last_check_start <= 600000u ? delay_myip : 5 * delay_myip) + idle_allowance();
  return static_cast<uint32_t>(interval) * 1000u;
}

int32_t maintenance_wait_ms() {
  if (check_pass_time == 0 || myip_pass_time == 0 || myip_due_now) return 0;
  const uint32_t now = tick_now();
  int32_t wait = check_queue_wait_ms();
  auto sooner = [&](uint32_t at) {
    int32_t left = static_cast<int32_t>(at - now);
    if (left < 0) left = 0;
    if (wait < 0 || left < wait) wait = left;
  };
  if (!checks_denied) sooner(check_pass_time + check_interval_ms() + 1);
  sooner(myip_pass_time + myip_interval_ms(now) + 1);
  return wait;
}

void download_pass() {
  if (download_due < 1)
    download_due = setting_int(MV_LIT("download_urls_time"), 0, 0) + DOWNLOAD_PAUSE_MIN;
  int32_t now_min = static_cast<int32_t>(minute_clock());
  if (download_due > now_min || list_host.ticket != 0) return;

  download_entry entry;
  if (!download_url_entry(download_index, &entry)) {
    // A cycle whose downloads did not all end by themselves is not done:
    // it is tried again after the short pause.
    bool cycle_done = download_index > 0 && !download_cycle_incomplete;
    if (download_index == 0 || cycle_done)
      setting_int(MV_LIT("download_urls_time"), cycle_done ? now_min : 0, 1);
    download_due = now_min + (cycle_done ? DOWNLOAD_PAUSE_MIN : EMPTY_LIST_PAUSE_MIN);
    download_index = 0;
    download_cycle_incomplete = false;
    return;
  }
  if (!list_host_known(entry)) return;
  ++download_index;
  if (entry.host[0] == 0 || entry.addr == 0 || entry.port == 0 || entry.path[0] == 0) return;

  int index = slot_alloc(0);
  if (index < 1) return;
  conn_slot& slot = conn_table[index];
  slot.kind = slot_kind::download;
  download_slot_begin(index, download_index - 1);
  std::snprintf(slot.dest_host, sizeof slot.dest_host, "%.191s", entry.host);
  slot.dest_port = entry.port;
  if (!slot_connect(index, entry.addr, entry.port)) slot_abort(index);
}

void schedule_checks() {
  check_queue_pump();
  uint32_t now = tick_now();
  if (check_pass_time == 0) {
    check_pass_time = now;
    return;
  }
  if (checks_denied) return;
  if (now - check_pass_time <= check_interval_ms()) return;
  check_pass_time = now;

  int tests = 0, downloads = 0;
  for (int i = 1; i < SLOT_COUNT; ++i) {
    const conn_slot& s = conn_table[i];
    if (s.sock == -1) continue;
    if (s.kind == slot_kind::chain_test) ++tests;
    if (s.kind == slot_kind::download) ++downloads;
  }
  // Checks run from their queue; every sixth pass tests a chain.
  if (++check_pass_count > 5) {
    if (tests == 0) start_chain_test();
    check_pass_count = 0;
  }
  if (downloads == 0) download_pass();
}

void schedule_myip() {
  uint32_t now = tick_now();
  if (myip_pass_time == 0 && !myip_due_now) {
    myip_pass_time = now;
    checks_state_start();
    // A checker that is set is asked at once: checks wait for its answer.
    if (checker_service_state() == checker_service::unknown) myip_due_now = true;
    return;
  }
  if (!myip_due_now && now - myip_pass_time <= myip_interval_ms(now)) return;
  myip_pass_time = now;

  if (count_kind(slot_kind::myip) > 0) return;
  myip_due_now = false;
  if (checks_denied) {
    public_addr = 0;
    return;
  }
  // A checker that does not resolve is never asked: address 0 would reach
  // this machine instead. A name being looked up: its answer makes the
  // request due again.
  const checker_reach reach = checker_resolve();
  if (reach == checker_reach::waiting) return;
  const uint32_t checker = checker_addr();
  if (reach == checker_reach::none || checker == 0) {
    public_addr = 0;
    if (checker_try_next()) myip_due_now = true;
    return;
  }
  int index = slot_alloc(0);
  if (index < 1) {
    public_addr = 0;
    return;
  }
  conn_slot& slot = conn_table[index];
  slot.kind = slot_kind::myip;
  myip_slot_begin(index);
  std::snprintf(slot.dest_host, sizeof slot.dest_host, "%s", checker_host());
  slot.dest_port = 80;
  if (!slot_connect(index, checker, 80)) {
    public_addr = 0;
    slot_abort(index);
  }
}

namespace {
// Proxy checks and list downloads first, then the public-address step.
void maintenance_pass() {
  schedule_checks();
  schedule_myip();
}

void recheck_proxy(uint32_t ip, uint16_t port) {
  start_check(ip, port, 0);
}
}  // namespace

void maintenance_attach() {
  slot_attach(slot_kind::check, check_handler);
  slot_attach(slot_kind::chain_test, chain_test_handler);
  slot_attach(slot_kind::myip, myip_handler);
  slot_attach(slot_kind::download, download_handler);
  engine_every(0, maintenance_pass, maintenance_wait_ms);
  usage_recheck = recheck_proxy;
}
