// Child processes of tests and benchmarks, and the program under test:
// started with its own MEROVANE_HOME and port, waited for until it listens,
// and stopped by its PID.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/net.h"

// A scratch directory for this process (created once, kept for inspection).
const std::string& scratch_dir();
// A fresh path in the scratch directory: scratch_dir()/<what><serial>.
std::string scratch_name(const char* what);

// Starts argv (argv[0] looked up in PATH) in its own process group with
// standard input from /dev/null, output in log_path (standard error in
// err_path when given), proxy variables cleared and env entries
// "NAME=value" added or replaced; the child ends when the test does.
// -1 on failure.
pid_t spawn_child(const std::vector<std::string>& argv, const std::string& log_path,
                  const std::vector<std::string>& env = {}, const std::string& err_path = "");
// Waits at most ms for the child to end; true when it has (and reaps it,
// setting pid to -1 and *exit_code to its exit code, -1 when signalled).
bool wait_child(pid_t& pid, int ms, int* exit_code = nullptr);
// SIGTERM to the child's process group, up to wait_ms for the child to
// end, then SIGKILL. Returns its exit code (-1 when it was killed or had
// ended before) and sets pid to -1.
int stop_child(pid_t& pid, int wait_ms);
// True while the child runs (reaps it when it has ended).
bool child_alive(pid_t& pid);
// Runs a shell command line; its exit status.
int shell(const std::string& command);
// Runs a shell command line; its standard output and error, and the exit
// status in *status.
std::string shell_output(const std::string& command, int* status);

// Resident memory (KiB) and open descriptors of a process, or -1.
long process_rss_kib(pid_t pid);
int process_fd_count(pid_t pid);

// $MEROVANE_BIN, else the program next to the running executable.
std::string program_bin();

// The resolver stand-in (bench/preload/slow_resolver.c, the library
// libsoak_slow_resolver.so built next to the benchmarks): preloaded into the
// program, it keeps every name from reaching a name server.
std::string resolver_stand_in_path();
// The wrapper for program_instance::start that preloads it; env adds its
// settings ("SOAK_NAME_MAP=...").
std::vector<std::string> resolver_stand_in_wrapper(const std::vector<std::string>& env = {});

// The panel path that program_instance::prepare writes into the registry.
constexpr const char* kPanelToken = "0f3c9a2b5d7e41a68c1b2d3e4f506172";

// The program under test in its own MEROVANE_HOME, listening on ip:port.
struct program_instance {
  std::string home, ip, log_path;
  uint16_t port = 0;
  pid_t pid = -1;
  // A fresh home whose registry names ip and a free port.
  bool make_home(const char* listen_ip, const std::string& registry_extra = "");
  // make_home with the panel path kPanelToken and a database created
  // before the start; fill() runs with the database open (proxies, links,
  // settings). Maintenance is pointed at a loopback address where nothing
  // listens. The database is held exclusively while the program runs.
  bool prepare(const char* listen_ip, const std::function<void()>& fill);
  // Reopens the database of a stopped program for changes.
  bool change(const std::function<void()>& fill);
  // Starts "program_bin() /run" (behind the wrapper command line, e.g.
  // prlimit) and waits at most ms until it accepts; false when it ended or
  // did not listen in time.
  bool start(const std::vector<std::string>& wrapper = {}, int ms = 10000);
  // SIGTERM, then SIGKILL after wait_ms; the exit code (-1 when killed or
  // not running).
  int stop(int wait_ms = 10000);
  bool alive() { return child_alive(pid); }
  ~program_instance() { stop(); }
  std::string url() const { return ip + ":" + std::to_string(port); }
  std::string db_path() const { return home + "/merovane/settings.db"; }
  std::string log() const;
  // Value of a text entry of the registry file ("" when absent).
  std::string registry_text(const char* name) const;
};

// A run of the program with any arguments, its output in files, for the
// run modes that end by themselves.
struct program_run {
  pid_t pid = -1;
  int status = -1;  // exit code once ended, -1 while running or killed
  std::string out_path, err_path;
  std::string out() const;
  std::string err() const;
  // Polls until the process has ended, at most timeout_ms; true when ended.
  bool wait(int timeout_ms) { return pid < 0 || wait_child(pid, timeout_ms, &status); }
  void stop();  // SIGTERM, then waits up to 10 s (SIGKILL after that)
  ~program_run() { stop(); }
};

// Starts program_bin() with args; env entries "NAME=value" are added to (or
// replace) the test's environment. Output goes to files in out_dir.
program_run* program_start(const std::vector<std::string>& args,
                           const std::vector<std::string>& env, const std::string& out_dir);

// One GET to the program's own port (the panel's paths); the whole reply.
std::string program_get(const program_instance& program, const std::string& path);
// Runs "program_bin() ctl ARGS" for the program's home with `input` on its
// standard input; its output (standard output and error) and exit status.
std::string program_ctl(const program_instance& program, const std::string& args,
                        const std::string& input, int* status);
// The value of a series line "name value" in a metrics text, -1 when absent.
long long metrics_series(const std::string& text, const std::string& name);
