#include "tests/support/chain_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "db/db.h"

namespace {

std::string scratch;
int serial = 0;

sockaddr_in address_of(const char* ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

bool send_all(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

std::string next_name(const char* what) {
  return peers_dir() + "/" + what + std::to_string(++serial);
}

peer_process* finish_start(peer_process* p, const std::vector<std::string>& argv) {
  p->pid = peer_spawn(argv, p->log_path);
  if (p->pid < 0 || !peer_wait_listening(p->ip.c_str(), p->port, 8000)) {
    delete p;
    return nullptr;
  }
  return p;
}

}  // namespace

const std::string& peers_dir() {
  if (scratch.empty()) {
    char dir[] = "/tmp/merovane-peers-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    scratch = dir;
    chmod(dir, 0755);  // danted and tinyproxy may drop privileges
  }
  return scratch;
}

uint16_t peer_free_port(const char* ip) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  sockaddr_in a = address_of(ip, 0);
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  close(fd);
  return port;
}

bool peer_wait_listening(const char* ip, uint16_t port, int ms) {
  for (int waited = 0; waited <= ms; waited += 20) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = address_of(ip, port);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    if (ok) return true;
    usleep(20000);
  }
  return false;
}

pid_t peer_spawn(const std::vector<std::string>& argv, const std::string& log_path,
                 const std::vector<std::string>& env) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // a test that dies takes its peers along
    const int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
      close(out);
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

void peer_stop_child(pid_t& pid, int wait_ms) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int waited = 0; waited < wait_ms; waited += 20) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    usleep(20000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

void peer_process::stop() {
  peer_stop_child(pid, 5000);
}

bool peer_process::running() const {
  return pid > 0 && kill(pid, 0) == 0;
}

peer_process* start_microsocks(const char* ip, uint16_t port) {
  auto* p = new peer_process;
  p->name = "microsocks";
  p->ip = ip;
  p->port = port;
  p->log_path = next_name("microsocks") + ".log";
  return finish_start(p, {"microsocks", "-i", ip, "-p", std::to_string(port), "-b", ip});
}

peer_process* start_danted(const char* ip, uint16_t port) {
  auto* p = new peer_process;
  p->name = "danted";
  p->ip = ip;
  p->port = port;
  const std::string base = next_name("danted");
  p->log_path = base + ".log";
  write_text(base + ".conf",
             "logoutput: stderr\ninternal: " + std::string(ip) + " port = " + std::to_string(port) +
                 "\nexternal: " + ip +
                 "\nclientmethod: none\nsocksmethod: none\n"
                 "user.privileged: root\nuser.unprivileged: nobody\n"
                 "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                 "socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n  command: connect\n"
                 "  protocol: tcp\n}\n"
                 "socks block { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n");
  return finish_start(p, {"danted", "-f", base + ".conf", "-N", "1", "-p", base + ".pid"});
}

peer_process* start_tinyproxy(const char* ip, uint16_t port, const std::string& upstream_socks5) {
  auto* p = new peer_process;
  p->name = "tinyproxy";
  p->ip = ip;
  p->port = port;
  const std::string base = next_name("tinyproxy");
  p->log_path = base + ".log";
  std::string conf = "Port " + std::to_string(port) + "\nListen " + ip + "\nBind " + ip +
                     "\nTimeout 30\nMaxClients 200\nAllow 127.0.0.0/8\nLogLevel Error\n"
                     "PidFile \"" +
                     base + ".pid\"\n";
  if (!upstream_socks5.empty()) conf += "Upstream socks5 " + upstream_socks5 + "\n";
  write_text(base + ".conf", conf);
  return finish_start(p, {"tinyproxy", "-d", "-c", base + ".conf"});
}

peer_process* start_privoxy(const char* ip, uint16_t port, const std::string& upstream_socks5) {
  auto* p = new peer_process;
  p->name = "privoxy";
  p->ip = ip;
  p->port = port;
  const std::string base = next_name("privoxy");
  p->log_path = base + ".log";
  write_text(base + ".conf", "listen-address " + std::string(ip) + ":" + std::to_string(port) +
                                 "\nforward-socks5 / " + upstream_socks5 +
                                 " .\nmax-client-connections 256\nkeep-alive-timeout 5\n"
                                 "toggle 0\nenable-remote-toggle 0\nbuffer-limit 65536\n");
  return finish_start(p, {"privoxy", "--no-daemon", base + ".conf"});
}

// ---- content pattern ----------------------------------------------------

void pattern_fill(uint8_t* out, uint64_t offset, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const uint64_t x = offset + i;
    out[i] = static_cast<uint8_t>((static_cast<uint32_t>(x) * 2654435761u) >> 24 ^ (x >> 20));
  }
}

