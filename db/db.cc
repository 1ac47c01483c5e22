// Interim database layer: no database. Replaced by the real layer.
#include "db/db.h"

sqlite3* db_handle = nullptr;
std::recursive_mutex db_lock;

bool db_open(const char*) { return false; }
void db_init_schema() {}
void db_close() {}
uint32_t db_exec(const char*, ...) { return 0; }
char* db_query_text(const char*, const char*, const char*, ...) { return nullptr; }
bool is_modifying_statement(const char*) { return false; }
int setting_int(const char*, int value, int) { return value; }
int setting_str(const char*, char*, size_t, int) { return 0; }
const char* proxy_type_names(uint32_t) { return ""; }
uint32_t minute_clock() { return 0; }
void db_periodic_statement() {}
