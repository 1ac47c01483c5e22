#include "tests/support/peers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/net.h"
#include "tests/support/program.h"

namespace {

void write_text(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
}

// Starts argv for a peer named `what` on ip:port; the peer once it listens.
peer_process* start_peer(const char* what, const char* ip, uint16_t port, const std::string& base,
                         const std::vector<std::string>& argv) {
  auto* p = new peer_process;
  p->name = what;
  p->ip = ip;
  p->port = port;
  p->log_path = base + ".log";
  p->pid = spawn_child(argv, p->log_path);
  if (p->pid < 0 || !wait_listening(ip, port, 8000)) {
    delete p;
    return nullptr;
  }
  return p;
}

}  // namespace

void peer_process::stop() {
  stop_child(pid, 5000);
}

bool peer_process::running() const {
  return pid > 0 && kill(pid, 0) == 0;
}

peer_process* start_microsocks(const char* ip, uint16_t port, const char* bind_ip) {
  return start_peer("microsocks", ip, port, scratch_name("microsocks"),
                    {"microsocks", "-i", ip, "-p", std::to_string(port), "-b",
                     bind_ip != nullptr ? bind_ip : ip});
}

peer_process* start_microsocks_login(const char* ip, uint16_t port, const std::string& user,
                                     const std::string& password) {
  return start_peer(
      "microsocks", ip, port, scratch_name("microsocks"),
      {"microsocks", "-i", ip, "-p", std::to_string(port), "-b", ip, "-u", user, "-P", password});
}

peer_process* start_danted(const char* ip, uint16_t port) {
  const std::string base = scratch_name("danted");
  write_text(base + ".conf",
             "logoutput: stderr\ninternal: " + std::string(ip) + " port = " + std::to_string(port) +
                 "\nexternal: " + ip +
                 "\nclientmethod: none\nsocksmethod: none\n"
                 "user.privileged: root\nuser.unprivileged: nobody\n"
                 "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                 "socks pass {\n  from: 127.0.0.0/8 to: 127.0.0.0/8\n  command: connect\n"
                 "  protocol: tcp\n}\n"
                 "socks block { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n");
  return start_peer("danted", ip, port, base,
                    {"danted", "-f", base + ".conf", "-N", "1", "-p", base + ".pid"});
}

std::string tinyproxy_settings(const char* bind_ip, int timeout_s, int max_clients) {
  return "Bind " + std::string(bind_ip) + "\nTimeout " + std::to_string(timeout_s) +
         "\nMaxClients " + std::to_string(max_clients) + "\nLogLevel Error\n";
}

peer_process* start_tinyproxy(const char* ip, uint16_t port, const std::string& upstream_socks5,
                              const std::string& settings) {
  const std::string base = scratch_name("tinyproxy");
  std::string conf = "Port " + std::to_string(port) + "\nListen " + ip +
                     "\nAllow 127.0.0.0/8\nPidFile \"" + base + ".pid\"\n" +
                     (settings.empty() ? tinyproxy_settings(ip) : settings);
  if (!upstream_socks5.empty()) conf += "Upstream socks5 " + upstream_socks5 + "\n";
  write_text(base + ".conf", conf);
  return start_peer("tinyproxy", ip, port, base, {"tinyproxy", "-d", "-c", base + ".conf"});
}

peer_process* start_privoxy(const char* ip, uint16_t port, const std::string& upstream_socks5) {
  const std::string base = scratch_name("privoxy");
  write_text(base + ".conf", "listen-address " + std::string(ip) + ":" + std::to_string(port) +
                                 "\nforward-socks5 / " + upstream_socks5 +
                                 " .\nmax-client-connections 256\nkeep-alive-timeout 5\n"
                                 "toggle 0\nenable-remote-toggle 0\nbuffer-limit 65536\n");
  return start_peer("privoxy", ip, port, base, {"privoxy", "--no-daemon", base + ".conf"});
}

peer_process* start_judge(const char* ip, const std::string& control_file) {
  const char* src = getenv("MEROVANE_SOURCE");
  std::vector<std::string> argv = {
      "python3",  std::string(src != nullptr ? src : ".") + "/tools/merovane-judge",
      "--listen", ip,
      "--port",   "80"};
  if (!control_file.empty()) argv.insert(argv.end(), {"--control", control_file});
  return start_peer("merovane-judge", ip, 80, scratch_name("judge"), argv);
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
  listen_fd = listen_on(listen_ip, 0, &port, 256);
  if (listen_fd < 0) return false;
  acceptor = accept_loop(listen_fd, stopping, [this](int fd, const char* from) {
    active.fetch_add(1);
    std::thread(&origin_server::serve, this, fd, std::string(from)).detach();
  });
  return true;
}

void origin_server::stop() {
  accept_loop_stop(acceptor, listen_fd, stopping, active);
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

// ---- curl ---------------------------------------------------------------

bool echo_server::start(const char* listen_ip) {
  ip = listen_ip;
  listen_fd = listen_on(listen_ip, 0, &port, 64);
  if (listen_fd < 0) return false;
  acceptor = accept_loop(listen_fd, stopping, [this](int fd, const char*) {
    active.fetch_add(1);
    std::thread(&echo_server::serve, this, fd).detach();
  });
  return true;
}

void echo_server::stop() {
  accept_loop_stop(acceptor, listen_fd, stopping, active);
}

void echo_server::serve(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char buf[16384];
  while (!stopping.load()) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    const ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r <= 0 || !send_all(fd, buf, static_cast<size_t>(r))) break;
  }
  close(fd);
  active.fetch_sub(1);
}

int run_curl(const std::vector<std::string>& args, const std::string& out_path, int timeout_s) {
  std::vector<std::string> argv = {"curl", "-sS",   "--max-time", std::to_string(timeout_s),
                                   "-o",   out_path};
  argv.insert(argv.end(), args.begin(), args.end());
  const pid_t pid = spawn_child(argv, out_path + ".err");
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
