#include "platform/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* env_nonempty(const char* name) {
  const char* value = std::getenv(name);
  return (value != nullptr && value[0] != 0) ? value : nullptr;
}

const char* home_dir() {
  if (const char* home = env_nonempty("HOME")) return home;
  const passwd* pw = getpwuid(getuid());
  return (pw != nullptr && pw->pw_dir != nullptr && pw->pw_dir[0] != 0) ? pw->pw_dir : nullptr;
}

// Formats into out; an output that does not fit counts as no path.
bool put(char* out, size_t capacity, const char* format, const char* a, const char* b) {
  if (out == nullptr || capacity == 0) return false;
  int n = std::snprintf(out, capacity, format, a, b);
  if (n < 0 || static_cast<size_t>(n) >= capacity) {
    out[0] = 0;
    return false;
  }
  return true;
}

bool fail(char* out, size_t capacity) {
  if (out != nullptr && capacity > 0) out[0] = 0;
  return false;
}

}  // namespace

bool path_system_wide() {
  return geteuid() == 0;
}

bool path_registry_file(char* out, size_t capacity) {
  if (const char* dir = env_nonempty("MEROVANE_HOME"))
    return put(out, capacity, "%s/%s", dir, "registry");
  if (path_system_wide()) return put(out, capacity, "%s%s", "/etc/merovane/registry", "");
  if (const char* cfg = env_nonempty("XDG_CONFIG_HOME"))
    return put(out, capacity, "%s/%s", cfg, "merovane/registry");
  if (const char* home = home_dir())
    return put(out, capacity, "%s/%s", home, ".config/merovane/registry");
  return fail(out, capacity);
}

bool path_common_data(char* out, size_t capacity) {
  if (const char* dir = env_nonempty("MEROVANE_HOME")) return put(out, capacity, "%s%s", dir, "");
  if (path_system_wide()) return put(out, capacity, "%s%s", "/var/lib", "");
  if (const char* data = env_nonempty("XDG_DATA_HOME")) return put(out, capacity, "%s%s", data, "");
  if (const char* home = home_dir()) return put(out, capacity, "%s/%s", home, ".local/share");
  return fail(out, capacity);
}

bool path_lock_file(char* out, size_t capacity) {
  if (const char* dir = env_nonempty("MEROVANE_HOME"))
    return put(out, capacity, "%s/%s", dir, "merovane.lock");
  if (path_system_wide()) return put(out, capacity, "%s%s", "/run/merovane.lock", "");
  if (const char* run = env_nonempty("XDG_RUNTIME_DIR"))
    return put(out, capacity, "%s/%s", run, "merovane.lock");
  char name[64];
  std::snprintf(name, sizeof name, "/tmp/merovane-%u.lock", static_cast<unsigned>(getuid()));
  return put(out, capacity, "%s%s", name, "");
}

bool path_unit_dir(char* out, size_t capacity) {
  if (const char* dir = env_nonempty("MEROVANE_UNIT_DIR"))
    return put(out, capacity, "%s%s", dir, "");
  if (path_system_wide()) return put(out, capacity, "%s%s", "/etc/systemd/system", "");
  if (const char* cfg = env_nonempty("XDG_CONFIG_HOME"))
    return put(out, capacity, "%s/%s", cfg, "systemd/user");
  if (const char* home = home_dir())
    return put(out, capacity, "%s/%s", home, ".config/systemd/user");
  return fail(out, capacity);
}

bool path_program(char* out, size_t capacity) {
  if (out == nullptr || capacity < 2) return fail(out, capacity);
  ssize_t n = readlink("/proc/self/exe", out, capacity - 1);
  if (n <= 0 || static_cast<size_t>(n) >= capacity - 1) return fail(out, capacity);
  out[n] = 0;
  return true;
}

bool path_parent(const char* path, char* out, size_t capacity) {
  if (path == nullptr || out == nullptr || capacity == 0) return fail(out, capacity);
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return fail(out, capacity);
  size_t len = static_cast<size_t>(slash - path);
  if (len == 0) len = 1;  // the root directory
  if (len >= capacity) return fail(out, capacity);
  std::memcpy(out, path, len);
  out[len] = 0;
  return true;
}

bool path_keep_private(const char* path, mode_t allowed) {
  if (path == nullptr || path[0] == 0) return false;
  struct stat st {};
  if (lstat(path, &st) != 0 || S_ISLNK(st.st_mode)) return false;
  mode_t bits = st.st_mode & 07777;
  if ((bits & ~allowed) == 0) return true;
  if (st.st_uid != geteuid()) return false;
  return chmod(path, bits & allowed) == 0;
}

bool path_make_dirs(const char* dir, mode_t mode) {
  if (dir == nullptr || dir[0] == 0) return false;
  char buf[1024];
  size_t len = std::strlen(dir);
  if (len >= sizeof buf) return false;
  std::memcpy(buf, dir, len + 1);
  while (len > 1 && buf[len - 1] == '/') buf[--len] = 0;
  // Parents get the usual 0755; only the last level gets the requested mode.
  for (size_t i = 1; i < len; ++i) {
    if (buf[i] != '/') continue;
    buf[i] = 0;
    if (mkdir(buf, 0755) != 0 && errno != EEXIST) {
      buf[i] = '/';
      return false;
    }
    buf[i] = '/';
  }
  if (mkdir(buf, mode) != 0 && errno != EEXIST) return false;
  struct stat st {};
  return stat(buf, &st) == 0 && S_ISDIR(st.st_mode);
}
