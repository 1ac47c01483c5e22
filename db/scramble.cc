#include "db/scramble.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// 256 key bytes, built at compile time; the key repeats every 256 bytes.
struct key_table {
  uint8_t k[256];
};
constexpr key_table build_key_table() {
  key_table t{};
  for (unsigned i = 0; i < 256; ++i) t.k[i] = scramble_key(i);
  return t;
}
constexpr key_table key = build_key_table();

// A file of the scrambling module: our header, then the platform module's
// own file record right behind it.
struct scramble_file {
  sqlite3_file base;
  sqlite3_file* real;
};

sqlite3_vfs* real_vfs = nullptr;

sqlite3_file* real_of(sqlite3_file* f) {
  return reinterpret_cast<scramble_file*>(f)->real;
}

int x_close(sqlite3_file* f) {
  sqlite3_file* r = real_of(f);
  int rc = SQLITE_OK;
  if (r->pMethods != nullptr) rc = r->pMethods->xClose(r);
  r->pMethods = nullptr;
  return rc;
}

int x_read(sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
  sqlite3_file* r = real_of(f);
  int rc = r->pMethods->xRead(r, buffer, amount, offset);
  if (rc == SQLITE_OK) {
    file_scramble(buffer, static_cast<size_t>(amount), static_cast<uint64_t>(offset));
  } else if (rc == SQLITE_IOERR_SHORT_READ) {
    // The platform module has zero-filled the part past the end of the
    // file; only the bytes that were really read are unscrambled, the
    // rest stays plain zeros.
    sqlite3_int64 size = 0;
    if (r->pMethods->xFileSize(r, &size) != SQLITE_OK) size = offset;
    if (size > offset) {
      sqlite3_int64 got = size - offset;
      if (got > amount) got = amount;
      file_scramble(buffer, static_cast<size_t>(got), static_cast<uint64_t>(offset));
    }
  }
  return rc;
}

int x_write(sqlite3_file* f, const void* buffer, int amount, sqlite3_int64 offset) {
  sqlite3_file* r = real_of(f);
  if (amount <= 0) return r->pMethods->xWrite(r, buffer, amount, offset);
  // SQLite keeps using its buffer: scramble a copy. Page-sized writes use
  // the stack; larger ones borrow heap memory for the call.
  uint8_t local[16384];
  uint8_t* copy = local;
  if (static_cast<size_t>(amount) > sizeof local) {
    copy = static_cast<uint8_t*>(sqlite3_malloc(amount));
    if (copy == nullptr) return SQLITE_IOERR_WRITE;
  }
  std::memcpy(copy, buffer, static_cast<size_t>(amount));
  file_scramble(copy, static_cast<size_t>(amount), static_cast<uint64_t>(offset));
  int rc = r->pMethods->xWrite(r, copy, amount, offset);
  if (copy != local) sqlite3_free(copy);
  return rc;
}

int x_truncate(sqlite3_file* f, sqlite3_int64 size) {
  sqlite3_file* r = real_of(f);
  return r->pMethods->xTruncate(r, size);
}
int x_sync(sqlite3_file* f, int flags) {
  sqlite3_file* r = real_of(f);
  return r->pMethods->xSync(r, flags);
}
int x_file_size(sqlite3_file* f, sqlite3_int64* size) {
  sqlite3_file* r = real_of(f);
  return r->pMethods->xFileSize(r, size);
}
int x_lock(sqlite3_file* f, int level) {
  sqlite3_file* r = real_of(f);
  return r->pMethods->xLock(r, level);
}
int x_unlock(sqlite3_file* f, int level) {
  sqlite3_file* r = real_of(f);
  return r->pMethods->xUnlock(r, level);
}
int x_check_reserved(sqlite3_file* f, int* out) {
  sqlite3_file* r = real_of(f);
  return r->pMethods->xCheckReservedLock(r, out);
}
int x_file_control(sqlite3_file* f, int op, void* arg) {
  sqlite3_file* r = real_of(f);
  return r->pMethods->xFileControl(r, op, arg);
}
int x_sector_size(sqlite3_file* f) {
  sqlite3_file* r = real_of(f);
  return r->pMethods->xSectorSize(r);
}
int x_device_characteristics(sqlite3_file* f) {
  sqlite3_file* r = real_of(f);
  return r->pMethods->xDeviceCharacteristics(r);
}

