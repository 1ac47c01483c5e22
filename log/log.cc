#include "log/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/db.h"
#include "engine/slot.h"
#include "platform/clock.h"
#include "util/ascii.h"
#include "util/literal.h"
#include "util/text.h"

namespace {

constexpr uint32_t SETTING_REFRESH_MS = 30000;
constexpr size_t LOG_DIR_CAP = 260;   // 259 characters and the NUL
constexpr size_t MESSAGE_CAP = 1024;  // what one formatted message may hold
constexpr size_t TRAFFIC_LINE_CAP = 2100;
constexpr size_t PATH_CAP = LOG_DIR_CAP + 32;

int level_value = 0;
uint32_t level_read_at = 0;
bool level_read_once = false;
char dir_value[LOG_DIR_CAP];
uint32_t dir_read_at = 0;
bool dir_read_once = false;

bool due(bool read_once, uint32_t read_at) {
  return !read_once || static_cast<uint32_t>(tick_now() - read_at) > SETTING_REFRESH_MS;
}

// The character a binary dump shows for a byte: letters, digits and the
// printable punctuation as themselves, everything else as a full stop.
constexpr char dump_char(uint8_t b) {
  return (b > 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
}

bool is_text(const uint8_t* p, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i)
    if (!((p[i] >= 0x20 && p[i] <= 0x7E) || p[i] == '\r' || p[i] == '\n' || p[i] == '\t'))
      return false;
  return true;
}

// Path of the slot's diagnostic file; false when no directory is set.
bool slot_file(const conn_slot& slot, char* path, size_t capacity) {
  const char* dir = log_dir_get();
  size_t len = std::strlen(dir);
  if (len == 0) return false;
  int n = std::snprintf(path, capacity, "%s%s%07u.txt", dir, dir[len - 1] == '/' ? "" : "/",
                        slot.serial);
  return n > 0 && static_cast<size_t>(n) < capacity;
}

// Whether a call for this slot writes anything at all. Cheap checks first:
// most calls come from slots that never log.
inline bool gate(int index) {
  if (index < 0 || index >= SLOT_COUNT) return false;
  slot_kind kind = conn_table[index].kind;
  if (kind != slot_kind::chain && kind != slot_kind::relay) return false;
  return log_level_get() >= 2;
}

void write_line(int index, const char* format, va_list args) {
  char path[PATH_CAP];
  const conn_slot& slot = conn_table[index];
  if (!slot_file(slot, path, sizeof path)) return;
  char line[MESSAGE_CAP + 64];
  local_time t = local_time_of(wall_now_ms());
  int head =
      std::snprintf(line, sizeof line, "[%u] %02d:%02d:%02d.%03d  ",
                    static_cast<unsigned>(slot.sock), t.hour, t.minute, t.second, t.millisecond);
  if (head < 0) return;
  size_t len = static_cast<size_t>(head);
  char message[MESSAGE_CAP];
  int m = std::vsnprintf(message, sizeof message, format, args);
  if (m < 0) message[0] = 0;
  size_t mlen = std::strlen(message);
  while (mlen > 0 && std::strchr(" \t\r\n", message[mlen - 1]) != nullptr) --mlen;
  std::memcpy(line + len, message, mlen);
  len += mlen;
  line[len++] = '\r';
  line[len++] = '\n';
  file_append(path, static_cast<uint32_t>(len), line);
}

}  // namespace

int log_level_get() {
  if (due(level_read_once, level_read_at)) {
    // Without an open database the last known value stays in force.
    if (db_handle != nullptr) {
      level_value = setting_int("log_level", 0, 0);
      level_read_once = true;
      level_read_at = tick_now();
    }
  }
  return level_value;
}

const char* log_dir_get() {
  if (due(dir_read_once, dir_read_at)) {
    if (db_handle != nullptr) {
      char buf[LOG_DIR_CAP];
      std::memset(buf, 0, sizeof buf);
      setting_str("log_dir", buf, sizeof buf, 0);
      buf[LOG_DIR_CAP - 1] = 0;
      std::memcpy(dir_value, buf, sizeof dir_value);
      dir_read_once = true;
      dir_read_at = tick_now();
    }
  }
  return dir_value;
}

void log_settings_forget() {
  level_read_once = false;
  dir_read_once = false;
}

void log_settings_override(int level, const char* dir) {
  level_value = level;
  std::snprintf(dir_value, sizeof dir_value, "%s", dir != nullptr ? dir : "");
  level_read_once = dir_read_once = true;
  level_read_at = dir_read_at = tick_now();
}

namespace {
// Binary lines are the offset (4 hex digits, more from 64 KiB on, up to 8),
// ": ", then 70 characters for 16 bytes.
constexpr size_t DUMP_LINE_MAX = 8 + 2 + 70;

// The offset in at least 4 hex digits and ": " at out; its length.
size_t put_offset(uint32_t offset, char* out) {
  static constexpr char hex[] = "0123456789abcdef";
  size_t digits = 4;
  while (digits < 8 && (offset >> (4 * digits)) != 0) ++digits;
  for (size_t i = 0; i < digits; ++i) out[i] = hex[(offset >> (4 * (digits - 1 - i))) & 15];
  out[digits] = ':';
  out[digits + 1] = ' ';
  return digits + 2;
}
}  // namespace

size_t log_dump_capacity(uint32_t count) {
  // Text needs at most 2 characters per byte.
  size_t lines = (static_cast<size_t>(count) + 15) / 16;
  size_t binary = lines * DUMP_LINE_MAX;
  size_t text = static_cast<size_t>(count) * 2;
  return 2 + (binary > text ? binary : text) + 4 + 1;
}

