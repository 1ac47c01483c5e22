#include "startup/runmodes.h"

#include <pthread.h>
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
#include "engine/loop.h"
#include "engine/slot.h"
#include "log/console.h"
#include "maintenance/resolver.h"
#include "platform/lockfile.h"
#include "platform/paths.h"
#include "platform/stop.h"
#include "startup/ctl.h"
#include "startup/datadir.h"
#include "startup/server.h"
#include "startup/service.h"
#include "util/registry.h"
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
  engine_wake();
}

void on_reload_signal(int) {
  reload_flag.store(1);
  engine_wake();
}

// SIGINT, SIGTERM and SIGQUIT stop; SIGHUP asks for the configuration to be
// read again and keeps the program running.
void install_stop_handlers() {
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGQUIT}) sigaction(sig, &sa, nullptr);
  sa.sa_handler = on_reload_signal;
  sigaction(SIGHUP, &sa, nullptr);
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
// times, 500 ms apart. False when Ctrl+C or SIGTERM ended the wait.
bool wait_for_other_instance() {
  char lock_path[1024];
  if (!path_lock_file(lock_path, sizeof lock_path)) return true;
  for (int i = 0; i < UNINSTALL_POLLS; ++i) {
    int fd = instance_lock_take(lock_path);
    instance_lock_release(fd);
    if (fd >= 0) break;
    for (int waited = 0; waited < UNINSTALL_POLL_MS && stop_flag.load() == 0; waited += 50)
      pause_ms(50);
    if (stop_flag.load() != 0) return false;
  }
  std::fputc('\a', stderr);
  return true;
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

// False when the wait for a running instance was interrupted: then the
// registry, the database and the data folder all stay.
bool run_uninstall() {
  int code = 0;
  int err = service_remove(&code);
  if (code != 0)
    std::fprintf(stderr, "Merovane: service removal failed (%d, error %d)\n", code, err);
  instance_lock_release(instance_lock);
  instance_lock = -1;
  if (other_instance && !wait_for_other_instance()) {
    console_line("uninstall interrupted; the registry, the database and the data folder stay");
    return false;
  }
  if (db_handle != nullptr) db_close();
  char file[520], dir[520];
  data_path(file, sizeof file, true);
  data_path(dir, sizeof dir, false);
  reg_delete_all();
  remove_database_files(file);
  if (dir[0] != 0) rmdir(dir);
  return true;
}

// The listening line of the engine names the panel address.
void run_foreground() {
  reg_defaults();
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
  // A packaged unit starts the service without a launcher before it: the
  // panel token and the defaults are written here then.
  reg_defaults();
  // An engine that ends by itself tells this thread with a signal of the
  // set, so the wait below needs no short timeout.
  const pthread_t waiter = pthread_self();
  std::thread engine([waiter] {
    service_main(0, nullptr);
    pthread_kill(waiter, SIGQUIT);
  });
  while (stop_flag.load() == 0) {
    timespec wait{60, 0};
    int sig = sigtimedwait(&stops, nullptr, &wait);
    if (sig == SIGTERM || sig == SIGINT || sig == SIGQUIT) {
      service_control(SERVICE_CONTROL_STOP);
    } else if (sig == SIGHUP) {
      reload_flag.store(1);
      engine_wake();
    }
  }
  engine.join();
  if (service_state() != 0) service_control(SERVICE_CONTROL_STOP);
}

// The Debian package brings its own unit, with its own user and home; as
// root the launcher leaves it alone rather than shadow it with another.
bool packaged_unit_present() {
  if (!path_system_wide() || std::getenv("MEROVANE_UNIT_DIR") != nullptr) return false;
  struct stat st {};
  return stat("/usr/lib/systemd/system/merovane.service", &st) == 0 ||
         stat("/lib/systemd/system/merovane.service", &st) == 0;
}

// False when nothing was installed.
bool run_launcher(const char* command_line) {
  if (packaged_unit_present()) {
    console_line(
        "the packaged service is installed: \"systemctl start merovane\" starts it and "
        "\"merovane --home /var/lib/merovane ctl url\" prints its panel address");
    return false;
  }
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
  return true;
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
      "Usage: merovane [run | service | uninstall | install] [--home DIR]\n"
      "       merovane ctl COMMAND [ARGUMENTS...]\n"
      "\n"
      "A local proxy server that carries every connection through a chain of proxies.\n"
      "\n"
      "  (nothing), install  install and start the service merovane.service, then\n"
      "               open the control panel in the browser (/install too)\n"
      "  run          run the server in the foreground until Ctrl+C (/run too)\n"
      "  service      run as the service: what the unit starts (/srv too)\n"
      "  uninstall    stop and remove the service, the registry file, the database\n"
      "               and the data directory (/uninstall too)\n"
      "  --home DIR   keep every file below DIR (as MEROVANE_HOME=DIR does)\n"
      "  --help, -h   this text;  --version  the version\n"
      "\n"
      "Control of the running instance (the one of the same home):\n"
      "  ctl url                      print the panel address\n"
      "  ctl status [--json]          the check pass, then the connections, one a line\n"
      "  ctl proxies [--json]         the proxy list: address:port type state rank\n"
      "  ctl import FILE|-            upload a proxy list, print the counts\n"
      "  ctl set NAME=VALUE...        change settings (log_level, log_dir, url_checker...)\n"
      "  ctl chain LINK...            replace the chain; a link is\n"
      "                               socks5://[user:pass@]host:port, socks4://...,\n"
      "                               http://..., https://... (user:pass is stored\n"
      "                               with that proxy, as ctl import does) or\n"
      "                               pick:random|fastest|recent|rank[:socks4,socks5,http,https]\n"
      "  ctl check [--new|ADDR:PORT]  check every proxy now (or the new ones), or one\n"
      "  ctl user add NAME            add a client account (password from the terminal,\n"
      "                               or the first line of standard input); clients\n"
      "                               must then sign in\n"
      "  ctl user del NAME | list     remove an account, list the names\n"
      "  ctl rules [show|set FILE|-|add LINE|del N]\n"
      "                               the destination rules (MATCH direct|chain|block),\n"
      "                               shown with their line numbers, replaced, one\n"
      "                               added at the end, or line N deleted\n"
      "  Exit status: 0 done, 1 refused (with a message), 3 no instance answers.\n"
      "  Examples: merovane ctl set log_level=2 log_dir=/var/log/merovane\n"
      "            merovane ctl chain pick:fastest:socks5 socks5://127.0.0.1:1080\n"
      "\n"
      "Signals: SIGHUP re-reads the registry and the settings and keeps running;\n"
      "SIGTERM and SIGINT stop.\n"
      "\n"
      "Files used now:\n"
      "  registry  %s\n"
      "  database  %s\n"
      "  lock      %s\n",
      registry, data, lock);
}

