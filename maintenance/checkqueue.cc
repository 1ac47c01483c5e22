// The check queue. Due proxies come from the table in order (never checked
// first, then the oldest check); a proxy is due again 30 minutes after it
// was found working, and after a failure after 1 h, 4 h, then 24 h. Up to
// "check_parallel" checks run at once within a share of the slot table.
#include "maintenance/checkqueue.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/db.h"
#include "engine/loop.h"
#include "engine/slot.h"
#include "log/console.h"
#include "log/metrics.h"
#include "log/push.h"
#include "maintenance/checksite.h"
#include "maintenance/checksteps.h"
#include "maintenance/myip.h"
#include "maintenance/resolver.h"
#include "maintenance/scheduler.h"
#include "maintenance/sql.h"
#include "platform/clock.h"
#include "util/literal.h"

namespace {

constexpr uint32_t IDLE_LOOK_MS = 10000;     // an empty queue is looked at again after this
constexpr uint32_t COUNT_EVERY_MS = 2000;    // how often the due proxies are counted in a pass
constexpr uint32_t SETTINGS_EVERY_MS = 750;  // how often the settings are read again
constexpr uint32_t SITES_WAIT_MS = 2000;
constexpr uint32_t PUSH_EVERY_MS = 2000;  // how often an open panel hears of the pass  // how often
                                          // a reachability pass asks for site addresses

// A proxy is due: never checked, or its pause since the last check is over.
#define DUE_TERMS                                                                    \
  "blocked=0 AND (t_chk=0 OR t_chk<=Now()-(CASE WHEN (type&1)=0 AND type<>0 THEN 30" \
  " WHEN n_err<=1 THEN 60 WHEN n_err=2 THEN 240 ELSE 1440 END))"

constexpr uint8_t STEP_ORDER[] = {CHECK_HTTPS, CHECK_SOCKS4, CHECK_SOCKS5, CHECK_HTTP};
constexpr uint8_t ALL_STEPS = CHECK_HTTPS | CHECK_SOCKS4 | CHECK_SOCKS5 | CHECK_HTTP;

// The first protocol of the order among `remaining`.
uint8_t next_step(uint8_t remaining) {
  for (uint8_t step : STEP_ORDER)
    if (remaining & step) return step;
  return 0;
}

check_job jobs[CHECK_PARALLEL_MAX];
uint32_t next_serial_no = 1;
int jobs_running = 0;
int slots_held = 0;  // step connections open, all jobs together

int parallel = CHECK_PARALLEL_DEFAULT;
uint32_t settings_read_at = 0;
bool settings_read = false;
uint32_t idle_until = 0;  // no due proxy before this tick (0: look now)
bool idle_known = false;

struct pass_state {
  bool active;
  uint32_t started;
  uint32_t ended_after;  // ms, once ended
  uint32_t done;
  uint32_t working;
  uint32_t remaining;
  uint32_t counted_at;
  bool counted;
};
pass_state pass{};
uint32_t passes_begun = 0;
uint32_t pushed_at = 0;

// The pass line to every open panel.
void push_progress() {
  pushed_at = tick_now();
  char text[160];
  check_progress_text(check_progress_now(), text, sizeof text);
  char line[256];
  const int n = std::snprintf(line, sizeof line,
                              MV_LIT("<script type=\"text/javascript\">A(\"check_pass\",\"%s\");"
                                     "</script>\n"),
                              text);
  if (n > 0 && static_cast<size_t>(n) < sizeof line) panel_broadcast(line, n);
}

int clamp(int v, int lo, int hi) {
  return v < lo ? lo : v > hi ? hi : v;
}

void read_settings() {
  const uint32_t now = tick_now();
  if (settings_read && now - settings_read_at < SETTINGS_EVERY_MS) return;
  settings_read = true;
  settings_read_at = now;
  // 0: no check starts by itself; those asked for by hand still run.
  parallel = clamp(setting_int(MV_LIT("check_parallel"), CHECK_PARALLEL_DEFAULT, 0), 0,
                   CHECK_PARALLEL_MAX);
  int timeout = setting_int(MV_LIT("check_timeout"), CHECK_TIMEOUT_DEFAULT, 0);
  if (timeout <= 0) timeout = CHECK_TIMEOUT_DEFAULT;
  check_steps_set_timeout(static_cast<uint32_t>(clamp(timeout, 1, CHECK_TIMEOUT_MAX)) * 1000u);
}

// Room for one more check; one asked for by hand needs only free slots.
bool room_for_one(bool forced = false) {
  if (!forced && jobs_running >= parallel) return false;
  if (jobs_running >= CHECK_PARALLEL_MAX) return false;
  if (slots_held + 1 > CHECK_SLOT_SHARE) return false;
  return SLOT_COUNT - slot_count_used() > CHECK_SLOTS_KEPT_FREE;
}

bool in_flight(uint32_t ip, uint16_t port) {
  for (const check_job& j : jobs)
    if (j.serial != 0 && j.rec.ip == ip && j.rec.port == port) return true;
  return false;
}

int free_job() {
  for (int i = 0; i < CHECK_PARALLEL_MAX; ++i)
    if (jobs[i].serial == 0) return i;
  return -1;
}

uint32_t count_due() {
  char* text =
      db_query_text("", "", MV_LIT("SELECT count(*) FROM " MAINT_PROXY_TABLE " WHERE " DUE_TERMS));
  const uint32_t n = text != nullptr ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 0;
  std::free(text);
  return n;
}

bool any_due() {
  char* text = db_query_text(
      "", "", MV_LIT("SELECT 1 FROM " MAINT_PROXY_TABLE " WHERE " DUE_TERMS " LIMIT 1"));
  const bool due = text != nullptr && text[0] == '1';
  std::free(text);
  return due;
}

void count_remaining(bool now) {
  const uint32_t t = tick_now();
  if (!now && pass.counted && t - pass.counted_at < COUNT_EVERY_MS) return;
  pass.counted = true;
  pass.counted_at = t;
  pass.remaining = count_due();
}

// The gauges: proxies still waiting for their check (the running ones not
// counted), and checks running.
void publish_gauges() {
  const uint32_t running = static_cast<uint32_t>(jobs_running);
  const uint32_t due = pass.active ? pass.remaining : 0;
  metrics_check_queue(due > running ? due - running : 0, running);
}

void pass_begin() {
  ++passes_begun;
  pass = pass_state{};
  pass.active = true;
  pass.started = tick_now();
  count_remaining(true);
}

// The pass is over: nothing due, nothing running.
void pass_end() {
  pass.active = false;
  pass.ended_after = tick_now() - pass.started;
  pass.remaining = 0;
  metrics_check_queue(0, 0);
  push_progress();
  if (pass.done < 2) return;
  const uint32_t s = pass.ended_after / 1000;
  console_line("check pass done: %u proxies checked, %u working, in %u min %u s", pass.done,
               pass.working, s / 60, s % 60);
}

// One row "ip,port,id,named,scheme" into a job; false when it is not one.
bool read_row(const char* row, check_job& job) {
  unsigned long v[5] = {0, 0, 0, 0, 0};
  const char* p = row;
  for (int i = 0; i < 5; ++i) {
    if (*p < '0' || *p > '9') return i >= 4;
    char* end = nullptr;
    v[i] = std::strtoul(p, &end, 10);
    p = end;
    if (i < 4 && *p++ != ',') return i >= 3;
  }
  job.rec.ip = static_cast<uint32_t>(v[0]);
  job.rec.port = static_cast<uint16_t>(v[1]);
  job.rec.proxy_ref = static_cast<uint16_t>(v[2]);
  job.rec.name_known = static_cast<uint16_t>(v[3]);
  const uint8_t scheme = static_cast<uint8_t>(v[4]);
  const bool named = scheme == CHECK_SOCKS4 || scheme == CHECK_SOCKS5 || scheme == CHECK_HTTP ||
                     scheme == CHECK_HTTPS;
  job.rec.first = named ? scheme : 0;
  return true;
}

// Opens the first step of a job; the others follow once the proxy takes
// the connection. False when nothing could be opened.
bool launch(check_job job, check_mode mode) {
  const int j = free_job();
  if (j < 0) return false;
  job.serial = next_serial_no++;
  if (next_serial_no == 0) next_serial_no = 1;
  job.mode = mode;
  job.site = mode == check_mode::reach ? static_cast<int8_t>(check_site_pick()) : -1;
  job.started = tick_now();
  const uint8_t first = job.rec.first != 0 ? job.rec.first : STEP_ORDER[0];
  job.remaining = static_cast<uint8_t>(ALL_STEPS & ~first);
  job.rec.step = first;
  job.open = 1;
  jobs[j] = job;
  ++jobs_running;
  ++slots_held;
  if (!check_step_open(static_cast<uint16_t>(j), job.serial, jobs[j], first)) {
    jobs[j] = check_job{};
    --jobs_running;
    --slots_held;
    return false;
  }
  last_check_start = tick_now();
  if (job.rec.name_known == 0) request_host_name(job.rec.ip, job.rec.port);
  panel_check_line(nullptr, &job.rec);
  return true;
}

// The due rows, in order, up to `want` of them that are not running yet.
int launch_due(int want, check_mode mode) {
  const int limit = want + jobs_running;
  char* text = db_query_text(",", "#",
                             MV_LIT("SELECT ip,port,id,host<>'',scheme FROM " MAINT_PROXY_TABLE
                                    " WHERE " DUE_TERMS " ORDER BY t_chk LIMIT %d"),
                             limit);
  // No row (or no answer): the table has nothing due now, as when it ran out.
  if (text == nullptr) return -1;
  int started = 0, seen = 0;
  for (char* row = text; row != nullptr && *row != 0 && started < want;) {
    char* next = std::strchr(row, '#');
    if (next != nullptr) *next++ = 0;
    ++seen;
    check_job job{};
    if (read_row(row, job) && !in_flight(job.rec.ip, job.rec.port)) {
      if (!room_for_one() || !launch(job, mode)) break;
      ++started;
    }
    row = next;
  }
  std::free(text);
  return seen < limit ? -1 - started : started;  // negative: the table had no more
}

void finish(check_job& job) {
  check_record rec = job.rec;
  rec.step = CHECK_HTTPS;  // the final line names the tunnel protocol, as it always has
  // A plain HTTP proxy found by its page alone: what it adds to requests
  // is not known, so only links that take any anonymity use it.
  if (job.mode == check_mode::reach && rec.verdict == CHECK_HTTP) rec.verdict |= PT_UNGRADED;
  record_check_result(&rec);
  ++pass.done;
  if (!(rec.verdict & PT_NOT_WORKING)) ++pass.working;
  if (pass.remaining > 0) --pass.remaining;
  job = check_job{};
  --jobs_running;
  engine_later(check_queue_pump);
}

}  // namespace