int64_t pattern_mismatch(const uint8_t* data, uint64_t offset, size_t n) {
  uint8_t expect[4096];
  for (size_t done = 0; done < n;) {
    const size_t k = n - done < sizeof expect ? n - done : sizeof expect;
    pattern_fill(expect, offset + done, k);
    if (memcmp(expect, data + done, k) != 0) {
      for (size_t i = 0; i < k; ++i)
        if (expect[i] != data[done + i]) return static_cast<int64_t>(done + i);
    }
    done += k;
  }
  return -1;
}

// ---- origin server ------------------------------------------------------

bool origin_server::start(const char* listen_ip) {
  ip = listen_ip;
  listen_fd = socket(AF_INET, SOCK_STREAM, 0);
  if (listen_fd < 0) return false;
  const int one = 1;
  setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = address_of(listen_ip, 0);
  if (bind(listen_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(listen_fd, 256) != 0)
    return false;
  socklen_t len = sizeof a;
  getsockname(listen_fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  acceptor = std::thread([this] {
    while (!stopping.load()) {
      pollfd p{listen_fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      sockaddr_in from{};
      socklen_t from_len = sizeof from;
      const int fd = accept(listen_fd, reinterpret_cast<sockaddr*>(&from), &from_len);
      if (fd < 0) continue;
      char text[INET_ADDRSTRLEN] = "";
      inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
      active.fetch_add(1);
      std::thread(&origin_server::serve, this, fd, std::string(text)).detach();
    }
  });
  return true;
}

void origin_server::stop() {
  if (listen_fd < 0) return;
  stopping.store(true);
  if (acceptor.joinable()) acceptor.join();
  close(listen_fd);
  listen_fd = -1;
  for (int i = 0; i < 500 && active.load() > 0; ++i) usleep(10000);
}

std::string origin_server::last_head() {
  std::lock_guard<std::mutex> hold(lock);
  return head;
}

std::vector<std::string> origin_server::peers() {
  std::lock_guard<std::mutex> hold(lock);
  return seen;
}

std::string origin_server::last_peer() {
  std::lock_guard<std::mutex> hold(lock);
  return seen.empty() ? "" : seen.back();
}

void origin_server::serve(int fd, std::string peer) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string req;
  char buf[65536];
  size_t head_len = 0;
  while (head_len == 0 && req.size() < (1u << 20)) {
    const ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r <= 0) break;
    req.append(buf, static_cast<size_t>(r));
    size_t e = req.find("\r\n\r\n");
    if (e != std::string::npos) {
      head_len = e + 4;
    } else if ((e = req.find("\n\n")) != std::string::npos) {
      head_len = e + 2;
    }
  }
  if (head_len > 0) {
    const std::string h = req.substr(0, head_len);
    {
      std::lock_guard<std::mutex> hold(lock);
      head = h;
      seen.push_back(peer);
    }
    std::string method, target;
    std::istringstream line(h);
    line >> method >> target;
    if (strncasecmp(target.c_str(), "http://", 7) == 0) {  // absolute form
      const size_t path = target.find('/', 7);
      target = path == std::string::npos ? "/" : target.substr(path);
    }
    std::string status = "200 OK", body;
    uint64_t stream_bytes = 0;
    bool fast = false;
    if (method == "GET" && target == "/hold") {  // stays open, says nothing
      holding.fetch_add(1);
      while (!stopping.load()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) > 0 && recv(fd, buf, sizeof buf, 0) <= 0) break;
      }
      holding.fetch_sub(1);
      close(fd);
      active.fetch_sub(1);
      return;
    } else if (method == "GET" && target.rfind("/fast/", 0) == 0) {
      stream_bytes = strtoull(target.c_str() + 6, nullptr, 10);
      fast = true;
    } else if (method == "POST" && target == "/sink") {
      uint64_t expected = 0;
      const char* cl = strcasestr(h.c_str(), "\ncontent-length:");
      if (cl) expected = strtoull(cl + 16, nullptr, 10);
      uint64_t got = req.size() - head_len;
      while (got < expected) {
        const ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        got += static_cast<uint64_t>(r);
      }
      body = "ok " + std::to_string(got);
    } else if (method == "GET" && target.rfind("/bytes/", 0) == 0) {
      stream_bytes = strtoull(target.c_str() + 7, nullptr, 10);
    } else if (method == "GET" && target == "/head") {
      body = h;
    } else if (method == "POST" && target == "/upload") {
      uint64_t expected = 0;
      const char* cl = strcasestr(h.c_str(), "\ncontent-length:");
      if (cl) expected = strtoull(cl + 16, nullptr, 10);
      uint64_t got = 0;
      int64_t bad = -1;
      std::string pending = req.substr(head_len);
      for (;;) {
        if (!pending.empty()) {
          const size_t k = pending.size() > expected - got ? expected - got : pending.size();
          const int64_t m =
              pattern_mismatch(reinterpret_cast<const uint8_t*>(pending.data()), got, k);
          if (m >= 0 && bad < 0) bad = static_cast<int64_t>(got) + m;
          got += k;
          pending.clear();
        }
        if (got >= expected) break;
        const ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        pending.assign(buf, static_cast<size_t>(r));
      }
      body = bad < 0 && got == expected
                 ? "ok " + std::to_string(got)
                 : "bad " + std::to_string(got) + " at " + std::to_string(bad);
    } else {
      status = "404 Not Found";
      body = "no";
    }
    const uint64_t length = stream_bytes ? stream_bytes : body.size();
    const std::string reply = "HTTP/1.0 " + status + "\r\nContent-Type: application/octet-stream" +
                              "\r\nContent-Length: " + std::to_string(length) +
                              "\r\nConnection: close\r\n\r\n";
    bool ok = send_all(fd, reply.data(), reply.size());
    if (ok && stream_bytes == 0) ok = send_all(fd, body.data(), body.size());
    static uint8_t fast_block[65536];  // content of no interest, sent as it is
    uint8_t chunk[65536];
    for (uint64_t sent = 0; ok && sent < stream_bytes;) {
      const size_t k = stream_bytes - sent < sizeof chunk ? stream_bytes - sent : sizeof chunk;
      if (fast) {
        ok = send_all(fd, fast_block, k);
        sent += k;
        continue;
      }
      pattern_fill(chunk, sent, k);
      ok = send_all(fd, chunk, k);
      sent += k;
    }
    served.fetch_add(1);
  }
  shutdown(fd, SHUT_WR);
  // Let the client read to the end before the socket goes.
  timeval short_tv{2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &short_tv, sizeof short_tv);
  while (recv(fd, buf, sizeof buf, 0) > 0) {
  }
  close(fd);
  active.fetch_sub(1);
}