void print_short_usage(const char* unknown) {
  std::fprintf(stderr,
               "merovane: unknown argument \"%s\"\n"
               "Usage: merovane [run | service | uninstall | install] [--home DIR]\n"
               "       merovane ctl COMMAND [ARGUMENTS...]\n"
               "Try \"merovane --help\" for more.\n",
               unknown);
}

bool is_slash_switch(const char* arg) {
  for (const char* sw : {"/uninstall", "/run", "/srv", "/install"})
    if (text_find(arg, sw) != nullptr) return true;
  return false;
}

// The mode a GNU-style word names; false for any other argument.
bool word_mode(const char* arg, run_mode* mode) {
  struct word {
    const char* text;
    run_mode mode;
  };
  static constexpr word words[] = {{"run", run_mode::foreground},
                                   {"service", run_mode::service},
                                   {"uninstall", run_mode::uninstall},
                                   {"install", run_mode::launcher}};
  for (const word& w : words)
    if (std::strcmp(arg, w.text) == 0) {
      *mode = w.mode;
      return true;
    }
  return false;
}

// "--home DIR" moves every file as MEROVANE_HOME does; a relative folder is
// taken from the current one (the unit written for the service needs it whole).
bool apply_home(const char* dir) {
  if (dir == nullptr || dir[0] == 0) return false;
  char whole[1024];
  if (dir[0] == '/') {
    std::snprintf(whole, sizeof whole, "%s", dir);
  } else {
    char cwd[900];
    if (getcwd(cwd, sizeof cwd) == nullptr) return false;
    int n = std::snprintf(whole, sizeof whole, "%s/%s", cwd, dir);
    if (n < 0 || static_cast<size_t>(n) >= sizeof whole) return false;
  }
  return setenv("MEROVANE_HOME", whole, 1) == 0;
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

arguments arguments_of(int argc, char** argv) {
  arguments args;
  bool seen[4] = {false, false, false, false};  // indexed by run_mode
  for (int i = 1; i < argc && argv != nullptr; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr) continue;
    run_mode mode = run_mode::launcher;
    if (std::strcmp(arg, "ctl") == 0) {
      args.ctl = true;
      args.ctl_first = i + 1;
      break;
    }
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      args.info = info_request::help;
    } else if (std::strcmp(arg, "--version") == 0) {
      if (args.info == info_request::none) args.info = info_request::version;
    } else if (std::strcmp(arg, "--home") == 0 && i + 1 < argc && argv[i + 1] != nullptr) {
      args.home = argv[++i];
    } else if (std::strncmp(arg, "--home=", 7) == 0 && arg[7] != 0) {
      args.home = arg + 7;
    } else if (word_mode(arg, &mode)) {
      seen[static_cast<int>(mode)] = true;
    } else if (is_slash_switch(arg)) {
      seen[static_cast<int>(mode_of(arg))] = true;
    } else if (args.unknown == 0) {
      args.unknown = i;
    }
  }
  // The same order as the slash switches: uninstall wins, then run, then service.
  for (run_mode mode : {run_mode::uninstall, run_mode::foreground, run_mode::service})
    if (seen[static_cast<int>(mode)]) {
      args.mode = mode;
      break;
    }
  return args;
}

