// Byte-level HTTP helpers shared by every subsystem that reads or writes
// HTTP: the method names taken as HTTP and the host-name character class.
#pragma once

#include <cstddef>
#include <cstdint>

// Names of the methods taken as HTTP, one per line (CONNECT among them).
const char* http_verb_list();
// Offset just past the HTTP method name, or 0 when the data is not HTTP.
size_t http_verb_offset(const uint8_t* data, size_t length);
// 1 while the data could still become an HTTP request once more bytes
// arrive: after leading spaces, everything is the start of a method name
// (the name and its space not yet complete).
int http_verb_may_follow(const uint8_t* data, size_t length);
// 1 for A-Z, a-z, 0-9, '.', '-' and '_'.
int is_host_char(int c);
