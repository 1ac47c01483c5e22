// The proxy database: opening through the scrambling file layer, schema,
// the SQL functions "Now" and "Minmax", statement runs, settings, type
// names and the minute clock.
#include "db/db.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/accounts.h"
#include "db/scramble.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/stop.h"
#include "util/ascii.h"
#include "util/literal.h"
#include "util/text.h"

sqlite3* db_handle = nullptr;
std::recursive_mutex db_lock;

namespace {

// Set once, under db_lock, by the first statement that found the file damaged.
char damage_text[320];
std::atomic<bool> damage_seen{false};

// Notes a damaged file (corrupt page, not a database) the first time.
void note_damage(int rc) {
  if ((rc & 0xFF) != SQLITE_CORRUPT && (rc & 0xFF) != SQLITE_NOTADB) return;
  if (damage_seen.load()) return;
  snprintf(damage_text, sizeof damage_text,
           "database damaged: %s; the program goes on with what it can read. Stop it and put "
           "back a copy of settings.db, or move the file away to start with an empty one",
           db_handle != nullptr ? sqlite3_errmsg(db_handle) : sqlite3_errstr(rc));
  damage_seen.store(true);
}

bool missing(const void* p) {
  return reinterpret_cast<uintptr_t>(p) < 1024;
}

// ---- statement texts -------------------------------------------------------

// Run once after opening. WAL makes a commit one append to the log file:
// with synchronous=NORMAL nothing is synced per statement, and a killed
// process loses nothing that was committed (a power cut may lose the last
// commits, never the file's consistency). Checkpoints, which sync, come
// every 8192 pages instead of 1000 so that list imports are not held up by
// them; the log is cut back to 8 MiB after each. Exclusive locking keeps
// the wal index in heap memory: the scrambling layer offers no
// shared-memory file, whose memory-mapped bytes would bypass it. The
// page cache holds a 100,000-proxy table with its indexes.
const char* sql_after_open() {
  return MV_LIT(
      "PRAGMA locking_mode=EXCLUSIVE;PRAGMA journal_mode=WAL;PRAGMA synchronous=NORMAL;"
      "PRAGMA wal_autocheckpoint=8192;PRAGMA journal_size_limit=8388608;"
      "PRAGMA cache_size=-16384");
}

const char* sql_create_proxy() {
  return MV_LIT(
      "CREATE TABLE IF NOT EXISTS proxy("
      "id INTEGER PRIMARY KEY,"
      "ip INTEGER NOT NULL,"
      "port INTEGER NOT NULL,"
      "type INTEGER NOT NULL DEFAULT 0,"
      "blocked INTEGER NOT NULL DEFAULT 0,"
      "rank INTEGER NOT NULL DEFAULT 0,"
      "t_ok INTEGER NOT NULL DEFAULT 0,"
      "n_err INTEGER NOT NULL DEFAULT 0,"
      "timeout INTEGER NOT NULL DEFAULT 0,"
      "host TEXT NOT NULL DEFAULT '',"
      "t_chk INTEGER NOT NULL DEFAULT 0)");
}
const char* sql_create_settings() {
  return MV_LIT("CREATE TABLE IF NOT EXISTS settings(name TEXT PRIMARY KEY NOT NULL,value TEXT)");
}
const char* sql_create_chain() {
  return MV_LIT(
      "CREATE TABLE IF NOT EXISTS chain("
      "position INTEGER NOT NULL DEFAULT 0,"
      "selection INTEGER NOT NULL DEFAULT 0,"
      "flags INTEGER NOT NULL DEFAULT 0,"
      "ip INTEGER NOT NULL DEFAULT 0,"
      "port INTEGER NOT NULL DEFAULT 0)");
}
const char* sql_chain_count() {
  return MV_LIT("SELECT count(*) FROM chain");
}
// A proxy by address; the checker's next proxy.
const char* sql_create_lookup_indexes() {
  return MV_LIT(
      "CREATE UNIQUE INDEX IF NOT EXISTS proxy_address ON proxy(ip,port);"
      "CREATE INDEX IF NOT EXISTS proxy_check_order ON proxy(t_chk) WHERE blocked=0");
}
// The chain's proxy query by each of its orderings, over the proxies a
// chain may use at all (the WHERE terms match those of the query).
const char* sql_create_chain_indexes() {
  return MV_LIT(
      "CREATE INDEX IF NOT EXISTS proxy_usable_timeout ON proxy(timeout)"
      " WHERE blocked=0 AND (type&1)=0 AND (type&120)<>0;"
      "CREATE INDEX IF NOT EXISTS proxy_usable_t_ok ON proxy(t_ok)"
      " WHERE blocked=0 AND (type&1)=0 AND (type&120)<>0;"
      "CREATE INDEX IF NOT EXISTS proxy_usable_rank ON proxy(rank)"
      " WHERE blocked=0 AND (type&1)=0 AND (type&120)<>0");
}

// The settings value comes back behind a '=' so that a stored empty text
// is told apart from a missing name.
const char* sql_setting_value() {
  return MV_LIT("SELECT '='||ifnull(value,'') FROM settings WHERE name=%Q");
}
const char* sql_setting_insert_int() {
  return MV_LIT("INSERT INTO settings(name,value) VALUES(%Q,%d)");
}
const char* sql_setting_update_int() {
  return MV_LIT("UPDATE settings SET value=%d WHERE name=%Q");
}
const char* sql_setting_insert_str() {
  return MV_LIT("INSERT INTO settings(name,value) VALUES(%Q,%.*Q)");
}
const char* sql_setting_update_str() {
  return MV_LIT("UPDATE settings SET value=%.*Q WHERE name=%Q");
}

// ---- SQL functions ---------------------------------------------------------

// Leading blanks, an optional sign, digits; stops at the first other
// character. Saturates at the 32-bit limits.
int32_t to_int32(const unsigned char* t) {
  if (t == nullptr) return 0;
  while (*t == ' ' || *t == '\t' || *t == '\n' || *t == '\r' || *t == '\v' || *t == '\f') ++t;
  bool negative = false;
  if (*t == '+' || *t == '-') negative = *t++ == '-';
  int64_t v = 0;
  for (; *t >= '0' && *t <= '9'; ++t) {
    v = v * 10 + (*t - '0');
    if (v > INT64_C(2147483648)) v = INT64_C(2147483648);
  }
  if (negative) v = -v;
  if (v > INT32_MAX) v = INT32_MAX;
  return static_cast<int32_t>(v);
}

void sql_now(sqlite3_context* context, int argc, sqlite3_value**) {
  if (argc == 0) sqlite3_result_int64(context, minute_clock());
}

void sql_minmax(sqlite3_context* context, int argc, sqlite3_value** argv) {
  if (argc != 3) return;
  for (int i = 0; i < 3; ++i)
    if (sqlite3_value_type(argv[i]) == SQLITE_NULL) return;
  int32_t low = to_int32(sqlite3_value_text(argv[0]));
  int32_t value = to_int32(sqlite3_value_text(argv[1]));
  int32_t high = to_int32(sqlite3_value_text(argv[2]));
  int32_t result = value < low ? low : (value < high ? value : high);
  sqlite3_result_int(context, result);
}

// ---- statement runs --------------------------------------------------------

int count_row(void* counter, int, char**, char**) {
  *static_cast<uint32_t*>(counter) += 1;
  return static_cast<int>(stop_flag.load());
}

// Days from 0000-03-01 of a proleptic Gregorian date.
int64_t days_of(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe;
}

}  // namespace