void panel_address(char* out, size_t capacity, bool with_token) {
  char ip[48];
  reg_listen_ip(ip, sizeof ip);
  char bracketed[52];
  std::snprintf(bracketed, sizeof bracketed, "[%s]", ip);  // an IPv6 address in a URL
  const char* host = (ip[0] == 0 || std::strcmp(ip, "127.0.0.1") == 0 ||
                      std::strcmp(ip, "0.0.0.0") == 0 || std::strcmp(ip, "::") == 0)
                         ? "localhost"
                     : std::strchr(ip, ':') != nullptr ? bracketed
                                                       : ip;
  const unsigned port = static_cast<unsigned>(reg_listen_port());
  if (with_token)
    std::snprintf(out, capacity, "http://%s:%u/%s/", host, port, reg_root());
  else
    std::snprintf(out, capacity, "http://%s:%u/", host, port);
}

int program_main(int argc, char** argv) {
  const arguments args = arguments_of(argc, argv);
  if (args.unknown != 0) {
    // Nothing is written, installed or started for a command line we do
    // not understand.
    print_short_usage(argv[args.unknown]);
    return 2;
  }
  if (args.home != nullptr && !apply_home(args.home)) {
    std::fprintf(stderr, "merovane: cannot use \"%s\" as the home folder\n", args.home);
    return 2;
  }
  if (args.ctl) return ctl_main(argc - args.ctl_first, argv + args.ctl_first);
  switch (args.info) {
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
  int status = 0;
  switch (args.mode) {
    case run_mode::uninstall:
      if (!run_uninstall()) status = 1;
      break;
    case run_mode::foreground:
      run_foreground();
      break;
    case run_mode::service:
      run_service();
      break;
    case run_mode::launcher:
      if (!run_launcher(command_line)) status = 1;
      break;
  }
  shutdown_sequence();
  return status;
}
