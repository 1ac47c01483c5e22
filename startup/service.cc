#include "startup/service.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/loop.h"
#include "engine/slot.h"
#include "platform/notify.h"
#include "platform/paths.h"
#include "platform/stop.h"
#include "startup/server.h"

extern char** environ;

namespace {

constexpr char UNIT_NAME[] = "merovane.service";
std::atomic<int> reported_state{0};

// Runs the service manager's command with the given arguments (after
// "--user" for a per-user service) and waits for it. Returns its exit
// status, or -1 with errno set when it cannot be run.
int systemctl(const char* a, const char* b) {
  const char* cmd = std::getenv("MEROVANE_SYSTEMCTL");
  if (cmd == nullptr || cmd[0] == 0) cmd = "systemctl";
  char* argv[5];
  int n = 0;
  argv[n++] = const_cast<char*>(cmd);
  if (!path_system_wide()) argv[n++] = const_cast<char*>("--user");
  argv[n++] = const_cast<char*>(a);
  if (b != nullptr) argv[n++] = const_cast<char*>(b);
  argv[n] = nullptr;
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, cmd, nullptr, nullptr, argv, environ);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

bool unit_path(char* out, size_t capacity) {
  char dir[512];
  if (!path_unit_dir(dir, sizeof dir)) return false;
  int n = std::snprintf(out, capacity, "%s/%s", dir, UNIT_NAME);
  return n > 0 && static_cast<size_t>(n) < capacity;
}

// Appends text quoted for a unit file: inside double quotes, with
// backslash, quote, '%' (specifiers) and, for command lines, '$' escaped.
bool append_quoted(char* out, size_t capacity, size_t* len, const char* text, bool command) {
  auto put = [&](char c) {
    if (*len + 1 >= capacity) return false;
    out[(*len)++] = c;
    return true;
  };
  if (!put('"')) return false;
  for (const char* p = text; *p; ++p) {
    char c = *p;
    if (c == '\n' || c == '\r') return false;
    if (c == '\\' || c == '"') {
      if (!put('\\')) return false;
    } else if (c == '%') {
      if (!put('%')) return false;
    } else if (c == '$' && command) {
      if (!put('$')) return false;
    }
    if (!put(c)) return false;
  }
  if (!put('"')) return false;
  out[*len] = 0;
  return true;
}

bool append_text(char* out, size_t capacity, size_t* len, const char* text) {
  size_t n = std::strlen(text);
  if (*len + n >= capacity) return false;
  std::memcpy(out + *len, text, n + 1);
  *len += n;
  return true;
}

// An Environment= line for name=value; nothing for a missing value.
bool append_environment(char* out, size_t capacity, size_t* len, const char* name,
                        const char* value) {
  if (value == nullptr || value[0] == 0) return true;
  char assignment[600];
  int n = std::snprintf(assignment, sizeof assignment, "%s=%s", name, value);
  return n > 0 && static_cast<size_t>(n) < sizeof assignment &&
         append_text(out, capacity, len, "Environment=") &&
         append_quoted(out, capacity, len, assignment, false) &&
         append_text(out, capacity, len, "\n");
}

// The user's configuration and data homes as this process resolves them
// (the XDG values, else their defaults under the home directory).
void user_homes(char* config, size_t config_size, char* data, size_t data_size) {
  config[0] = data[0] = 0;
  if (path_registry_file(config, config_size)) {
    // ".../merovane/registry": the configuration home is two levels up.
    for (int level = 0; level < 2; ++level) {
      char* slash = std::strrchr(config, '/');
      if (slash == nullptr) {
        config[0] = 0;
        break;
      }
      *slash = 0;
    }
  }
  if (!path_common_data(data, data_size)) data[0] = 0;
}

bool write_unit(const char* path, const char* text, size_t len) {
  char dir[512];
  if (!path_parent(path, dir, sizeof dir) || !path_make_dirs(dir, 0755)) return false;
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  bool ok = fchmod(fd, 0644) == 0 && write(fd, text, len) == static_cast<ssize_t>(len);
  if (close(fd) != 0) ok = false;
  return ok;
}

void report(int state) {
  reported_state.store(state);
  notify_send(state == SERVICE_RUNNING ? "READY=1" : "STOPPING=1");
}

}  // namespace

