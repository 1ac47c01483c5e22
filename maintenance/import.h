// Import of proxy lists: the tolerant scanner that pulls every dotted
// address and port out of free text (web pages, pasted lists, checker
// replies) and adds the pairs the proxy table does not hold yet.
#pragma once

#include <cstdint>

// Scans text up to its NUL. With lower_limit set, ports below 80 are
// skipped. Returns the malloc'd summary "{count:%d, added:%d}" (caller
// frees), or null when memory cannot be had.
char* import_proxy_list(const char* text, int lower_limit);

// The scanner alone: calls found(addr, port, user) for every accepted pair,
// addr being the proxy table's ip number (first octet in the low byte).
// Returns the number of pairs found.
int import_scan(const char* text, int lower_limit, void (*found)(uint32_t, uint16_t, void*),
                void* user);
