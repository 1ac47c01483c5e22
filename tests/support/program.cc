#include "tests/support/program.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "db/db.h"
#include "tests/support/net.h"

const std::string& scratch_dir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/merovane-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    chmod(pattern, 0755);  // danted and tinyproxy may drop privileges
    return std::string(pattern);
  }();
  return dir;
}

std::string scratch_name(const char* what) {
  static int serial = 0;
  return scratch_dir() + "/" + what + std::to_string(++serial);
}

pid_t spawn_child(const std::vector<std::string>& argv, const std::string& log_path,
                  const std::vector<std::string>& env, const std::string& err_path) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // a test that dies takes its children along
    const int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
      close(out);
    }
    if (!err_path.empty()) {
      const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (err >= 0) {
        dup2(err, 2);
        close(err);
      }
    }
    const int null_in = open("/dev/null", O_RDONLY);
    if (null_in >= 0) dup2(null_in, 0);
    for (const char* v : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY",
                          "all_proxy", "no_proxy", "NO_PROXY"})
      unsetenv(v);
    for (const std::string& e : env) {
      const size_t eq = e.find('=');
      if (eq != std::string::npos) setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  setpgid(pid, pid);
  return pid;
}

bool wait_child(pid_t& pid, int ms, int* exit_code) {
  if (pid <= 0) return true;
  for (int waited = 0;; waited += 20) {
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) == pid) {
      if (exit_code != nullptr) *exit_code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      pid = -1;
      return true;
    }
    if (waited >= ms) return false;
    usleep(20000);
  }
}

