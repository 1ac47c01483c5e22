// Public address detection and the checker service's location: the
// "url_checker" setting and the host, path and address derived from it,
// and the connection that asks the service for our own address.
#pragma once

#include <cstdint>

const char* checker_url();
const char* checker_host();
const char* checker_path();
uint32_t checker_addr();  // network byte order, 0 = not resolved
// The built-in checker URL.
const char* checker_default_url();
// Forgets the cached location (tests; the program reads it once).
void checker_location_reset();
// The script line that shows the public address on the panel; returns its length.
int format_myip_line(char* out, int capacity, uint32_t addr);