// Version 1 on purpose: no shared-memory wal index (a memory-mapped file
// that SQLite would read and write without passing through x_read and
// x_write) and no memory-mapped page reads. The database layer runs WAL in
// exclusive locking mode, where SQLite keeps the wal index in heap memory.
const sqlite3_io_methods scramble_methods = {
    1,
    x_close,
    x_read,
    x_write,
    x_truncate,
    x_sync,
    x_file_size,
    x_lock,
    x_unlock,
    x_check_reserved,
    x_file_control,
    x_sector_size,
    x_device_characteristics,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

int v_open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* out_flags) {
  scramble_file* p = reinterpret_cast<scramble_file*>(f);
  p->base.pMethods = nullptr;
  p->real = reinterpret_cast<sqlite3_file*>(p + 1);
  p->real->pMethods = nullptr;
  int rc = real_vfs->xOpen(real_vfs, name, p->real, flags, out_flags);
  // Even a failed open may leave methods that SQLite will close through.
  if (p->real->pMethods != nullptr) p->base.pMethods = &scramble_methods;
  return rc;
}
int v_delete(sqlite3_vfs*, const char* name, int sync_dir) {
  return real_vfs->xDelete(real_vfs, name, sync_dir);
}
int v_access(sqlite3_vfs*, const char* name, int flags, int* out) {
  return real_vfs->xAccess(real_vfs, name, flags, out);
}
int v_full_pathname(sqlite3_vfs*, const char* name, int size, char* out) {
  return real_vfs->xFullPathname(real_vfs, name, size, out);
}
void* v_dl_open(sqlite3_vfs*, const char* name) {
  return real_vfs->xDlOpen(real_vfs, name);
}
void v_dl_error(sqlite3_vfs*, int size, char* out) {
  real_vfs->xDlError(real_vfs, size, out);
}
void (*v_dl_sym(sqlite3_vfs*, void* lib, const char* symbol))(void) {
  return real_vfs->xDlSym(real_vfs, lib, symbol);
}
void v_dl_close(sqlite3_vfs*, void* lib) {
  real_vfs->xDlClose(real_vfs, lib);
}
int v_randomness(sqlite3_vfs*, int size, char* out) {
  return real_vfs->xRandomness(real_vfs, size, out);
}
int v_sleep(sqlite3_vfs*, int us) {
  return real_vfs->xSleep(real_vfs, us);
}
int v_current_time(sqlite3_vfs*, double* out) {
  return real_vfs->xCurrentTime(real_vfs, out);
}
int v_last_error(sqlite3_vfs*, int size, char* out) {
  return real_vfs->xGetLastError(real_vfs, size, out);
}
int v_current_time64(sqlite3_vfs*, sqlite3_int64* out) {
  return real_vfs->xCurrentTimeInt64(real_vfs, out);
}

sqlite3_vfs scramble_vfs = {};

}  // namespace

void file_scramble(void* buffer, size_t length, uint64_t start) {
  if (buffer == nullptr) return;
  uint8_t* b = static_cast<uint8_t*>(buffer);
  uint8_t k = static_cast<uint8_t>(start & 0xFF);
  for (size_t i = 0; i < length; ++i) b[i] ^= key.k[static_cast<uint8_t>(k + i)];
}

bool scramble_vfs_register() {
  static std::mutex once_lock;
  std::lock_guard<std::mutex> hold(once_lock);
  if (real_vfs != nullptr) return true;
  if (sqlite3_initialize() != SQLITE_OK) return false;
  sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
  if (base == nullptr || base->iVersion < 2) return false;
  scramble_vfs.iVersion = 2;
  scramble_vfs.szOsFile = static_cast<int>(sizeof(scramble_file)) + base->szOsFile;
  scramble_vfs.mxPathname = base->mxPathname;
  scramble_vfs.zName = SCRAMBLE_VFS_NAME;
  scramble_vfs.xOpen = v_open;
  scramble_vfs.xDelete = v_delete;
  scramble_vfs.xAccess = v_access;
  scramble_vfs.xFullPathname = v_full_pathname;
  scramble_vfs.xDlOpen = v_dl_open;
  scramble_vfs.xDlError = v_dl_error;
  scramble_vfs.xDlSym = v_dl_sym;
  scramble_vfs.xDlClose = v_dl_close;
  scramble_vfs.xRandomness = v_randomness;
  scramble_vfs.xSleep = v_sleep;
  scramble_vfs.xCurrentTime = v_current_time;
  scramble_vfs.xGetLastError = v_last_error;
  scramble_vfs.xCurrentTimeInt64 = v_current_time64;
  real_vfs = base;
  if (sqlite3_vfs_register(&scramble_vfs, 1) != SQLITE_OK) {
    real_vfs = nullptr;
    return false;
  }
  return true;
}