// ---- shared statement texts -------------------------------------------------

const char* sql_link_insert() {
  return MV_LIT("INSERT INTO chain(position,selection,flags,ip,port) VALUES(%d,%d,%d,%u,%u)");
}
const char* sql_chain_clear() {
  return MV_LIT("DELETE FROM chain");
}
const char* sql_chain_link_query() {
  return MV_LIT("SELECT selection,flags,ip,port FROM chain ORDER BY position,rowid");
}
const char* sql_proxy_query() {
  return MV_LIT(
      "SELECT ip,port,type FROM proxy WHERE blocked=0 AND (type&1)=0 AND (type&120)<>0"
      " AND (type&%u)<>0 AND (type&%u)=0 %s ORDER BY %s %s LIMIT 1");
}
const char* sql_check_selection() {
  return MV_LIT(
      "SELECT ip,port,id,host<>'',scheme FROM proxy WHERE blocked=0 AND t_chk<=Now()-%d %s"
      " ORDER BY t_chk LIMIT 1");
}
const char* sql_check_result() {
  return MV_LIT(
      "UPDATE proxy SET type=%d%stimeout=%u,n_err=%s,rank=%s,t_chk=Now()"
      " WHERE ip=%u AND port=%u");
}

// ---- open, schema, close ----------------------------------------------------

