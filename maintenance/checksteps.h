// The connections of a check: one per protocol, each asks the proxy in
// that protocol to reach the checker service or a check site, sends the
// request and reads the answer, within its own time limits. Owns the
// openings and tunnel readers of each protocol, the step deadlines and the
// pace of requests that reach the checker service.
#pragma once

#include <cstdint>

#include "maintenance/checkqueue.h"

// Kept in the route area of a check slot.
struct check_conn {
  check_record rec;  // this step: its protocol, its verdict bits
  uint32_t job_serial;
  uint16_t job;
  check_mode mode;
  int8_t site;
  uint8_t request_sent;  // the judge or page request went out
  uint8_t connected;
  uint8_t waiting_pace;  // the request waits for its turn at the service
  uint8_t heard;         // the proxy sent something in this step
  uint8_t timed_out;     // ended by its deadline
  uint32_t deadline;     // tick by which the next reply is due; 0: none
};

// Opens the connection of one protocol step; false when no slot or
// connect could be had.
bool check_step_open(uint16_t job, uint32_t serial, const check_job& from, uint8_t step);
// Aborts steps past their deadline and sends paced requests whose turn
// came; once a pass. The number of requests still waiting for their turn.
int check_steps_tick();
// The limit of each reply, from the "check_timeout" setting.
void check_steps_set_timeout(uint32_t ms);
// Minimum spacing of requests that reach the checker service (the
// service's "delay_proxy"); 0: none.
void check_pace_set(uint32_t ms);
void check_steps_reset();
