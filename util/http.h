// Byte-level HTTP helpers shared by every subsystem that reads or writes
// HTTP: the method names taken as HTTP and the host-name character class.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Names of the methods taken as HTTP, one per line (CONNECT among them).
const char* http_verb_list();
// Offset just past the HTTP method name, or 0 when the data is not HTTP.
size_t http_verb_offset(const uint8_t* data, size_t length);
// 1 for A-Z, a-z, 0-9, '.', '-' and '_'.
int is_host_char(int c);
// "Proxy-Authorization: Basic <user:pass in base64>\r\n" into out (size
// bytes, NUL-terminated); its length, 0 when it does not fit.
size_t http_basic_line(std::string_view user, std::string_view pass, char* out, size_t size);
