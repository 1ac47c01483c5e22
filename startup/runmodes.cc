#include "startup/runmodes.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "db/db.h"
#include "startup/server.h"
#include "platform/stop.h"
#include "engine/slot.h"
#include "maintenance/resolver.h"
#include "platform/lockfile.h"
#include "platform/paths.h"
#include "startup/datadir.h"
#include "util/registry.h"
#include "startup/service.h"
#include "util/text.h"

extern char** environ;

namespace {

constexpr size_t COMMAND_LINE_CAP = 4096;
constexpr int UNINSTALL_POLLS = 300;
constexpr int UNINSTALL_POLL_MS = 500;
constexpr int LAUNCHER_PAUSE_MS = 2500;

int instance_lock = -1;  // held lock file, -1 when not held
bool other_instance = false;

void pause_ms(int ms) {
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void on_stop_signal(int) {
  stop_flag.store(1);
}

void install_stop_handlers() {
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Starts the browser opener with the address, detached (a grandchild that
// nobody waits for); a missing opener is no error.
void open_in_browser(const char* address) {
  const char* opener = std::getenv("MEROVANE_OPEN");
  if (opener == nullptr || opener[0] == 0) opener = "xdg-open";
  pid_t child = fork();
  if (child < 0) return;
  if (child == 0) {
    setsid();
    pid_t grandchild = 0;
    char* argv[] = {const_cast<char*>(opener), const_cast<char*>(address), nullptr};
    posix_spawnp(&grandchild, opener, nullptr, nullptr, argv, environ);
    _exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

void take_instance_lock() {
  char lock_path[1024];
  instance_lock = path_lock_file(lock_path, sizeof lock_path) ? instance_lock_take(lock_path) : -1;
  other_instance = instance_lock < 0;
}

// Tries the lock until the other instance has released it: at most 300
// times, 500 ms apart.
void wait_for_other_instance() {
  char lock_path[1024];
  if (!path_lock_file(lock_path, sizeof lock_path)) return;
  for (int i = 0; i < UNINSTALL_POLLS; ++i) {
    int fd = instance_lock_take(lock_path);
    instance_lock_release(fd);
    if (fd >= 0) break;
    pause_ms(UNINSTALL_POLL_MS);
  }
  std::fputc('\a', stderr);
}

void remove_database_files(const char* file) {
  if (file[0] == 0) return;
  unlink(file);
  // SQLite's companions of the file would keep the directory from going.
  for (const char* suffix : {"-journal", "-wal", "-shm"}) {
    char side[600];
    int n = std::snprintf(side, sizeof side, "%s%s", file, suffix);
    if (n > 0 && static_cast<size_t>(n) < sizeof side) unlink(side);
  }
}

void run_uninstall() {
  int code = 0;
  int err = service_remove(&code);
  if (code != 0)
    std::fprintf(stderr, "Merovane: service removal failed (%d, error %d)\n", code, err);
  instance_lock_release(instance_lock);
  instance_lock = -1;
  if (other_instance) wait_for_other_instance();
  if (db_handle != nullptr) db_close();
  char file[520], dir[520];
  data_path(file, sizeof file, true);
  data_path(dir, sizeof dir, false);
  reg_delete_all();
  remove_database_files(file);
  if (dir[0] != 0) rmdir(dir);
}

void run_foreground() {
  reg_defaults();
  char address[256];
  panel_address(address, sizeof address);
  std::fprintf(stderr, "%s\n", address);
  server_run();
}

// The service: the engine runs on its own thread under service_main while
// this thread waits for the stop signal; the engine is joined before the
// shutdown sequence closes the database.
void run_service() {
  sigset_t stops;
  sigemptyset(&stops);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&stops, sig);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  char address[256];
  panel_address(address, sizeof address);
  std::fprintf(stderr, "%s\n", address);
  std::thread engine([] { service_main(0, nullptr); });
  while (stop_flag.load() == 0) {
    timespec wait{0, 250 * 1000000L};
    int sig = sigtimedwait(&stops, nullptr, &wait);
    if (sig == SIGTERM || sig == SIGINT || sig == SIGQUIT) {
      service_control(SERVICE_CONTROL_STOP);
    } else if (sig == SIGHUP) {
      service_control(SERVICE_CONTROL_SHUTDOWN);
    }
  }
  engine.join();
  if (service_state() != 0) service_control(SERVICE_CONTROL_STOP);
}

void run_launcher(const char* command_line) {
  int code = 0;
  int err = service_install(&code, text_find(command_line, "/install") != nullptr);
  reg_defaults();
  if (err != 0 || code != 0) {
    std::fprintf(stderr, "Merovane: service installation failed (%d, error %d)\n", code, err);
    int remove_code = 0;
    service_remove(&remove_code);
  }
  const char* root = reg_root();
  if (root[0] != 0) {
    pause_ms(LAUNCHER_PAUSE_MS);
    char address[256];
    panel_address(address, sizeof address);
    std::printf("%s\n", address);
    std::fflush(stdout);
    open_in_browser(address);
  } else {
    std::fprintf(stderr, "Merovane: Service is not installed\n");
  }
}

void shutdown_sequence() {
  resolver_stop();  // the worker gets 5 s to end
  if (db_handle != nullptr) db_close();
  instance_lock_release(instance_lock);
  instance_lock = -1;
  if (!other_instance) log_cleanup();
}

void print_usage() {
  // Only looks: asking for help creates no file and no directory.
  char registry[600], data[600], lock[600];
  if (!path_registry_file(registry, sizeof registry)) registry[0] = 0;
  uint32_t type = 0;
  size_t size = 0;
  if (!reg_get("DB", &type, data, 519, &size) || type != REG_SZ || data[0] == 0) {
    char folder[520];
    if (path_common_data(folder, sizeof folder))
      std::snprintf(data, sizeof data, "%s/merovane/settings.db", folder);
    else
      data[0] = 0;
  }
  if (!path_lock_file(lock, sizeof lock)) lock[0] = 0;
  std::printf(
      "Usage: merovane [/run | /srv | /uninstall | /install]\n"
      "\n"
      "A local proxy server that carries every connection through a chain of proxies.\n"
      "\n"
      "  (no switch)  install and start the service merovane.service, then open the\n"
      "               control panel in the browser (/install is accepted too)\n"
      "  /run         run the server in the foreground until Ctrl+C\n"
      "  /srv         run as the service (what the unit starts)\n"
      "  /uninstall   stop and remove the service, the registry file, the database\n"
      "               and the data directory\n"
      "  --help, -h   this text;  --version  the version\n"
      "\n"
      "MEROVANE_HOME=DIR keeps every file below DIR. Files used now:\n"
      "  registry  %s\n"
      "  database  %s\n"
      "  lock      %s\n",
      registry, data, lock);
}

}  // namespace

bool command_line_of(int argc, char** argv, char* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return false;
  out[0] = 0;
  size_t len = 0;
  for (int i = 1; i < argc && argv != nullptr; ++i) {
    if (argv[i] == nullptr) continue;
    int n = std::snprintf(out + len, capacity - len, "%s%s", len > 0 ? " " : "", argv[i]);
    if (n < 0 || static_cast<size_t>(n) >= capacity - len) {
      out[len] = 0;
      return false;
    }
    len += static_cast<size_t>(n);
  }
  return true;
}

run_mode mode_of(const char* command_line) {
  if (command_line == nullptr) return run_mode::launcher;
  if (text_find(command_line, "/uninstall") != nullptr) return run_mode::uninstall;
  if (text_find(command_line, "/run") != nullptr) return run_mode::foreground;
  if (text_find(command_line, "/srv") != nullptr) return run_mode::service;
  return run_mode::launcher;
}

info_request info_of(int argc, char** argv) {
  for (int i = 1; i < argc && argv != nullptr; ++i) {
    if (argv[i] == nullptr) continue;
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
      return info_request::help;
    if (std::strcmp(argv[i], "--version") == 0) return info_request::version;
  }
  return info_request::none;
}

void panel_address(char* out, size_t capacity) {
  std::snprintf(out, capacity, "http://%s:%u/%s/", "localhost",
                static_cast<unsigned>(reg_listen_port()), reg_root());
}

int program_main(int argc, char** argv) {
  switch (info_of(argc, argv)) {
    case info_request::help:
      print_usage();
      return 0;
    case info_request::version:
      std::printf("merovane %s\n", MEROVANE_VERSION);
      return 0;
    case info_request::none:
      break;
  }
  static char command_line[COMMAND_LINE_CAP];
  command_line_of(argc, argv, command_line, sizeof command_line);
  install_stop_handlers();
  take_instance_lock();
  switch (mode_of(command_line)) {
    case run_mode::uninstall:
      run_uninstall();
      break;
    case run_mode::foreground:
      run_foreground();
      break;
    case run_mode::service:
      run_service();
      break;
    case run_mode::launcher:
      run_launcher(command_line);
      break;
  }
  shutdown_sequence();
  return 0;
}
