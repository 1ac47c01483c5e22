#include "tests/support/front_program.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

using steady = std::chrono::steady_clock;

long ms_since(steady::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - t).count());
}

}  // namespace

uint16_t front_free_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  uint16_t port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(s);
  return port;
}

int front_connect(uint16_t port, int timeout_ms) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return s;
}

bool front_send_all(int sock, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(sock, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string front_read(int sock, size_t n, int timeout_ms) {
  std::string got;
  auto start = steady::now();
  while (got.size() < n && ms_since(start) < timeout_ms) {
    pollfd p{sock, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buf[4096];
    ssize_t r = recv(sock, buf, std::min(sizeof buf, n - got.size()), 0);
    if (r <= 0) break;
    got.append(buf, static_cast<size_t>(r));
  }
  return got;
}

std::string front_read_to_close(int sock, int timeout_ms, bool* closed) {
  std::string got;
  *closed = false;
  auto start = steady::now();
  while (ms_since(start) < timeout_ms) {
    pollfd p{sock, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buf[4096];
    ssize_t r = recv(sock, buf, sizeof buf, 0);
    if (r <= 0) {
      *closed = true;
      break;
    }
    got.append(buf, static_cast<size_t>(r));
  }
  return got;
}

std::string front_run(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) {
    *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

bool front_program::start() {
  const char* bin = std::getenv("MEROVANE_BIN");
  if (bin == nullptr || bin[0] == 0) return false;
  char dir[] = "/tmp/mv_front_cli_XXXXXX";
  if (mkdtemp(dir) == nullptr) return false;
  home = dir;
  port = front_free_port();
  if (port == 0) return false;
  {
    std::ofstream reg(home + "/registry");
    reg << "listen_port=dword:" << port << "\nlisten_ip=sz:127.0.0.1\n";
  }
  pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    setenv("MEROVANE_HOME", home.c_str(), 1);
    std::string log = home + "/stdout.txt";
    FILE* f = freopen(log.c_str(), "w", stdout);
    (void)f;
    dup2(STDOUT_FILENO, STDERR_FILENO);
    execl(bin, bin, "/run", static_cast<char*>(nullptr));
    _exit(127);
  }
  auto begin = steady::now();
  while (ms_since(begin) < 5000) {
    int s = front_connect(port, 100);
    if (s >= 0) {
      close(s);
      return true;
    }
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) == pid) {
      pid = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool front_program::stop(std::string* output) {
  bool clean = false;
  if (pid > 0) {
    int st = 0;
    bool running = waitpid(pid, &st, WNOHANG) == 0;
    if (running) {
      kill(pid, SIGTERM);
      auto begin = steady::now();
      while (waitpid(pid, &st, WNOHANG) == 0) {
        if (ms_since(begin) > 3000) {
          kill(pid, SIGKILL);
          waitpid(pid, &st, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    clean = running && WIFEXITED(st) && WEXITSTATUS(st) == 0;
    pid = -1;
  }
  if (!clean && output != nullptr) {
    std::ifstream log(home + "/stdout.txt");
    output->assign(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>());
  }
  if (!home.empty() && home.rfind("/tmp/mv_front_cli_", 0) == 0) {
    int status = 0;
    front_run("rm -rf '" + home + "'", &status);
  }
  home.clear();
  return clean;
}

std::string front_program::registry_text(const char* name) const {
  std::ifstream reg(home + "/registry");
  std::string line, prefix = std::string(name) + "=sz:";
  while (std::getline(reg, line)) {
    if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
  }
  return "";
}