namespace {

// The file holds the user's proxies and chain: it is created for the owner
// only, and it and its companions (made earlier with looser modes) lose
// every bit for others. SQLite gives new journal and log files the mode of
// the database file.
void keep_files_private(const char* path) {
  if (path[0] == ':' || strncmp(path, "file:", 5) == 0) return;
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) close(fd);
  char companion[1100];
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    int n = snprintf(companion, sizeof companion, "%s%s", path, suffix);
    if (n > 0 && static_cast<size_t>(n) < sizeof companion) path_keep_private(companion, 0600);
  }
}

}  // namespace

bool db_open(const char* path) {
  if (missing(path)) return false;
  std::lock_guard<std::recursive_mutex> hold(db_lock);
  if (db_handle != nullptr) return true;
  if (!scramble_vfs_register()) return false;
  keep_files_private(path);
  sqlite3* handle = nullptr;
  int rc = sqlite3_open_v2(path, &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(handle);
    return false;
  }
  sqlite3_create_function(handle, "Now", -1, SQLITE_UTF8, nullptr, sql_now, nullptr, nullptr);
  sqlite3_create_function(handle, "Minmax", -1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                          sql_minmax, nullptr, nullptr);
  db_handle = handle;
  db_exec("%s", sql_after_open());
  // SQLite reads the file only now. A file that is not our database (a
  // plain SQLite file, anything else) leaves no database open rather than
  // one on which every statement fails.
  int code =
      sqlite3_exec(handle, MV_LIT("SELECT count(*) FROM sqlite_master"), nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) {
    sqlite3_close(handle);
    db_handle = nullptr;
    return false;
  }
  return true;
}

namespace {
// Columns added after the first release: an older database gets them with
// their defaults, its rows untouched.
void add_missing_columns() {
  static constexpr const char* added[][2] = {
      {"auth_user", "TEXT NOT NULL DEFAULT ''"},
      {"auth_pass", "TEXT NOT NULL DEFAULT ''"},
      {"auth_refused", "INTEGER NOT NULL DEFAULT 0"},
      {"scheme", "INTEGER NOT NULL DEFAULT 0"},
  };
  for (const auto& column : added) {
    char* known = db_query_text(
        "", "", MV_LIT("SELECT count(*) FROM pragma_table_info('proxy') WHERE name=%Q"), column[0]);
    const bool present = known != nullptr && parse_decimal(known) > 0;
    free(known);
    if (!present) db_exec(MV_LIT("ALTER TABLE proxy ADD COLUMN %s %s"), column[0], column[1]);
  }
}
}  // namespace

void db_init_schema() {
  std::lock_guard<std::recursive_mutex> hold(db_lock);
  if (db_handle == nullptr) return;
  db_exec("%s", sql_create_proxy());
  db_exec("%s", sql_create_settings());
  db_exec("%s", sql_create_chain());
  accounts_create_table();
  char* count = db_query_text("", "", "%s", sql_chain_count());
  if (count == nullptr || static_cast<int32_t>(parse_decimal(count)) < 1)
    db_exec(sql_link_insert(), 1, 3, 92, 0u, 0u);
  free(count);
  add_missing_columns();
  db_exec("%s", sql_create_lookup_indexes());
  db_exec("%s", sql_create_chain_indexes());
}