// ---- the program --------------------------------------------------------

bool program_instance::prepare(const char* listen_ip, const std::function<void()>& fill) {
  home = next_name("home");
  ip = listen_ip;
  port = peer_free_port(listen_ip);
  log_base = home + "/program";
  mkdir(home.c_str(), 0700);
  mkdir((home + "/merovane").c_str(), 0700);
  write_text(home + "/registry", "root=sz:0f3c9a2b5d7e41a68c1b2d3e4f506172\nlisten_port=dword:" +
                                     std::to_string(port) + "\nlisten_ip=sz:" + ip + "\n");
  return change([&] {
    // Nothing of the program's own upkeep may leave the loopback range.
    db_exec(
        "INSERT OR REPLACE INTO settings(name,value) VALUES('url_checker','http://127.0.0.250/')");
    db_exec("INSERT OR REPLACE INTO settings(name,value) VALUES('download_urls','')");
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

bool program_instance::start() {
  const char* bin = getenv("MEROVANE_BIN");
  if (bin == nullptr) return false;
  pid = peer_spawn({bin, "/run"}, log_base + ".log", {"MEROVANE_HOME=" + home});
  return pid > 0 && peer_wait_listening(ip.c_str(), port, 10000);
}

void program_instance::stop() {
  peer_stop_child(pid, 10000);
}

// ---- curl ---------------------------------------------------------------

int run_curl(const std::vector<std::string>& args, const std::string& out_path, int timeout_s) {
  std::vector<std::string> argv = {"curl", "-sS",   "--max-time", std::to_string(timeout_s),
                                   "-o",   out_path};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = peer_spawn(argv, out_path + ".err");
  if (pid < 0) return -1;
  for (int i = 0; i < (timeout_s + 10) * 50; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(20000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

std::string read_whole(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}
