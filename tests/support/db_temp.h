// Test helper of the database: a fresh database in a temporary directory,
// opened through the program's own layer, and its removal afterwards.
#pragma once

#include <string>

#include "tests/support/net.h"

struct db_temp {
  std::string dir;   // the temporary directory
  std::string path;  // dir + "/settings.db"
};

// Creates the directory, opens the database there and prepares the schema.
// Returns false when any step failed.
bool db_temp_open(db_temp& t);
// Closes the database (when open) and removes the directory with its files.
void db_temp_close(db_temp& t);

// The rows a statement returns, columns joined by ',' and rows by '#'
// (db_lines: by line ends); "" when there are none or it failed.
std::string db_rows(const std::string& sql);
std::string db_lines(const std::string& sql);