check_mode check_mode_now() {
  switch (checker_service_state()) {
    case checker_service::answers:
      return checker_addr() != 0 ? check_mode::service : check_mode::wait;
    case checker_service::none:
      return check_mode::reach;
    case checker_service::unknown:
      break;
  }
  return check_mode::wait;
}

check_job* check_job_find(uint16_t job, uint32_t serial) {
  if (job >= CHECK_PARALLEL_MAX || serial == 0 || jobs[job].serial != serial) return nullptr;
  return &jobs[job];
}

void check_job_step_ended(uint16_t index, uint32_t serial, const check_record& rec, bool connected,
                          bool silent) {
  check_job* job = check_job_find(index, serial);
  if (job == nullptr) return;
  --slots_held;
  job->open = 0;
  const bool first = job->remaining == (ALL_STEPS & ~job->rec.step);
  // A proxy that did not take the first connection, or took it and said
  // nothing, is not asked in its other protocols.
  if (first && (!connected || silent)) job->remaining = 0;
  job->rec.verdict |= rec.verdict;
  if (rec.reply_ms > job->rec.reply_ms) job->rec.reply_ms = rec.reply_ms;
  while (job->remaining != 0) {
    const uint8_t step = next_step(job->remaining);
    job->remaining = static_cast<uint8_t>(job->remaining & ~step);
    job->rec.step = step;
    ++slots_held;
    job->open = 1;
    if (check_step_open(index, serial, *job, step)) return;
    --slots_held;
    job->open = 0;
  }
  finish(*job);
}

