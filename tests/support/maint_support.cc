#include "tests/support/maint_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/loop.h"
#include "engine/slot.h"
#include "platform/clock.h"
#include "tests/support/chain_peers.h"

bool maint_drive(const std::function<bool()>& pred, uint32_t step_ms, int max_cycles, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (int i = 0; i < max_cycles; ++i) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    engine_cycle(2);
    if (clock_is_fake()) clock_advance(step_ms);
  }
  return pred();
}

namespace {

bool wait_readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

}  // namespace

std::string maint_read_request(int fd, int ms) {
  std::string data;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  size_t need = std::string::npos;
  for (;;) {
    size_t head = data.find("\r\n\r\n");
    if (head != std::string::npos && need == std::string::npos) {
      need = head + 4;
      size_t cl = data.find("Content-Length:");
      if (cl != std::string::npos && cl < head)
        need += std::strtoul(data.c_str() + cl + 15, nullptr, 10);
    }
    if (need != std::string::npos && data.size() >= need) return data;
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    end - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0 || !wait_readable(fd, left)) return data;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return data;
    data.append(buf, static_cast<size_t>(n));
  }
}

std::string maint_read_all(int fd, int ms) {
  std::string data;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    end - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0 || !wait_readable(fd, left)) return data;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return data;
    data.append(buf, static_cast<size_t>(n));
  }
}

bool maint_write(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

bool maint_scripted_peer::start(const char* listen_ip, uint16_t listen_port,
                                std::function<void(int)> serve) {
  ip = listen_ip;
  handler = std::move(serve);
  listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd < 0) return false;
  int one = 1;
  setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(listen_port);
  inet_pton(AF_INET, listen_ip, &a.sin_addr);
  if (bind(listen_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(listen_fd, 64) != 0) {
    close(listen_fd);
    listen_fd = -1;
    return false;
  }
  socklen_t len = sizeof a;
  getsockname(listen_fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  stopping = false;
  acceptor = std::thread([this] {
    while (!stopping) {
      if (!wait_readable(listen_fd, 50)) continue;
      int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++connections;
      handler(fd);
      close(fd);
    }
  });
  return true;
}

void maint_scripted_peer::stop() {
  stopping = true;
  if (acceptor.joinable()) acceptor.join();
  if (listen_fd >= 0) close(listen_fd);
  listen_fd = -1;
}

bool maint_push_channel::open(uint16_t engine_port) {
  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(engine_port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return false;
  sockaddr_in local{};
  socklen_t len = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len);
  auto find = [&]() {
    for (int i = SLOT_COUNT - 1; i > 0; --i) {
      if (conn_table[i].sock == -1) continue;
      sockaddr_in peer{};
      socklen_t plen = sizeof peer;
      if (getpeername(conn_table[i].sock, reinterpret_cast<sockaddr*>(&peer), &plen) == 0 &&
          peer.sin_port == local.sin_port)
        return i;
    }
    return -1;
  };
  if (!maint_drive([&] { return find() > 0; }, 0, 2000, 3000)) return false;
  conn_table[find()].kind = slot_kind::web_push;
  return true;
}

const std::string& maint_push_channel::poll() {
  for (;;) {
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) break;
    received.append(buf, static_cast<size_t>(n));
  }
  return received;
}

maint_push_channel::~maint_push_channel() {
  if (fd >= 0) close(fd);
}

bool maint_process::spawn(const std::vector<std::string>& argv, const std::string& log) {
  log_path = log;
  pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    setpgid(0, 0);
    int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    for (const char* v : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy"})
      unsetenv(v);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return true;
}

void maint_process::stop() {
  peer_stop_child(pid, 2000);
}

const std::string& maint_dir() {
  static std::string dir = [] {
    char pattern[] = "/tmp/merovane-maint-XXXXXX";
    const char* d = mkdtemp(pattern);
    return std::string(d != nullptr ? d : "/tmp");
  }();
  return dir;
}

bool maint_wait_listening(const char* ip, uint16_t port, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, ip, &to.sin_addr);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    close(fd);
    if (ok) return true;
    usleep(20000);
  }
  return false;
}

namespace {
bool write_file(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  fputs(text.c_str(), f);
  fclose(f);
  return true;
}
}  // namespace

bool maint_start_judge(maint_process& p, const char* ip, const std::string& control_file) {
  const char* src = getenv("MEROVANE_SOURCE");
  std::string tool = std::string(src != nullptr ? src : ".") + "/tools/merovane-judge";
  std::vector<std::string> argv = {"python3", tool, "--listen", ip, "--port", "80"};
  if (!control_file.empty()) {
    argv.push_back("--control");
    argv.push_back(control_file);
  }
  if (!p.spawn(argv, maint_dir() + "/judge-" + ip + ".log")) return false;
  return maint_wait_listening(ip, 80, 8000);
}

bool maint_start_microsocks(maint_process& p, const char* ip, uint16_t port, const char* bind_ip) {
  std::vector<std::string> argv = {"microsocks", "-i", ip, "-p", std::to_string(port)};
  if (bind_ip != nullptr) {
    argv.push_back("-b");
    argv.push_back(bind_ip);
  }
  if (!p.spawn(argv, maint_dir() + "/microsocks.log")) return false;
  return maint_wait_listening(ip, port);
}

bool maint_start_danted(maint_process& p, const char* ip, uint16_t port) {
  std::string conf = maint_dir() + "/danted.conf";
  write_file(conf, std::string("logoutput: stderr\ninternal: ") + ip +
                       " port = " + std::to_string(port) + "\nexternal: " + ip +
                       "\nclientmethod: none\nsocksmethod: none\nuser.privileged: root\n"
                       "user.unprivileged: nobody\n"
                       "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                       "socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n  command: connect\n"
                       "  protocol: tcp\n}\n"
                       "socks block { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n");
  if (!p.spawn({"danted", "-f", conf, "-N", "1", "-p", maint_dir() + "/danted.pid"},
               maint_dir() + "/danted.log"))
    return false;
  return maint_wait_listening(ip, port, 8000);
}

bool maint_start_tinyproxy(maint_process& p, const char* ip, uint16_t port) {
  std::string conf = maint_dir() + "/tinyproxy.conf";
  write_file(conf, "Port " + std::to_string(port) + "\nListen " + ip +
                       "\nTimeout 4\nMaxClients 50\nAllow 127.0.0.0/8\nConnectPort 80\n"
                       "PidFile \"" +
                       maint_dir() +
                       "/tinyproxy.pid\"\nBind 127.0.10.3\nXTinyproxy Yes\n"
                       "AddHeader \"X-Forwarded-For\" \"127.0.0.1\"\n");
  if (!p.spawn({"tinyproxy", "-d", "-c", conf}, maint_dir() + "/tinyproxy.log")) return false;
  return maint_wait_listening(ip, port);
}
