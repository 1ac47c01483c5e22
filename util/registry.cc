#include "util/registry.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/clock.h"
#include "platform/paths.h"
#include "util/text.h"

namespace {

constexpr size_t REG_FILE_MAX = 64 * 1024;  // larger files are not ours
constexpr size_t ROOT_CAP = 40;

std::mutex reg_mutex;  // the main thread and the engine thread both use the file
char root_cache[ROOT_CAP];
std::atomic<bool> root_cached{false};

// Whole file into a malloc'd NUL-terminated block; empty block when missing.
// Null when the file exists but cannot be read.
char* read_file(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) return nullptr;
    return static_cast<char*>(std::calloc(1, 1));
  }
  // The file holds the panel's secret: one that others may read (made by
  // hand, or left so by an older copy) is made private. Its folder keeps
  // its mode: it may be the user's own (MEROVANE_HOME=$HOME); only a folder
  // made here is made private. A link is never followed for this: the file
  // it names is not ours.
  struct stat st {};
  struct stat named {};
  if (fstat(fd, &st) == 0 && lstat(path, &named) == 0 && S_ISREG(named.st_mode) &&
      named.st_ino == st.st_ino && named.st_dev == st.st_dev && st.st_uid == geteuid() &&
      (st.st_mode & 077) != 0)
    fchmod(fd, st.st_mode & 0600);
  char* buf = static_cast<char*>(std::malloc(REG_FILE_MAX + 1));
  size_t len = 0;
  while (buf != nullptr && len < REG_FILE_MAX) {
    ssize_t n = read(fd, buf + len, REG_FILE_MAX - len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      std::free(buf);
      buf = nullptr;
      break;
    }
    if (n == 0) break;
    len += static_cast<size_t>(n);
  }
  // A file larger than any registry of ours is not read (and so never
  // rewritten from a truncated copy).
  char extra;
  if (buf != nullptr && len == REG_FILE_MAX && read(fd, &extra, 1) > 0) {
    std::free(buf);
    buf = nullptr;
  }
  close(fd);
  if (buf != nullptr) buf[len] = 0;
  return buf;
}

bool name_ok(const char* name) {
  if (name == nullptr || name[0] == 0) return false;
  for (const char* p = name; *p; ++p)
    if (*p == '=' || *p == '\n' || *p == '\r') return false;
  return true;
}

// Does the line (not NUL-terminated, length len) hold the value name?
bool line_is(const char* line, size_t len, const char* name) {
  size_t n = std::strlen(name);
  return len > n && line[n] == '=' && strncasecmp(line, name, n) == 0;
}

// Finds the line of name in text; sets start and length.
bool find_line(const char* text, const char* name, const char** start, size_t* len) {
  const char* p = text;
  while (*p) {
    const char* end = std::strchr(p, '\n');
    size_t l = end ? static_cast<size_t>(end - p) : std::strlen(p);
    size_t content = (l > 0 && p[l - 1] == '\r') ? l - 1 : l;
    if (line_is(p, content, name)) {
      *start = p;
      *len = content;
      return true;
    }
    if (!end) break;
    p = end + 1;
  }
  return false;
}

bool write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Replaces the file by text: temporary file beside it, fsync, rename.
bool write_file(const char* path, const char* text, size_t len) {
  char dir[1024];
  // A missing folder is made private; an existing one keeps its mode.
  if (!path_parent(path, dir, sizeof dir) || !path_make_dirs(dir, 0700)) return false;
  char tmp[1100];
  int n = std::snprintf(tmp, sizeof tmp, "%s.XXXXXX", path);
  if (n < 0 || static_cast<size_t>(n) >= sizeof tmp) return false;
  int fd = mkostemp(tmp, O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0600) == 0 && write_all(fd, text, len) && fsync(fd) == 0;
  if (close(fd) != 0) ok = false;
  if (ok && rename(tmp, path) != 0) ok = false;
  if (!ok) {
    unlink(tmp);
    return false;
  }
  int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return true;
}

// Type and value text of a stored line ("name=TYPE:VALUE").
uint32_t parse_value(const char* line, size_t len, const char** value, size_t* value_len,
                     uint32_t* number) {
  const char* eq = static_cast<const char*>(std::memchr(line, '=', len));
  const char* rest = eq + 1;
  size_t rest_len = len - static_cast<size_t>(rest - line);
  *value = rest;
  *value_len = rest_len;
  if (rest_len >= 3 && std::memcmp(rest, "sz:", 3) == 0) {
    *value = rest + 3;
    *value_len = rest_len - 3;
    return REG_SZ;
  }
  if (rest_len >= 6 && std::memcmp(rest, "dword:", 6) == 0) {
    const char* digits = rest + 6;
    size_t dl = rest_len - 6;
    if (dl == 0 || dl > 10) return REG_OTHER;
    uint64_t v = 0;
    for (size_t i = 0; i < dl; ++i) {
      if (digits[i] < '0' || digits[i] > '9') return REG_OTHER;
      v = v * 10 + static_cast<uint64_t>(digits[i] - '0');
    }
    if (v > 0xFFFFFFFFu) return REG_OTHER;
    *number = static_cast<uint32_t>(v);
    *value = digits;
    *value_len = dl;
    return REG_DWORD;
  }
  return REG_OTHER;
}

