#include "tests/support/startup_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "tests/support/startup_env.h"

extern char** environ;

namespace startup_test {

std::string program_run::out() const {
  return read_file(out_path);
}
std::string program_run::err() const {
  return read_file(err_path);
}

bool program_run::wait(int timeout_ms) {
  if (pid < 0) return true;
  for (int waited = 0;; waited += 20) {
    int st = 0;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) {
      status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
      pid = -1;
      return true;
    }
    if (waited >= timeout_ms) return false;
    usleep(20000);
  }
}

void program_run::stop() {
  if (pid < 0) return;
  kill(pid, SIGTERM);
  if (!wait(10000)) {
    kill(pid, SIGKILL);
    wait(5000);
  }
}

program_run::~program_run() {
  stop();
}

program_run* program_start(const std::vector<std::string>& args,
                           const std::vector<std::string>& env, const std::string& out_dir) {
  static int counter = 0;
  auto* run = new program_run;
  ++counter;
  run->out_path = out_dir + "/out" + std::to_string(counter) + ".txt";
  run->err_path = out_dir + "/err" + std::to_string(counter) + ".txt";
  const char* bin = std::getenv("MEROVANE_BIN");
  std::string program = bin != nullptr ? bin : "merovane";
  std::vector<std::string> envs;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& mine : env)
      if (entry.compare(0, mine.find('=') + 1, mine, 0, mine.find('=') + 1) == 0) replaced = true;
    if (!replaced) envs.push_back(entry);
  }
  for (const auto& mine : env) envs.push_back(mine);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : envs) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, run->out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&fa, 2, run->err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  if (posix_spawn(&run->pid, program.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0)
    run->pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return run;
}

int free_port(const char* ip) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, ip, &a.sin_addr);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

bool can_connect(const char* ip, int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &a.sin_addr);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

}  // namespace startup_test