size_t service_unit_text(char* out, size_t capacity, const char* program, const char* home,
                         bool system_wide, const char* config_home, const char* data_home) {
  if (out == nullptr || capacity == 0 || program == nullptr || program[0] != '/') return 0;
  size_t len = 0;
  out[0] = 0;
  bool ok = append_text(out, capacity, &len,
                        "[Unit]\n"
                        "Description=Merovane\n"
                        "StartLimitIntervalSec=120\n"
                        "StartLimitBurst=3\n"
                        "\n"
                        "[Service]\n"
                        "Type=notify\n");
  // The service finds its files where the installing user pointed them.
  if (ok && home != nullptr && home[0] != 0) {
    ok = append_environment(out, capacity, &len, "MEROVANE_HOME", home);
  } else if (ok && !system_wide) {
    ok = append_environment(out, capacity, &len, "XDG_CONFIG_HOME", config_home) &&
         append_environment(out, capacity, &len, "XDG_DATA_HOME", data_home);
  }
  ok = ok && append_text(out, capacity, &len, "ExecStart=") &&
       append_quoted(out, capacity, &len, program, true) &&
       append_text(out, capacity, &len,
                   " /srv\n"
                   "Restart=on-failure\n"
                   "RestartSec=60\n"
                   "\n"
                   "[Install]\n") &&
       append_text(out, capacity, &len,
                   system_wide ? "WantedBy=multi-user.target\n" : "WantedBy=default.target\n");
  if (!ok) {
    out[0] = 0;
    return 0;
  }
  return len;
}

int service_install(int* code, bool /*elevation_allowed*/) {
  // There is no elevation step here: root installs the system service and
  // any other user a per-user one.
  int dummy = 0;
  if (code == nullptr) code = &dummy;
  *code = SERVICE_OK;
  char program[512], unit[600];
  const char* home = std::getenv("MEROVANE_HOME");
  const bool system_wide = path_system_wide();
  char config[512] = "", data[512] = "";
  if (!system_wide && (home == nullptr || home[0] == 0))
    user_homes(config, sizeof config, data, sizeof data);
  static char text[4096];
  size_t len = 0;
  if (!path_program(program, sizeof program) || !unit_path(unit, sizeof unit) ||
      (len = service_unit_text(text, sizeof text, program, home, system_wide, config, data)) == 0) {
    *code = SERVICE_NOT_CREATED;
    return EINVAL;
  }
  if (!write_unit(unit, text, len)) {
    int err = errno != 0 ? errno : EIO;
    *code = SERVICE_NOT_CREATED;
    return err;
  }
  // Until the unit is enabled a failure takes back the file written here,
  // so no stale unit is left behind.
  int rc = systemctl("daemon-reload", nullptr);
  if (rc != 0) {
    int err = rc < 0 ? errno : rc;
    unlink(unit);
    *code = SERVICE_NO_MANAGER;
    return err;
  }
  rc = systemctl("enable", UNIT_NAME);
  if (rc != 0) {
    int err = rc < 0 ? errno : rc;
    unlink(unit);
    systemctl("daemon-reload", nullptr);
    *code = SERVICE_NOT_CREATED;
    return err;
  }
  rc = systemctl("start", UNIT_NAME);
  if (rc != 0) {
    *code = SERVICE_START_FAILED;
    return rc < 0 ? errno : rc;
  }
  return 0;
}

int service_remove(int* code) {
  int dummy = 0;
  if (code == nullptr) code = &dummy;
  *code = SERVICE_OK;
  char unit[600];
  if (!unit_path(unit, sizeof unit)) {
    *code = SERVICE_NO_MANAGER_RM;
    return ENOENT;
  }
  struct stat st {};
  if (lstat(unit, &st) != 0) return 0;  // not installed: nothing to remove
  if (!S_ISREG(st.st_mode)) {
    *code = SERVICE_OPEN_FAILED;
    return EISDIR;
  }
  int err = 0;
  // Stopping an inactive unit succeeds; systemctl answers 5 for a unit it
  // does not know, which is just as good.
  int rc = systemctl("stop", UNIT_NAME);
  if (rc < 0) {
    // Without a service manager nothing runs the unit: the file goes.
    int err = errno;
    unlink(unit);
    *code = SERVICE_NO_MANAGER_RM;
    return err;
  }
  if (rc != 0 && rc != 5) {
    *code = SERVICE_STOP_FAILED;
    err = rc;
  }
  rc = systemctl("disable", UNIT_NAME);
  if (rc != 0 && rc != 5 && *code == SERVICE_OK) {
    *code = SERVICE_DELETE_FAILED;
    err = rc < 0 ? errno : rc;
  }
  if (unlink(unit) != 0 && errno != ENOENT && *code == SERVICE_OK) {
    *code = SERVICE_DELETE_FAILED;
    err = errno;
  }
  systemctl("daemon-reload", nullptr);
  return err;
}

void service_main(int, char**) {
  report(SERVICE_RUNNING);
  server_run();
  stop_flag.store(1);
  report(SERVICE_STOPPED);
}

void service_control(int control) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    stop_flag.store(1);
    engine_wake();
    reported_state.store(SERVICE_STOPPED);
  }
  if (stop_flag.load() != 0) report(SERVICE_STOPPED);
}

int service_state() {
  return reported_state.load();
}