void check_queue_pump() {
  if (checks_denied) return;
  read_settings();
  const int waiting = check_steps_tick();
  const check_mode mode = check_mode_now();
  const uint32_t now = tick_now();
  if (idle_known && static_cast<int32_t>(now - idle_until) < 0) {
    if (pass.active && jobs_running == 0) pass_end();
    return;
  }
  // While requests wait for their turn at the service, no more checks open
  // connections that would only wait too.
  if (mode == check_mode::wait || waiting > 0 || !room_for_one()) {
    if (pass.active) count_remaining(false);
    publish_gauges();
    return;
  }
  // Check sites are looked up only once there is something to check; while
  // none has an address, the table is looked at every few seconds.
  if (mode == check_mode::reach && any_due() && check_sites_ready() == 0) {
    idle_known = true;
    idle_until = now + SITES_WAIT_MS;
    return;
  }
  const int started = launch_due(parallel - jobs_running, mode);
  const bool exhausted = started < 0;
  const int count = exhausted ? -1 - started : started;
  if (count > 0 && !pass.active) pass_begin();
  if (exhausted && count == 0) {
    idle_known = true;
    idle_until = now + IDLE_LOOK_MS;
    if (pass.active && jobs_running == 0) pass_end();
  } else {
    idle_known = false;
  }
  if (pass.active) count_remaining(false);
  publish_gauges();
  if (pass.active && panel_push_time != 0 && now - pushed_at >= PUSH_EVERY_MS) push_progress();
}