bool proxy_credentials(uint32_t ip, uint16_t port, proxy_login& out) {
  out = proxy_login{};
  std::lock_guard<std::recursive_mutex> hold(db_lock);
  if (db_handle == nullptr) return false;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db_handle,
                         MV_LIT("SELECT auth_user,auth_pass FROM proxy WHERE ip=?1 AND port=?2"),
                         -1, &st, nullptr) != SQLITE_OK)
    return false;
  sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(ip));
  sqlite3_bind_int(st, 2, port);
  if (sqlite3_step(st) == SQLITE_ROW) {
    const auto* user = sqlite3_column_text(st, 0);
    const auto* pass = sqlite3_column_text(st, 1);
    const int ulen = sqlite3_column_bytes(st, 0);
    const int plen = sqlite3_column_bytes(st, 1);
    if (user != nullptr && pass != nullptr && ulen > 0 && ulen < PROXY_LOGIN_MAX &&
        plen < PROXY_LOGIN_MAX) {
      memcpy(out.user, user, static_cast<size_t>(ulen));
      memcpy(out.pass, pass, static_cast<size_t>(plen));
      out.user_length = static_cast<uint8_t>(ulen);
      out.pass_length = static_cast<uint8_t>(plen);
    }
  }
  sqlite3_finalize(st);
  return out.user_length > 0;
}

void proxy_auth_refused(uint32_t ip, uint16_t port, int refused) {
  db_exec(MV_LIT("UPDATE proxy SET auth_refused=%d WHERE ip=%u AND port=%d AND auth_refused<>%d"),
          refused, ip, static_cast<int>(port), refused);
}

void db_close() {
  std::lock_guard<std::recursive_mutex> hold(db_lock);
  if (db_handle == nullptr) return;
  sqlite3_close(db_handle);
  db_handle = nullptr;
}

// ---- statement runs ---------------------------------------------------------

bool is_modifying_statement(const char* text) {
  if (missing(text)) return false;
  const char* p = text;
  for (;;) {
    while (ascii_is_blank(static_cast<unsigned char>(*p))) ++p;
    if (strncasecmp(p, "INSERT", 6) == 0 || strncasecmp(p, "DELETE", 6) == 0 ||
        strncasecmp(p, "UPDATE", 6) == 0)
      return true;
    p = std::strchr(p, ';');
    if (p == nullptr) return false;
    ++p;
  }
}

static uint32_t db_vexec(const char* format, va_list args) {
  if (missing(format)) return 0;
  std::lock_guard<std::recursive_mutex> hold(db_lock);
  if (db_handle == nullptr) return 0;
  char* text = sqlite3_vmprintf(format, args);
  if (text == nullptr) return 0;
  // SQLite offers no reset of its changed-row count: a text in which no
  // data-changing statement ran must not report an older statement's count,
  // so the count is taken only when the total moved.
  int64_t total_before = sqlite3_total_changes64(db_handle);
  uint32_t rows = 0;
  char* error = nullptr;
  int rc = sqlite3_exec(db_handle, text, count_row, &rows, &error);
  note_damage(rc);
  uint32_t result = 0;
  if (rc == SQLITE_OK) {
    if (is_modifying_statement(text))
      result = sqlite3_total_changes64(db_handle) != total_before
                   ? static_cast<uint32_t>(sqlite3_changes64(db_handle))
                   : 0;
    else
      result = rows;
  }
  sqlite3_free(error);
  sqlite3_free(text);
  return result;
}

uint32_t db_exec(const char* format, ...) {
  va_list args;
  va_start(args, format);
  uint32_t result = db_vexec(format, args);
  va_end(args);
  return result;
}

const char* db_damage_text() {
  return damage_seen.load() ? damage_text : "";
}

