#include "tests/support/db_temp.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "db/db.h"

bool db_temp_open(db_temp& t) {
  char pattern[] = "/tmp/merovane-db-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return false;
  t.dir = pattern;
  t.path = t.dir + "/settings.db";
  if (!db_open(t.path.c_str())) return false;
  db_init_schema();
  return true;
}

void db_temp_close(db_temp& t) {
  db_close();
  if (t.dir.empty()) return;
  if (DIR* d = opendir(t.dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      unlink((t.dir + "/" + name).c_str());
    }
    closedir(d);
  }
  rmdir(t.dir.c_str());
  t.dir.clear();
}

namespace {
std::string rows_of(const std::string& sql, const char* row_separator) {
  char* text = db_query_text(",", row_separator, "%s", sql.c_str());
  std::string rows = text != nullptr ? text : "";
  free(text);
  return rows;
}
}  // namespace

std::string db_rows(const std::string& sql) {
  return rows_of(sql, "#");
}

std::string db_lines(const std::string& sql) {
  return rows_of(sql, "\n");
}