int32_t check_queue_wait_ms() {
  if (checks_denied) return -1;
  if (jobs_running > 0 || slots_held > 0) return 0;
  // Nothing starts before the checker service's state is known; the pump
  // is due again as soon as it is.
  if (check_mode_now() == check_mode::wait) return -1;
  const uint32_t now = tick_now();
  uint32_t at = now;
  if (idle_known)
    at = idle_until;
  else if (settings_read && !room_for_one())
    at = settings_read_at + IDLE_LOOK_MS;  // paused: a changed setting is seen within this
  const int32_t left = static_cast<int32_t>(at - now);
  return left > 0 ? left : 0;
}

void check_queue_wake() {
  idle_known = false;
  idle_until = 0;
  if (pass.active) pass.counted = false;
  engine_later(check_queue_pump);
}

uint32_t check_queue_front(bool all) {
  if (all) db_exec(MV_LIT("UPDATE " MAINT_PROXY_TABLE " SET t_chk=0 WHERE blocked=0"));
  check_queue_wake();
  if (pass.active) count_remaining(true);
  return count_due();
}

int start_check(uint32_t addr, uint16_t port, int force) {
  if (checks_denied) return 0;
  if (in_flight(addr, port)) return force ? 1 : 0;
  read_settings();
  const check_mode mode = check_mode_now();
  const bool ready =
      mode == check_mode::service || (mode == check_mode::reach && check_sites_ready() > 0);
  check_job job{};
  job.rec.ip = addr;
  job.rec.port = port;
  char* text = db_query_text(",", "",
                             MV_LIT("SELECT ip,port,id,host<>'',scheme FROM " MAINT_PROXY_TABLE
                                    " WHERE ip=%u AND port=%u"),
                             static_cast<unsigned>(addr), static_cast<unsigned>(port));
  if (text != nullptr) read_row(text, job);
  std::free(text);
  if (text == nullptr) job.rec.name_known = 1;
  if (ready && room_for_one(force != 0) && launch(job, mode)) {
    if (!pass.active) pass_begin();
    return 1;
  }
  // No room now: it goes to the front of the queue.
  db_exec(MV_LIT("UPDATE " MAINT_PROXY_TABLE " SET t_chk=0 WHERE ip=%u AND port=%u"),
          static_cast<unsigned>(addr), static_cast<unsigned>(port));
  check_queue_wake();
  return 1;
}