size_t log_format_dump(const void* bytes, uint32_t count, char* out, size_t capacity) {
  if (bytes == nullptr || count == 0 || out == nullptr || capacity < log_dump_capacity(count))
    return 0;
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  size_t len = 0;
  out[len++] = '\r';
  out[len++] = '\n';
  if (is_text(p, count)) {
    for (uint32_t i = 0; i < count; ++i) {
      if (p[i] == '\r') continue;
      if (p[i] == '\n') out[len++] = '\r';
      out[len++] = static_cast<char>(p[i]);
    }
  } else {
    static constexpr char hex[] = "0123456789abcdef";
    for (uint32_t base = 0; base < count; base += 16) {
      len += put_offset(base, out + len);
      for (uint32_t k = 0; k < 16; ++k) {
        if (base + k < count) {
          uint8_t b = p[base + k];
          out[len++] = hex[b >> 4];
          out[len++] = hex[b & 15];
          out[len++] = ' ';
        } else {
          out[len++] = ' ';
          out[len++] = ' ';
          out[len++] = ' ';
        }
        if (k == 7) out[len++] = ' ';
      }
      out[len++] = ' ';
      for (uint32_t k = 0; k < 16; ++k)
        out[len++] = base + k < count ? dump_char(p[base + k]) : ' ';
      out[len++] = '\r';
      out[len++] = '\n';
    }
  }
  while (len > 2) {
    char c = out[len - 1];
    if (ascii_is_blank(static_cast<unsigned char>(c))) {
      --len;
    } else if ((c == 'n' || c == 'r') && out[len - 2] == '\\') {
      len -= 2;
    } else {
      break;
    }
  }
  std::memcpy(out + len, "\r\n\r\n", 4);
  len += 4;
  out[len] = 0;
  return len;
}

void log_line(int index, const char* format, ...) {
  if (!gate(index)) return;
  va_list args;
  va_start(args, format);
  write_line(index, format, args);
  va_end(args);
}

void log_dump(int index, const void* bytes, uint32_t count, const char* format, ...) {
  if (!gate(index)) return;
  va_list args;
  va_start(args, format);
  write_line(index, format, args);
  va_end(args);
  if (bytes == nullptr || reinterpret_cast<uintptr_t>(bytes) < 1024 || count == 0) return;
  char path[PATH_CAP];
  if (!slot_file(conn_table[index], path, sizeof path)) return;
  size_t capacity = log_dump_capacity(count);
  char* block = static_cast<char*>(std::malloc(capacity));
  if (block == nullptr) return;
  size_t len = log_format_dump(bytes, count, block, capacity);
  if (len > 0) file_append(path, static_cast<uint32_t>(len), block);
  std::free(block);
}

namespace {
// The month's traffic file stays open between records: one write per
// finished chain instead of a lookup, an open and a close. It is opened
// again when the name changes (new month, new "log_dir") or the file was
// removed meanwhile; a file created here starts with the header line.
int traffic_fd = -1;
char traffic_path[PATH_CAP];

int traffic_file(const char* path) {
  if (traffic_fd >= 0 && std::strcmp(path, traffic_path) == 0) {
    struct stat st {};
    if (fstat(traffic_fd, &st) == 0 && st.st_nlink > 0) return traffic_fd;
  }
  if (traffic_fd >= 0) close(traffic_fd);
  traffic_fd = -1;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool created = fd >= 0;
  if (!created && errno == EEXIST) fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return -1;
  if (created) {
    const char* header = MV_LIT("#DD-HH:MM:SS sent_bytes recv_bytes velmoor target\r\n");
    if (write(fd, header, std::strlen(header)) < 0) {
      close(fd);
      return -1;
    }
  }
  std::snprintf(traffic_path, sizeof traffic_path, "%s", path);
  traffic_fd = fd;
  return fd;
}
}  // namespace

void traffic_record(const char* chain_text, uint32_t received, uint32_t sent) {
  if (log_level_get() <= 0) return;
  local_time t = local_time_of(wall_now_ms());
  char line[TRAFFIC_LINE_CAP];
  int head = std::snprintf(line, sizeof line, "%02d-%02d:%02d:%02d %u %u ", t.day, t.hour, t.minute,
                           t.second, sent, received);
  if (head < 0) return;
  size_t len = static_cast<size_t>(head);
  // The chain text is cut so that the line, CR LF included, fits. Control
  // characters (a host name is the client's text) become full stops, so a
  // record is always exactly one line.
  if (chain_text != nullptr && reinterpret_cast<uintptr_t>(chain_text) >= 1024) {
    for (const char* c = chain_text; *c && len + 2 < sizeof line - 1; ++c)
      line[len++] = static_cast<uint8_t>(*c) < 0x20 || *c == 0x7F ? '.' : *c;
  }
  line[len++] = '\r';
  line[len++] = '\n';
  line[len] = 0;
  const char* dir = log_dir_get();
  size_t dir_len = std::strlen(dir);
  if (dir_len == 0) return;
  char path[PATH_CAP];
  int n = std::snprintf(path, sizeof path, "%s%s%04d-%02d.txt", dir,
                        dir[dir_len - 1] == '/' ? "" : "/", t.year, t.month);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return;
  int fd = traffic_file(path);
  if (fd < 0) return;
  size_t done = 0;
  while (done < len) {
    ssize_t w = write(fd, line + done, len - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
}

namespace {
bool engine_line_wanted(int index) {
  return gate(index);
}
void engine_line(int index, const char* text) {
  log_line(index, "%s", text);
}
void engine_dump(int index, const void* bytes, uint32_t count, const char* text) {
  log_dump(index, bytes, count, "%s", text);
}
}  // namespace

void log_attach() {
  engine_set_log(engine_log_hooks{engine_line_wanted, engine_line, engine_dump});
}
