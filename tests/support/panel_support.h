// Test helpers of the panel tests: a private home directory with a panel
// path and a database, and panel slots whose replies are read back from
// their output streams.
#pragma once

#include <string>

#include "tests/support/net.h"

// Creates a temporary MEROVANE_HOME (once per process) holding a registry
// with the given panel path; returns the home directory.
std::string panel_test_home(const char* root);
// Opens a fresh database file in the test home (true when open).
bool panel_test_db();
// Empties the slot table (every slot free, streams released).
void panel_test_clear_table();
// Occupies slot `index` as a panel connection (kind 0xFFB3) on one end of
// a socket pair, with the given bytes buffered as its input.
void panel_test_slot(int index, const std::string& input);
// Appends more input to a slot.
void panel_test_more(int index, const std::string& input);
// Everything queued for sending on a slot so far.
std::string panel_test_output(int index);
// The body of an HTTP reply (after the blank line), or "" when none.
std::string panel_test_body(const std::string& reply);