check_progress check_progress_now() {
  check_progress p{};
  p.done = pass.done;
  p.working = pass.working;
  p.running = static_cast<uint32_t>(jobs_running);
  p.passes = passes_begun;
  p.active = pass.active;
  p.mode = check_mode_now();
  if (pass.active) {
    count_remaining(false);
    p.remaining = pass.remaining;
    p.elapsed_s = (tick_now() - pass.started) / 1000;
    if (p.done > 0 && p.elapsed_s > 0)
      p.eta_s = static_cast<uint32_t>(static_cast<uint64_t>(p.remaining) * p.elapsed_s / p.done);
  } else {
    p.elapsed_s = pass.ended_after / 1000;
  }
  publish_gauges();
  return p;
}

namespace {

// 1234567 as "1,234,567".
void grouped(uint32_t v, char* out, size_t capacity) {
  char digits[16];
  const int n = std::snprintf(digits, sizeof digits, "%u", v);
  size_t w = 0;
  for (int i = 0; i < n && w + 2 < capacity; ++i) {
    if (i > 0 && (n - i) % 3 == 0) out[w++] = ',';
    out[w++] = digits[i];
  }
  out[w] = 0;
}

void duration(uint32_t s, char* out, size_t capacity) {
  if (s < 60)
    std::snprintf(out, capacity, "%u s", s);
  else if (s < 5400)
    std::snprintf(out, capacity, "%u min", (s + 30) / 60);
  else
    std::snprintf(out, capacity, "%u h", (s + 1800) / 3600);
}

}  // namespace

size_t check_progress_text(const check_progress& p, char* out, size_t capacity) {
  char done[16], total[16], working[16], left[16];
  grouped(p.done, done, sizeof done);
  grouped(p.done + p.remaining, total, sizeof total);
  grouped(p.working, working, sizeof working);
  int n;
  if (p.active) {
    duration(p.eta_s, left, sizeof left);
    n = p.eta_s > 0 ? std::snprintf(out, capacity,
                                    "Checking %s of %s \xC2\xB7 %s working \xC2\xB7 about %s left",
                                    done, total, working, left)
                    : std::snprintf(out, capacity, "Checking %s of %s \xC2\xB7 %s working", done,
                                    total, working);
  } else if (p.done > 0) {
    duration(p.elapsed_s, left, sizeof left);
    n = std::snprintf(out, capacity,
                      "Last check pass: %s checked \xC2\xB7 %s working \xC2\xB7 took %s", done,
                      working, left);
  } else {
    n = std::snprintf(out, capacity, "%s", "No check running");
  }
  return n < 0 ? 0 : static_cast<size_t>(n) >= capacity ? capacity - 1 : static_cast<size_t>(n);
}

void check_queue_reset() {
  for (check_job& j : jobs) j = check_job{};
  jobs_running = 0;
  slots_held = 0;
  parallel = CHECK_PARALLEL_DEFAULT;
  settings_read = false;
  idle_known = false;
  idle_until = 0;
  pass = pass_state{};
  passes_begun = 0;
  check_steps_reset();
  check_sites_reset();
}
