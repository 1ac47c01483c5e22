#include "db/accounts.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "db/db.h"
#include "util/literal.h"

void accounts_create_table() {
  db_exec("%s", MV_LIT("CREATE TABLE IF NOT EXISTS client_account("
                       "name TEXT PRIMARY KEY NOT NULL,hash TEXT NOT NULL)"));
}

int account_count() {
  std::lock_guard<std::recursive_mutex> hold(db_lock);
  if (db_handle == nullptr) return 0;
  char* text = db_query_text("", "", "%s", MV_LIT("SELECT count(*) FROM client_account"));
  const int n = text != nullptr ? atoi(text) : 0;
  free(text);
  return n;
}

bool account_hash(std::string_view name, char* out, size_t capacity) {
  if (capacity == 0 || !account_name_valid(name)) return false;
  std::lock_guard<std::recursive_mutex> hold(db_lock);
  if (db_handle == nullptr) return false;
  // The hash comes back behind a '=' so that a missing row is told apart.
  char* text = db_query_text("", "", MV_LIT("SELECT '='||hash FROM client_account WHERE name=%.*Q"),
                             static_cast<int>(name.size()), name.data());
  const bool found = text != nullptr && text[0] == '=' && strlen(text + 1) < capacity;
  if (found) memcpy(out, text + 1, strlen(text + 1) + 1);
  free(text);
  return found;
}

bool account_store(std::string_view name, std::string_view hash) {
  if (!account_name_valid(name) || hash.empty()) return false;
  std::lock_guard<std::recursive_mutex> hold(db_lock);
  if (db_handle == nullptr) return false;
  return db_exec(MV_LIT("INSERT OR REPLACE INTO client_account(name,hash) VALUES(%.*Q,%.*Q)"),
                 static_cast<int>(name.size()), name.data(), static_cast<int>(hash.size()),
                 hash.data()) > 0;
}

bool account_remove(std::string_view name) {
  if (!account_name_valid(name)) return false;
  std::lock_guard<std::recursive_mutex> hold(db_lock);
  if (db_handle == nullptr) return false;
  return db_exec(MV_LIT("DELETE FROM client_account WHERE name=%.*Q"),
                 static_cast<int>(name.size()), name.data()) > 0;
}

char* account_names() {
  std::lock_guard<std::recursive_mutex> hold(db_lock);
  if (db_handle == nullptr) return nullptr;
  char* text =
      db_query_text("", "\n", "%s", MV_LIT("SELECT name FROM client_account ORDER BY name"));
  if (text == nullptr) text = static_cast<char*>(calloc(1, 1));
  return text;
}

bool account_name_valid(std::string_view name) {
  if (name.empty() || name.size() > ACCOUNT_NAME_MAX) return false;
  for (char c : name)
    if (c <= ' ' || c > '~' || c == ':' || c == '"' || c == '\\' || c == '\'' || c == '<' ||
        c == '>' || c == '&')
      return false;
  return true;
}
