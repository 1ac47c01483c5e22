// The maintenance scheduler, driven by the engine's housekeeping pass:
// proxy checks, chain tests, list downloads and public-address requests.
// Owns the maintenance globals (public address, service-given delays, the
// deny flag) and the pass timers and counters.
#pragma once

#include <cstdint>

// Attaches the maintenance kinds (check, chain test, public address,
// download), the per-pass scheduling and the re-check the usage tally asks for.
void maintenance_attach();

void schedule_checks();
void schedule_myip();

// The machine's public address (network byte order); 0 = not learned.
extern uint32_t public_addr;
// Seconds between check passes / public-address requests (set by the checker service).
extern int32_t delay_proxy;
extern int32_t delay_myip;
// Set for good when the checker service asks us to stop checking.
extern bool checks_denied;
// Tick at which the last proxy check was launched.
extern uint32_t last_check_start;

// Pass state (exposed for tests and the status page).
extern uint32_t check_pass_time;
extern uint32_t check_pass_count;
extern uint32_t myip_pass_time;
// Set when the public address is to be asked for at the next pass, whatever
// the interval (the checker location changed or the next URL is to be tried).
extern bool myip_due_now;
extern int32_t download_due;
extern int32_t download_index;

// Extra seconds added to both pass intervals while no client chain is built.
int32_t idle_allowance();
// The pass intervals: between check passes, and between public-address
// requests as of tick `now`.
uint32_t check_interval_ms();
uint32_t myip_interval_ms(uint32_t now);
// Milliseconds until the maintenance pass has something to do (the next
// check pass, public-address request or look at the check queue); 0 while
// checks run.
int32_t maintenance_wait_ms();
// One download pass (called by schedule_checks when no download runs).
void download_pass();
// Back to the start-up state (tests).
void scheduler_reset();
