// Client accounts of the proxy port: a name and a salted password hash
// (util/passhash.h) per row of table client_account. Never a password.
#pragma once

#include <cstddef>
#include <string_view>

// Longest account name taken.
constexpr size_t ACCOUNT_NAME_MAX = 64;

// Creates the table when missing (part of the schema).
void accounts_create_table();
// Accounts stored; 0 without a database.
int account_count();
// The stored hash of name into out; false when there is no such account.
bool account_hash(std::string_view name, char* out, size_t capacity);
// Adds or replaces an account; false when it was not stored.
bool account_store(std::string_view name, std::string_view hash);
// Removes an account; false when there was none.
bool account_remove(std::string_view name);
// Names in order, one a line (malloc'd, caller frees; "" when none), or
// null without a database.
char* account_names();
// A name as accounts take it: 1 to ACCOUNT_NAME_MAX printable characters,
// no blank, no ':' (HTTP's sign-in joins name and password with it) and
// none of " \ ' < > & (so a name goes into replies and pages as it is).
bool account_name_valid(std::string_view name);
