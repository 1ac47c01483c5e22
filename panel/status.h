// The network status page: one HTML table row per open connection slot,
// with its kind-specific detail cell, and the usage summary.
#pragma once

#include <cstdint>

struct conn_slot;

// The whole page, malloc'd, or null when memory cannot be had.
char* status_page();
// Row start (common cells) of one slot, malloc'd.
char* status_row_start(const conn_slot& slot);
// "<span title=... class=help...>address</span>" for one proxy address;
// cls and suffix may be null. malloc'd.
char* status_address(const char* cls, const char* address, unsigned port, const char* suffix);
// Status-page label of a slot ("Unknown", "Listen", "Web server", ...).
const char* status_kind_label(const conn_slot& slot);
