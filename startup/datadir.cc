#include "startup/datadir.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "platform/paths.h"
#include "util/registry.h"

namespace {

constexpr size_t PATH_CAP = 520;
constexpr char DB_NAME[] = "settings.db";
constexpr char PRODUCT_SUFFIX[] = "/merovane/settings.db";
constexpr long CONNECTION_LOG_DIGITS = 7;

bool ends_with_nocase(const char* text, const char* suffix) {
  size_t n = std::strlen(text), m = std::strlen(suffix);
  return n >= m && strcasecmp(text + n - m, suffix) == 0;
}

// The per-connection files are named by the serial, seven digits or more,
// then ".txt"; any other file in the folder (a user's "2024.txt", the
// monthly traffic files) is not ours to delete.
bool is_connection_log_name(const char* name) {
  const char* rest = name;
  while (*rest >= '0' && *rest <= '9') ++rest;
  return rest - name >= CONNECTION_LOG_DIGITS && strcasecmp(rest, ".txt") == 0;
}

}  // namespace

void data_path(char* out, size_t capacity, bool want_file) {
  if (out == nullptr || capacity == 0) return;
  out[0] = 0;
  char path[PATH_CAP];
  uint32_t type = 0;
  size_t size = 0;
  if (!reg_get("DB", &type, path, PATH_CAP - 1, &size) || type != REG_SZ) path[0] = 0;
  if (path[0] == 0) {
    char folder[PATH_CAP];
    size_t len = 0;
    if (path_common_data(folder, sizeof folder)) {
      len = std::strlen(folder);
      int n = std::snprintf(folder + len, sizeof folder - len, "%s%s",
                            (len > 0 && folder[len - 1] == '/') ? "" : "/", "merovane");
      if (n < 0 || static_cast<size_t>(n) >= sizeof folder - len) return;
      path_make_dirs(folder, 0700);
    } else if (path_program(folder, sizeof folder)) {
      char* slash = std::strrchr(folder, '/');
      if (slash == nullptr) return;
      *slash = 0;
    } else {
      return;
    }
    len = std::strlen(folder);
    if (len == 0) return;
    int n = std::snprintf(path, sizeof path, "%s%s%s", folder, folder[len - 1] == '/' ? "" : "/",
                          DB_NAME);
    if (n < 0 || static_cast<size_t>(n) >= PATH_CAP - 1) return;
    reg_set("DB", REG_SZ, path, std::strlen(path) + 1);
  }
  if (ends_with_nocase(path, PRODUCT_SUFFIX)) {
    // Our own folder holds the user's proxies and chain: it stays private
    // even when it was made earlier with looser modes.
    char dir[PATH_CAP];
    std::snprintf(dir, sizeof dir, "%s", path);
    dir[std::strlen(dir) - (sizeof DB_NAME - 1) - 1] = 0;
    path_keep_private(dir, 0700);
  }
  if (!want_file) {
    // Only a database inside our own product directory gives a directory
    // to remove; a file kept elsewhere never names a foreign directory.
    if (!ends_with_nocase(path, PRODUCT_SUFFIX)) return;
    path[std::strlen(path) - (sizeof DB_NAME - 1) - 1] = 0;
  }
  std::snprintf(out, capacity, "%s", path);
}

void log_cleanup_dir(const char* dir) {
  if (dir == nullptr || std::strlen(dir) < 2) return;
  DIR* listing = opendir(dir);
  if (listing == nullptr) return;
  size_t dir_len = std::strlen(dir);
  const char* sep = dir[dir_len - 1] == '/' ? "" : "/";
  while (dirent* entry = readdir(listing)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (!is_connection_log_name(name)) continue;
    char file[PATH_CAP + 256];
    int n = std::snprintf(file, sizeof file, "%s%s%s", dir, sep, name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof file) continue;
    struct stat st {};
    // Only plain files: a directory or link of that name is left alone.
    if (lstat(file, &st) != 0 || !S_ISREG(st.st_mode)) continue;
    unlink(file);
  }
  closedir(listing);
}

void log_cleanup() {
  log_cleanup_dir(log_dir_get());
}
