// The check queue: which proxies are checked, in what order, how many at
// once, and how far the current pass has come. A check is a job of this
// table; its protocol steps are connections (maintenance/checksteps.h)
// that report back here, and the job records the outcome when its last
// connection ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "maintenance/checker.h"

constexpr int CHECK_PARALLEL_MAX = 256;
constexpr int CHECK_PARALLEL_DEFAULT = 64;  // "check_parallel"; 0 pauses the queue
constexpr int CHECK_TIMEOUT_DEFAULT = 10;   // seconds for each reply of a step
constexpr int CHECK_TIMEOUT_MAX = 120;
constexpr uint32_t CHECK_CONNECT_LIMIT_MS = 5000;
// Checks use at most this many slots, and none while fewer are free.
constexpr int CHECK_SLOT_SHARE = 512;
constexpr int CHECK_SLOTS_KEPT_FREE = 512;

// How proxies are judged: through the checker service (anonymity graded),
// by fetching a check site (reachability only), or not yet (a checker is
// set and has not answered yet).
enum class check_mode : uint8_t { wait = 0, service = 1, reach = 2 };
check_mode check_mode_now();

// One check in flight: one connection at a time, a protocol after the
// other (the CONNECT tunnel first, which every kind of proxy answers or
// closes at once, unless the list named the proxy's scheme).
struct check_job {
  uint32_t serial;    // 0: the entry is free
  check_record rec;   // the outcome gathered from every step
  uint32_t started;   // tick
  uint8_t remaining;  // protocol steps not opened yet (type-flag bits)
  uint8_t open;       // step connections open (0 or 1)
  check_mode mode;
  int8_t site;  // the check site of a reachability check
};
// The job behind a step connection; null when it ended meanwhile.
check_job* check_job_find(uint16_t job, uint32_t serial);
// A step connection ended with its record; connected: the proxy accepted
// it; silent: it accepted and then sent nothing within the limit. The next
// protocol follows on a new connection, except after a first step that
// could not connect or met silence; after the last, the job records its
// result.
void check_job_step_ended(uint16_t job, uint32_t serial, const check_record& rec, bool connected,
                          bool silent);

// Starts the checks that are due, as far as the limits allow. Runs every
// housekeeping pass and right after a check ends.
void check_queue_pump();
// Milliseconds until the pump has something to do: 0 while checks run,
// the time of the next look at an empty queue, -1 while nothing can start
// (checks denied, or waiting for the checker service's state).
int32_t check_queue_wait_ms();
// Something was added or put in front (an import, `ctl check`): the table
// is looked at again at once.
void check_queue_wake();
// Puts every unblocked proxy (all) or none (new only) at the front; the
// number of proxies that are due after that.
uint32_t check_queue_front(bool all);

// The pass in progress, or the last one.
struct check_progress {
  uint32_t done;       // checks finished in this pass
  uint32_t working;    // of them, proxies found working
  uint32_t remaining;  // proxies due, the running ones included
  uint32_t running;    // checks in flight
  uint32_t elapsed_s;  // since the pass began (its length once ended)
  uint32_t eta_s;      // estimate of what is left, 0 when unknown
  uint32_t passes;     // passes begun since the start
  bool active;
  check_mode mode;
};
check_progress check_progress_now();
// "Checking 1,234 of 5,000 · 210 working · about 2 min left" (or the last
// pass when none runs); its length.
size_t check_progress_text(const check_progress& p, char* out, size_t capacity);

// Back to the start-up state (tests).
void check_queue_reset();