int stop_child(pid_t& pid, int wait_ms) {
  if (pid <= 0) return -1;
  int code = -1;
  if (wait_child(pid, 0)) return -1;  // it had ended before
  // The child leads its own process group: its own children end with it.
  kill(-pid, SIGTERM);
  if (!wait_child(pid, wait_ms, &code)) {
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  return code;
}

bool child_alive(pid_t& pid) {
  return pid > 0 && !wait_child(pid, 0) && kill(pid, 0) == 0;
}

int shell(const std::string& command) {
  const int status = system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shell_output(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) {
    *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int st = pclose(p);
  *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

long process_rss_kib(pid_t pid) {
  const std::string s = read_file("/proc/" + std::to_string(pid) + "/status");
  const size_t at = s.find("VmRSS:");
  return at == std::string::npos ? -1 : strtol(s.c_str() + at + 6, nullptr, 10);
}

int process_fd_count(pid_t pid) {
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

// ---- the program under test ----------------------------------------------

std::string program_bin() {
  const char* bin = getenv("MEROVANE_BIN");
  if (bin != nullptr && bin[0] != 0) return bin;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "merovane";
  const std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + "merovane";
}

std::string resolver_stand_in_path() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  const std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + "libsoak_slow_resolver.so";
}

std::vector<std::string> resolver_stand_in_wrapper(const std::vector<std::string>& env) {
  std::string asan = "verify_asan_link_order=0";
  if (const char* existing = getenv("ASAN_OPTIONS"); existing != nullptr && existing[0] != 0)
    asan = std::string(existing) + ":" + asan;
  std::vector<std::string> wrapper = {"env", "LD_PRELOAD=" + resolver_stand_in_path()};
  wrapper.insert(wrapper.end(), env.begin(), env.end());
  wrapper.push_back("ASAN_OPTIONS=" + asan);
  return wrapper;
}

bool program_instance::make_home(const char* listen_ip, const std::string& registry_extra) {
  home = scratch_name("home");
  ip = listen_ip;
  port = free_port(listen_ip);
  log_path = home + "/program.log";
  if (port == 0 || mkdir(home.c_str(), 0700) != 0) return false;
  std::ofstream(home + "/registry")
      << registry_extra << "listen_port=dword:" << port << "\nlisten_ip=sz:" << ip << "\n";
  return true;
}

bool program_instance::prepare(const char* listen_ip, const std::function<void()>& fill) {
  if (!make_home(listen_ip, "root=sz:" + std::string(kPanelToken) + "\n")) return false;
  mkdir((home + "/merovane").c_str(), 0700);
  return change([&] {
    // Nothing of the program's own upkeep may leave the loopback range.
    db_exec(
        "INSERT OR REPLACE INTO settings(name,value) VALUES('url_checker','http://127.0.0.250/')");
    db_exec("INSERT OR REPLACE INTO settings(name,value) VALUES('download_urls','')");
    // A check site that has no address: no reachability checks either,
    // unless a test sets its own.
    db_exec(
        "INSERT OR REPLACE INTO settings(name,value) "
        "VALUES('check_sites','http://checks-off.invalid/ none')");
    db_exec("%s", sql_chain_clear());
    fill();
  });
}

bool program_instance::change(const std::function<void()>& fill) {
  db_close();
  if (!db_open(db_path().c_str())) return false;
  db_init_schema();
  fill();
  db_close();
  return true;
}

bool program_instance::start(const std::vector<std::string>& wrapper, int ms) {
  std::vector<std::string> argv = wrapper;
  argv.insert(argv.end(), {program_bin(), "/run"});
  pid = spawn_child(argv, log_path, {"MEROVANE_HOME=" + home});
  for (int waited = 0; pid > 0 && waited <= ms; waited += 20) {
    if (can_connect(ip.c_str(), port)) return true;
    if (!child_alive(pid)) return false;
    usleep(20000);
  }
  return false;
}

int program_instance::stop(int wait_ms) {
  return stop_child(pid, wait_ms);
}

std::string program_instance::log() const {
  return read_file(log_path);
}

std::string program_instance::registry_text(const char* name) const {
  std::ifstream reg(home + "/registry");
  std::string line, prefix = std::string(name) + "=sz:";
  while (std::getline(reg, line))
    if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
  return "";
}

// ---- runs of the program with any arguments -------------------------------

std::string program_run::out() const {
  return read_file(out_path);
}

std::string program_run::err() const {
  return read_file(err_path);
}

void program_run::stop() {
  if (pid < 0) return;
  kill(pid, SIGTERM);
  if (!wait(10000)) {
    kill(pid, SIGKILL);
    wait(5000);
  }
}

program_run* program_start(const std::vector<std::string>& args,
                           const std::vector<std::string>& env, const std::string& out_dir) {
  static int counter = 0;
  auto* run = new program_run;
  ++counter;
  run->out_path = out_dir + "/out" + std::to_string(counter) + ".txt";
  run->err_path = out_dir + "/err" + std::to_string(counter) + ".txt";
  std::vector<std::string> argv{program_bin()};
  argv.insert(argv.end(), args.begin(), args.end());
  run->pid = spawn_child(argv, run->out_path, env, run->err_path);
  return run;
}

std::string program_get(const program_instance& program, const std::string& path) {
  int fd = connect_to(program.ip, program.port, 3000);
  if (fd < 0) return "";
  send_all(fd, "GET " + path + " HTTP/1.1\r\nHost: " + program.url() + "\r\n\r\n");
  std::string reply = read_http_reply(fd, 5000);
  close(fd);
  return reply;
}

std::string program_ctl(const program_instance& program, const std::string& args,
                        const std::string& input, int* status) {
  const std::string in_path = scratch_name("ctl-input");
  std::ofstream(in_path, std::ios::binary | std::ios::trunc) << input;
  std::string out = shell_output("MEROVANE_HOME='" + program.home + "' '" + program_bin() +
                                     "' ctl " + args + " < '" + in_path + "'",
                                 status);
  unlink(in_path.c_str());
  return out;
}

long long metrics_series(const std::string& text, const std::string& name) {
  size_t at = text.find("\n" + name + " ");
  if (at == std::string::npos) return -1;
  return std::stoll(text.substr(at + name.size() + 2));
}