void fill_random(void* block, size_t len) {
  uint8_t* p = static_cast<uint8_t*>(block);
  size_t got = 0;
  while (got < len) {
    ssize_t n = getrandom(p + got, len - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got == len) return;
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    while (got < len) {
      ssize_t n = read(fd, p + got, len - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    close(fd);
  }
}

void put16(uint8_t* at, int value) {
  at[0] = static_cast<uint8_t>(value & 0xFF);
  at[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

bool is_token(const char* text) {
  size_t n = std::strlen(text);
  if (n != 32) return false;
  for (size_t i = 0; i < n; ++i)
    if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f'))) return false;
  return true;
}

}  // namespace

bool reg_get(const char* name, uint32_t* type, void* data, size_t capacity, size_t* size) {
  if (data != nullptr && capacity > 0) std::memset(data, 0, capacity);
  if (!name_ok(name)) return false;
  char path[1024];
  if (!path_registry_file(path, sizeof path)) return false;
  std::lock_guard<std::mutex> hold(reg_mutex);
  char* text = read_file(path);
  if (text == nullptr) return false;
  const char* line;
  size_t len;
  bool ok = false;
  if (find_line(text, name, &line, &len)) {
    const char* value;
    size_t value_len;
    uint32_t v = 0;
    uint32_t t = parse_value(line, len, &value, &value_len, &v);
    if (t == REG_DWORD) {
      if (data != nullptr && capacity >= 4) {
        std::memcpy(data, &v, 4);
        if (size) *size = 4;
        ok = true;
      }
    } else if (data != nullptr && value_len + 1 <= capacity) {
      std::memcpy(data, value, value_len);
      static_cast<char*>(data)[value_len] = 0;
      if (size) *size = value_len + 1;
      ok = true;
    }
    if (ok && type) *type = t;
  }
  std::free(text);
  return ok;
}

namespace {

// The file line "name=dword:N" or "name=sz:text" and a line end, in entry;
// its length, or -1 for a type, size or text the file cannot hold.
int format_entry(const char* name, uint32_t type, const void* data, size_t size, char* entry,
                 size_t capacity) {
  int entry_len = -1;
  if (type == REG_DWORD) {
    if (size != 4) return -1;
    uint32_t v;
    std::memcpy(&v, data, 4);
    entry_len = std::snprintf(entry, capacity, "%s=dword:%u\n", name, v);
  } else if (type == REG_SZ) {
    const char* s = static_cast<const char*>(data);
    size_t n = strnlen(s, size);
    for (size_t i = 0; i < n; ++i)
      if (s[i] == '\n' || s[i] == '\r') return -1;
    entry_len = std::snprintf(entry, capacity, "%s=sz:%.*s\n", name, static_cast<int>(n), s);
  }
  if (entry_len < 0 || static_cast<size_t>(entry_len) >= capacity) return -1;
  return entry_len;
}

void append(char* out, size_t& out_len, const char* bytes, size_t n) {
  std::memcpy(out + out_len, bytes, n);
  out_len += n;
}

// Copies the file text to out with the value's line replaced by the entry
// (or the entry appended); an empty entry removes the value. Every other
// line stays as it was, unparseable ones included. out holds the text, the
// entry and one more byte. Returns the length written.
size_t merge_entry(const char* text, const char* name, const char* entry, size_t entry_len,
                   char* out) {
  size_t out_len = 0;
  bool placed = false;
  for (const char* p = text; *p;) {
    const char* end = std::strchr(p, '\n');
    size_t l = end ? static_cast<size_t>(end - p) : std::strlen(p);
    size_t content = (l > 0 && p[l - 1] == '\r') ? l - 1 : l;
    if (line_is(p, content, name)) {
      if (!placed) append(out, out_len, entry, entry_len);
      placed = true;
    } else if (l > 0) {
      append(out, out_len, p, l);
      out[out_len++] = '\n';
    }
    if (!end) break;
    p = end + 1;
  }
  if (!placed) append(out, out_len, entry, entry_len);
  return out_len;
}

// Reads the file, merges the entry in and writes it back whole.
bool store_entry(const char* path, const char* name, const char* entry, size_t entry_len) {
  char* text = read_file(path);
  if (text == nullptr) return false;
  char* out = static_cast<char*>(std::malloc(std::strlen(text) + entry_len + 2));
  bool ok = false;
  if (out != nullptr) ok = write_file(path, out, merge_entry(text, name, entry, entry_len, out));
  std::free(out);
  std::free(text);
  return ok;
}

}  // namespace

bool reg_set(const char* name, uint32_t type, const void* data, size_t size) {
  if (!name_ok(name)) return false;
  const bool remove = data == nullptr || size == 0;
  char entry[1200];
  const int entry_len = remove ? 0 : format_entry(name, type, data, size, entry, sizeof entry);
  if (entry_len < 0) return false;
  char path[1024];
  if (!path_registry_file(path, sizeof path)) return false;
  std::lock_guard<std::mutex> hold(reg_mutex);
  return store_entry(path, name, entry, static_cast<size_t>(entry_len));
}

void reg_defaults() {
  char buf[ROOT_CAP];
  uint32_t type = 0;
  size_t size = 0;
  // An empty or malformed token would leave the panel without its secret:
  // such a value is replaced like a missing one.
  if (!reg_get("root", &type, buf, sizeof buf, &size) || type != REG_SZ || !is_token(buf)) {
    uint8_t block[128];
    fill_random(block, sizeof block);
    uint64_t wall = wall_now_ms();
    local_time now = local_time_of(wall);
    uint8_t* slot = block + 16 * (static_cast<unsigned>(getpid()) % 7);
    time_t secs = static_cast<time_t>(wall / 1000);
    tm parts{};
    localtime_r(&secs, &parts);
    put16(slot + 0, now.year);
    put16(slot + 2, now.month);
    put16(slot + 4, parts.tm_wday);
    put16(slot + 6, now.day);
    put16(slot + 8, now.hour);
    put16(slot + 10, now.minute);
    put16(slot + 12, now.second);
    put16(slot + 14, now.millisecond);
    char token[33];
    if (md5_hex(block, sizeof block, token) == 1) reg_set("root", REG_SZ, token, 33);
  }
  uint32_t port = 0;
  if (!reg_get("listen_port", &type, &port, sizeof port, &size) || type != REG_DWORD) {
    port = 8080;
    reg_set("listen_port", REG_DWORD, &port, sizeof port);
  }
  char ip[48];
  if (!reg_get("listen_ip", &type, ip, 41, &size) || type != REG_SZ) {
    static const char def[] = "127.0.0.1";
    reg_set("listen_ip", REG_SZ, def, sizeof def);
  }
}

const char* reg_root() {
  if (root_cached.load(std::memory_order_acquire)) return root_cache;
  static std::mutex fill_mutex;
  std::lock_guard<std::mutex> hold(fill_mutex);
  if (root_cached.load(std::memory_order_relaxed)) return root_cache;
  char buf[ROOT_CAP];
  uint32_t type = 0;
  size_t size = 0;
  if (reg_get("root", &type, buf, sizeof buf, &size) && type == REG_SZ && buf[0] != 0) {
    std::memcpy(root_cache, buf, sizeof root_cache);
    root_cache[ROOT_CAP - 1] = 0;
    root_cached.store(true, std::memory_order_release);
    return root_cache;
  }
  return "";
}

void reg_root_forget() {
  root_cached.store(false);
  std::memset(root_cache, 0, sizeof root_cache);
}

bool reg_delete_all() {
  char path[1024];
  if (!path_registry_file(path, sizeof path)) return false;
  std::lock_guard<std::mutex> hold(reg_mutex);
  return unlink(path) == 0 || errno == ENOENT;
}

uint32_t reg_listen_port() {
  uint32_t port = 0, type = 0;
  size_t size = 0;
  if (!reg_get("listen_port", &type, &port, sizeof port, &size) || type != REG_DWORD) return 8080;
  // A number that is no TCP port would bind somewhere unexpected.
  if (port == 0 || port > 65535) return 8080;
  return port;
}

void reg_listen_ip(char* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return;
  char buf[41];
  uint32_t type = 0;
  size_t size = 0;
  // Only a stored empty text opens the listener to every interface; a value
  // that is missing or unreadable keeps the loopback default.
  std::snprintf(out, capacity, "%s", "127.0.0.1");
  if (!reg_get("listen_ip", &type, buf, sizeof buf, &size) || type != REG_SZ) return;
  std::snprintf(out, capacity, "%s", buf);
}
