// Public address detection and the checker service's location: the
// "url_checker" setting (one or more URLs separated by blanks or newlines,
// tried in order, the first with a usable answer kept until it fails) and
// the host, path and address derived from the one in use, and the
// connection that asks the service for our own address.
#pragma once

#include <cstdint>

const char* checker_url();
const char* checker_host();
const char* checker_path();
uint32_t checker_addr();  // network byte order, 0 = not resolved (yet)
// Whether the checker host has an address: a literal address is taken at
// once, a name is looked up off the engine thread (waiting until the
// answer, which makes the public-address request due at once; none when
// it has no address or the lookup's time limit passed).
enum class checker_reach { ready, waiting, none };
checker_reach checker_resolve();
// The built-in checker URL.
const char* checker_default_url();
// Forgets the cached location and the list position (tests).
void checker_location_reset();
// The setting "url_checker" changed: the location is derived again, the
// public address is forgotten and asked for again at the next pass.
void checker_location_moved();
// The URL in use gave no usable answer: the next one of the list is used.
// False when that wrapped around to the first.
bool checker_try_next();
// The console line on whether checks can run: at start when no checker is
// set, and whenever the state changes (no checker answers / one answers
// again); turning off also clears the panel's public address.
void checks_state_start();
// Whether a checker service answers, as last told on the console: unknown
// until the first answer or failure after a start or a move.
enum class checker_service { unknown, answers, none };
checker_service checker_service_state();
// Takes the state as given, without telling anyone (tests).
void checker_service_assume(checker_service state);
// Marks a new public-address slot as asking the current location.
void myip_slot_begin(int index);
// The script line that shows the public address on the panel; returns its length.
int format_myip_line(char* out, int capacity, uint32_t addr);
