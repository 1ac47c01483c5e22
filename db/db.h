// The proxy database: the only code that talks to SQLite. Owns the open
// connection, the schema (proxy, settings and chain tables), the SQL
// functions "Now" and "Minmax", statement execution with row rendering, the
// settings getters, the proxy type flags and the minute clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

struct sqlite3;

// Proxy type flags (proxy table `type` column, hop types, filter masks).
enum proxy_type_flag : uint16_t {
  PT_NOT_WORKING = 0x01,
  PT_TRANSPARENT = 0x02,
  PT_ANONYMOUS = 0x04,
  PT_SOCKS4 = 0x08,
  PT_SOCKS5 = 0x10,
  PT_HTTP = 0x20,
  PT_HTTPS = 0x40,
  // Found working by a page fetched through it, with nobody to say what it
  // adds to requests: only links that take any anonymity use it.
  PT_UNGRADED = 0x80,
  PT_END = 0xFFFF,  // the destination entry of a hop list
};

extern sqlite3* db_handle;
extern std::recursive_mutex db_lock;

bool db_open(const char* path);
void db_init_schema();
void db_close();

// Statement runs. The format is SQLite's printf (%q, %Q, %s, %d, %u, %lu);
// text values are always quoted by the formatter, never pasted.
uint32_t db_exec(const char* format, ...);
// One transaction over several statements, on the calling thread. The
// database lock is held from db_begin to db_commit (other threads wait).
// db_commit rolls back and returns false when the transaction could not be
// committed (nothing of it was stored).
bool db_begin();
bool db_commit();
// Moves the write-ahead log into the database file and empties it.
void db_checkpoint();
// The first damage a statement met ("database damaged: ..." and what the
// user can do), or "" while none was seen. Kept until the process ends;
// the upper layers report it (stderr, panel).
const char* db_damage_text();
// Rows rendered by render_row; malloc'd text (caller frees) or null.
char* db_query_text(const char* mode, const char* row_separator, const char* format, ...);

bool is_modifying_statement(const char* text);

int setting_int(const char* name, int value, int write);
int setting_str(const char* name, char* buffer, size_t size, int write);

// Sign-in of a proxy (columns auth_user, auth_pass). The password is read
// only by the code that talks to the proxy; it never leaves the program.
constexpr int PROXY_LOGIN_MAX = 256;  // user and password each below this
struct proxy_login {
  char user[PROXY_LOGIN_MAX];
  char pass[PROXY_LOGIN_MAX];
  uint8_t user_length;
  uint8_t pass_length;
};
// The stored sign-in of (ip, port); false when it has none.
bool proxy_credentials(uint32_t ip, uint16_t port, proxy_login& out);
// Records whether the proxy refused its stored sign-in (column auth_refused).
void proxy_auth_refused(uint32_t ip, uint16_t port, int refused);

// "SOCKS4 SOCKS5 ..." style names of the set bits; "END" for 0xFFFF.
const char* proxy_type_names(uint32_t type);

// Minutes since 2008-01-01 00:00 local time (0 when it cannot be converted).
uint32_t minute_clock();

// The engine's 4-hourly statement.
void db_periodic_statement();

// Minute clock of a given wall-clock time (what minute_clock() uses).
uint32_t minute_clock_at(uint64_t wall_ms);

// One result row rendered into `output` (see db_query_text). `output` is a
// malloc'd text of `length` characters in a block of `capacity` bytes.
struct render_record {
  char* output;
  size_t length;
  size_t capacity;
  const char* mode;
  const char* row_separator;
  uint32_t rows;
};
// SQLite row callback; returns stop_flag.
int render_row(void* record, int columns, char** values, char** names);

// Statement texts shared between units (decoded literals; engine thread).
// Tables: proxy(id, ip, port, type, blocked, rank, t_ok, n_err, timeout,
// host, t_chk, auth_user, auth_pass, auth_refused, scheme), settings(name, value),
// chain(position, selection, flags, ip, port). `t_chk` is the minute clock of the last check of
// any outcome, `host` is '' until a name is known, `scheme` the protocol bit a list line's
// scheme named (0: none).
//
// Chain link insert: position %d, selection %d, flags %d, ip %u, port %u.
const char* sql_link_insert();
// Empties the chain table.
const char* sql_chain_clear();
// Rows selection,flags,ip,port in chain order; no arguments.
const char* sql_chain_link_query();
// One proxy ip,port,type: wanted bits %u, barred bits %u, exclusion clause
// %s, ordering term %s, direction %s. Skips blocked and not-working proxies.
const char* sql_proxy_query();
// The checker's next proxy ip,port,id,name-known,scheme: age in minutes %d,
// exclusion clause %s; the least recently checked unblocked proxy whose
// last check is at least that old.
const char* sql_check_selection();
// Records a check: type %d, t_ok fragment %s, timeout %u, n_err expression
// %s, rank expression %s, ip %u, port %u; also stamps t_chk.
const char* sql_check_result();
