// Test helpers for chain tests that need the database: a fresh database file
// in a private directory, proxies and chain links put in with the tables'
// own columns.
#pragma once

#include <cstdint>
#include <string>

// Opens a fresh database (schema created, chain table emptied); false when
// it cannot be opened. Sets MEROVANE_HOME to a private directory once.
bool chain_test_db();
// The private directory of chain_test_db.
const std::string& chain_test_home();
// IPv4 dotted text as the proxy table's ip number (network byte order).
uint32_t ip_number(const char* dotted);
void chain_db_add_proxy(const char* dotted, uint16_t port, uint16_t type, int timeout = 0,
                        int rank = 0, int t_ok = 0);
void chain_db_add_link(int position, int selection, int flags, uint32_t ip = 0, uint16_t port = 0);
int chain_db_rank(const char* dotted, uint16_t port);