bool db_begin() {
  db_lock.lock();
  if (db_handle != nullptr &&
      sqlite3_exec(db_handle, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK)
    return true;
  db_lock.unlock();
  return false;
}

bool db_commit() {
  bool stored = db_handle != nullptr &&
                sqlite3_exec(db_handle, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!stored && db_handle != nullptr && sqlite3_get_autocommit(db_handle) == 0)
    sqlite3_exec(db_handle, "ROLLBACK", nullptr, nullptr, nullptr);
  db_lock.unlock();
  return stored;
}

void db_checkpoint() {
  std::lock_guard<std::recursive_mutex> hold(db_lock);
  if (db_handle == nullptr) return;
  sqlite3_wal_checkpoint_v2(db_handle, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
}

char* db_query_text(const char* mode, const char* row_separator, const char* format, ...) {
  if (missing(format) || missing(mode) || missing(row_separator)) return nullptr;
  std::lock_guard<std::recursive_mutex> hold(db_lock);
  if (db_handle == nullptr) return nullptr;
  va_list args;
  va_start(args, format);
  char* text = sqlite3_vmprintf(format, args);
  va_end(args);
  if (text == nullptr) return nullptr;
  render_record record{nullptr, 0, 0, mode, row_separator, 0};
  char* error = nullptr;
  int rc = sqlite3_exec(db_handle, text, render_row, &record, &error);
  note_damage(rc);
  sqlite3_free(error);
  sqlite3_free(text);
  // A stop request ends the run early; what was rendered still counts.
  bool stopped = rc == SQLITE_ABORT && stop_flag.load() != 0;
  if ((rc != SQLITE_OK && !stopped) || record.length == 0) {
    free(record.output);
    return nullptr;
  }
  return record.output;
}

// ---- settings ---------------------------------------------------------------

int setting_int(const char* name, int value, int write) {
  if (missing(name)) return value;
  {
    std::lock_guard<std::recursive_mutex> hold(db_lock);
    if (db_handle == nullptr) return value;
  }
  int result = value;
  char* stored = db_query_text("", "", sql_setting_value(), name);
  if (stored != nullptr)
    result = static_cast<int>(parse_decimal(stored + 1));
  else
    db_exec(sql_setting_insert_int(), name, value);
  free(stored);
  if (write != 0) {
    db_exec(sql_setting_update_int(), value, name);
    result = value;
  }
  return result;
}

int setting_str(const char* name, char* buffer, size_t size, int write) {
  if (missing(name)) return 0;
  const char* text = missing(buffer) ? "" : buffer;
  // The caller's text never runs past its buffer.
  int text_length =
      static_cast<int>(size > 0 && !missing(buffer) ? strnlen(text, size) : std::strlen(text));
  char* stored = db_query_text("", "", sql_setting_value(), name);
  if (stored == nullptr) return db_exec(sql_setting_insert_str(), name, text_length, text) > 0;
  int result = (!missing(buffer) && size > 1) ? 1 : 0;
  if (write == 0) {
    if (result != 0) {
      size_t n = strnlen(stored + 1, size - 1);
      std::memcpy(buffer, stored + 1, n);
      buffer[n] = 0;
    }
  } else {
    db_exec(sql_setting_update_str(), text_length, text, name);
  }
  free(stored);
  return result;
}

// ---- proxy type names and the minute clock -----------------------------------

const char* proxy_type_names(uint32_t type) {
  if (type == PT_END) return "END";
  struct flag_name {
    uint32_t bit;
    const char* name;
  };
  static constexpr flag_name order[] = {
      {PT_NOT_WORKING, "NOT_WORKING"},
      {PT_SOCKS4, "SOCKS4"},
      {PT_SOCKS5, "SOCKS5"},
      {PT_HTTP, "HTTP"},
      {PT_HTTPS, "HTTPS"},
      {PT_TRANSPARENT, "TRANSPARENT"},
      {PT_ANONYMOUS, "ANONYMOUS"},
      {PT_UNGRADED, "UNGRADED"},
  };
  static thread_local char buffers[4][256];
  static thread_local unsigned next = 0;
  char* out = buffers[next++ & 3];
  size_t used = 0;
  out[0] = 0;
  for (const flag_name& f : order) {
    if ((type & f.bit) == 0) continue;
    int n = snprintf(out + used, 256 - used, "%s%s", used != 0 ? ", " : "", f.name);
    if (n > 0) used += static_cast<size_t>(n);
    if (used >= 256) used = 255;
  }
  if (used == 0) snprintf(out, 256, "%s", "PROXY_TYPE_zerro");
  return out;
}

uint32_t minute_clock_at(uint64_t wall_ms) {
  local_time t = local_time_of(wall_ms);
  if (t.year < 2008 || t.month < 1 || t.month > 12 || t.day < 1) return 0;
  int64_t days = days_of(t.year, t.month, t.day) - days_of(2008, 1, 1);
  int64_t minutes = days * 1440 + t.hour * 60 + t.minute;
  if (minutes < 0 || minutes > UINT32_MAX) return 0;
  return static_cast<uint32_t>(minutes);
}

uint32_t minute_clock() {
  return minute_clock_at(wall_now_ms());
}

void db_periodic_statement() {
  db_exec("%s", MV_LIT("PRAGMA optimize"));
}
