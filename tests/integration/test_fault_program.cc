// The running program under faults: an upstream proxy killed in the middle
// of transfers, the whole slot table filled and freed again under the usual
// descriptor limit, clients that never finish their request, and a SIGKILL
// in the middle of a 10,000-proxy upload followed by a restart.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "db/db.h"
#include "engine/slot.h"
#include "tests/support/chain_db.h"
#include "tests/support/fault_support.h"

namespace {

constexpr const char* kOrigin = "127.0.0.71";
constexpr const char* kMicrosocks = "127.0.0.72";
constexpr const char* kDanted = "127.0.0.73";
constexpr const char* kTinyproxy = "127.0.0.74";
constexpr const char* kProgram = "127.0.0.75";

std::unique_ptr<origin_server> origin;
std::unique_ptr<peer_process> microsocks, danted, tinyproxy;

class FaultProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    origin = std::make_unique<origin_server>();
    ASSERT_TRUE(origin->start(kOrigin));
    microsocks.reset(start_microsocks(kMicrosocks, free_port(kMicrosocks)));
    danted.reset(start_danted(kDanted, free_port(kDanted)));
    tinyproxy.reset(start_tinyproxy(kTinyproxy, free_port(kTinyproxy)));
  }
  static void TearDownTestSuite() {
    microsocks.reset();
    danted.reset();
    tinyproxy.reset();
    origin.reset();
  }
  void SetUp() override {
    ASSERT_TRUE(microsocks && danted && tinyproxy)
        << "a peer did not start (see " << scratch_dir() << ")";
  }
  void TearDown() override {
    if (program.pid > 0) {
      EXPECT_TRUE(program.alive()) << "the program died";
    }
  }

  program_instance program;

  // One fixed SOCKS5 hop through microsocks.
  void prepare_plain() {
    ASSERT_TRUE(program.prepare(kProgram, [&] {
      chain_db_add_link(1, 5, PT_SOCKS5, ip_number(kMicrosocks), microsocks->port);
    }));
  }
};

TEST_F(FaultProgram, UpstreamKilledMidTransferClosesItsClientsAndAnotherChainServes) {
  // microsocks, then danted or tinyproxy at random.
  ASSERT_TRUE(program.prepare(kProgram, [&] {
    chain_db_add_proxy(kDanted, danted->port, PT_SOCKS5 | PT_ANONYMOUS, 10);
    chain_db_add_proxy(kTinyproxy, tinyproxy->port, PT_HTTPS | PT_ANONYMOUS, 10);
    chain_db_add_link(1, 5, PT_SOCKS5, ip_number(kMicrosocks), microsocks->port);
    chain_db_add_link(2, 1, PT_SOCKS5 | PT_HTTPS | PT_ANONYMOUS);
  }));
  ASSERT_TRUE(program.start()) << program.log();
  const int baseline = fault_slots(program);
  ASSERT_GT(baseline, 0);

  // Three big downloads in flight; each client has its first 256 KiB.
  constexpr uint64_t kBig = 256ull << 20;
  std::vector<int> clients;
  for (int i = 0; i < 3; ++i) {
    const int fd = fault_socks5(program, origin->ip, origin->port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, "GET /bytes/" + std::to_string(kBig) + " HTTP/1.0\r\nHost: " +
                                 origin->ip + ":" + std::to_string(origin->port) + "\r\n\r\n"));
    std::string got;
    char buf[65536];
    while (got.size() < (256u << 10)) {
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      ASSERT_GT(n, 0);
      got.append(buf, static_cast<size_t>(n));
    }
    clients.push_back(fd);
  }
  // The chain is cached, so all three share the last hop; kill it.
  const std::string last = origin->last_peer();
  ASSERT_TRUE(last == kDanted || last == kTinyproxy) << last;
  std::unique_ptr<peer_process>& victim = last == kDanted ? danted : tinyproxy;
  const std::string survivor = last == kDanted ? kTinyproxy : kDanted;
  kill(victim->pid, SIGKILL);
  victim->stop();

  // Every client is closed without its whole body (what was buffered may still come).
  for (int fd : clients) {
    bool closed = false;
    const std::string rest = read_to_close(fd, 30000, &closed);
    EXPECT_TRUE(closed);
    EXPECT_LT(rest.size(), kBig);
    close(fd);
  }
  // New clients get through the other proxy (a failed chain is not reused;
  // the random pick may land on the dead one a few times).
  bool served = false;
  for (int attempt = 0; attempt < 30 && !served; ++attempt)
    served = fault_download(program, *origin, 1u << 20);
  EXPECT_TRUE(served);
  EXPECT_EQ(origin->last_peer(), survivor);
  EXPECT_TRUE(fault_wait_slots(program, baseline, 15000)) << fault_slots(program);

  // The killed proxy comes back for the tests after this one.
  if (last == kDanted) {
    danted.reset(start_danted(kDanted, free_port(kDanted)));
  } else {
    tinyproxy.reset(start_tinyproxy(kTinyproxy, free_port(kTinyproxy)));
  }
}

TEST_F(FaultProgram, ClientShareFilledAndFreedUnderTheUsualDescriptorLimit) {
  // Clients get their share of the table; the rest are closed at accept.
  constexpr int kClients = CLIENT_SLOT_SHARE + 100;
  ASSERT_TRUE(fault_raise_own_limit(kClients + 512));
  prepare_plain();
  // The customary soft limit of 1024, with room to raise it.
  ASSERT_TRUE(program.start({"prlimit", "--nofile=1024:8192", "--"})) << program.log();
  const int baseline = fault_slots(program);
  const int fds_before = process_fd_count(program.pid);
  ASSERT_GT(baseline, 0);

  std::vector<int> clients;
  for (int i = 0; i < kClients; ++i) {
    const int fd = connect_to(program.ip, program.port, 5000);
    ASSERT_GE(fd, 0) << "connection " << i;
    clients.push_back(fd);
  }
  // Wait until the program has taken every connection off its queue.
  int open_count = 0, closed_count = 0;
  for (int round = 0; round < 100; ++round) {
    open_count = closed_count = 0;
    for (int fd : clients) {
      char byte;
      const ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN)) {
        ++closed_count;
      } else {
        ++open_count;
      }
    }
    if (closed_count >= kClients - CLIENT_SLOT_SHARE) break;
    usleep(100000);
  }
  // The share holds one client a slot, the rest were closed at once.
  EXPECT_EQ(open_count, CLIENT_SLOT_SHARE);
  EXPECT_EQ(closed_count, kClients - CLIENT_SLOT_SHARE);
  EXPECT_GE(process_fd_count(program.pid), CLIENT_SLOT_SHARE);
  EXPECT_TRUE(program.alive());

  for (int fd : clients) close(fd);
  EXPECT_TRUE(fault_wait_slots(program, baseline, 20000)) << fault_slots(program);
  // The database may hold a journal open for a moment: allow it to finish.
  int fds_after = process_fd_count(program.pid);
  for (int round = 0; round < 30 && fds_after > fds_before; ++round) {
    usleep(100000);
    fds_after = process_fd_count(program.pid);
  }
  EXPECT_LE(fds_after, fds_before);
  EXPECT_TRUE(fault_download(program, *origin, 1u << 20));
}

TEST_F(FaultProgram, DescriptorsRunningOutBeforeTheTableClosesTheExtraClients) {
  // A hard limit the program cannot raise: it runs out of descriptors
  // long before the table is full.
  constexpr int kClients = 300;
  ASSERT_TRUE(fault_raise_own_limit(kClients + 512));
  prepare_plain();
  ASSERT_TRUE(program.start({"prlimit", "--nofile=200:200", "--"})) << program.log();
  const int baseline = fault_slots(program);
  const int fds_before = process_fd_count(program.pid);
  ASSERT_GT(baseline, 0);

  std::vector<int> clients;
  for (int i = 0; i < kClients; ++i) {
    const int fd = connect_to(program.ip, program.port, 5000);
    ASSERT_GE(fd, 0) << "connection " << i;
    clients.push_back(fd);
  }
  // Every client is either held by the program or closed by it; none is
  // left waiting in the queue.
  int open_count = 0, closed_count = 0, held = 0;
  for (int round = 0; round < 100; ++round) {
    open_count = closed_count = 0;
    for (int fd : clients) {
      char byte;
      const ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN)) {
        ++closed_count;
      } else {
        ++open_count;
      }
    }
    held = process_fd_count(program.pid) - fds_before;
    if (open_count - held <= 3) break;
    usleep(100000);
  }
  // (the panel connection that counted the slots may still be closing)
  EXPECT_NEAR(open_count, held, 3);
  EXPECT_GT(closed_count, 0);
  EXPECT_GT(held, 100);
  EXPECT_TRUE(program.alive());

  for (int fd : clients) close(fd);
  EXPECT_TRUE(fault_wait_slots(program, baseline, 20000)) << fault_slots(program);
  EXPECT_TRUE(fault_download(program, *origin, 1u << 20));
}

// Keeps sending for at most ms; the bytes the program took.
uint64_t flood(int fd, uint64_t limit, int ms) {
  const std::string chunk(65536, 'f');
  uint64_t sent = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (sent < limit && std::chrono::steady_clock::now() < until) {
    const ssize_t n = send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<uint64_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      usleep(10000);
    } else {
      break;
    }
  }
  return sent;
}

TEST_F(FaultProgram, UnfinishedRequestsAreRefusedAt64KiBAndHoldNoMemory) {
  prepare_plain();
  ASSERT_TRUE(program.start());
  const int baseline = fault_slots(program);
  const int served_before = origin->requests();
  const std::string pad = "X-Pad: " + std::string(1000, 'p') + "\r\n";
  std::string http_head = "GET http://" + origin->ip + ":" + std::to_string(origin->port) +
                          "/bytes/10 HTTP/1.1\r\nHost: " + origin->ip + "\r\n";
  for (int i = 0; i < 70; ++i) http_head += pad;  // about 70 KiB, no end
  std::string socks4 = {4, 1, 0, 80, 127, 0, 0, 71};
  socks4 += std::string(70000, 'u');  // a user name without its end
  for (const std::string& request : {http_head, socks4}) {
    const int fd = connect_to(program.ip, program.port, 5000);
    ASSERT_GE(fd, 0);
    send_all(fd, request);
    // The refusal page comes at once.
    const std::string reply = read_http_reply(fd, 5000);
    EXPECT_EQ(reply.rfind("HTTP/1.", 0), 0u) << reply.substr(0, 200);
    EXPECT_EQ(origin->requests(), served_before);
    // A refused client that goes on sending does not make the program grow.
    const long before = process_rss_kib(program.pid);
    const uint64_t taken = flood(fd, 64ull << 20, 4000);
    const long after = process_rss_kib(program.pid);
    EXPECT_LT(after - before, 16 * 1024) << "took " << taken << " bytes";
    close(fd);
  }
  // Once the clients are gone, so are their slots.
  EXPECT_TRUE(fault_wait_slots(program, baseline, 10000)) << fault_slots(program);
  EXPECT_TRUE(fault_download(program, *origin, 100000));
}

// 10,000 loopback proxies as the panel sends a pasted list (URL-encoded).
std::string proxy_list_body(int second_octet) {
  std::string body = "type=upload_proxy&list=";
  for (int i = 0; i < 10000; ++i)
    body += "127." + std::to_string(second_octet) + "." + std::to_string(i / 250) + "." +
            std::to_string(i % 250 + 1) + "%3A" + std::to_string(1080 + i % 7) + "%0A";
  return body;
}

int proxy_rows(const program_instance& program) {
  const std::string reply = fault_panel_ajax(program, "type=load_proxy", 30000);
  if (reply.find("ajax_callback(\"load_proxy\",") == std::string::npos) return -1;
  if (reply.find("ajax_callback(\"load_proxy\",null)") != std::string::npos) return 0;
  int rows = 1;
  for (size_t at = reply.find("],["); at != std::string::npos; at = reply.find("],[", at + 3))
    ++rows;
  return rows;
}

TEST_F(FaultProgram, KilledDuringABigUploadRestartsWithAnIntactDatabase) {
  prepare_plain();
  ASSERT_TRUE(program.start());
  // A whole upload, to learn how long one takes.
  const auto t0 = std::chrono::steady_clock::now();
  const std::string first = fault_panel_ajax(program, proxy_list_body(1), 300000);
  const auto took = std::chrono::steady_clock::now() - t0;
  ASSERT_NE(first.find("{count:10000, added:10000}"), std::string::npos) << first.substr(0, 300);
  const long half_ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count() / 2;
  printf("one upload of 10,000 proxies: %ld ms\n", half_ms * 2);

  // The second upload is killed half way.
  const int fd = connect_to(program.ip, program.port, 5000);
  ASSERT_GE(fd, 0);
  const std::string body = proxy_list_body(2);
  ASSERT_TRUE(send_all(fd, "POST /" + std::string(kPanelToken) +
                               "/ajax HTTP/1.1\r\nHost: localhost:" + std::to_string(program.port) +
                               "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                               body));
  usleep(static_cast<useconds_t>(half_ms > 0 ? half_ms : 1) * 1000);
  ASSERT_EQ(kill(program.pid, SIGKILL), 0);
  waitpid(program.pid, nullptr, 0);
  program.pid = -1;
  close(fd);

  // The restarted program reads its list and takes the rest of the upload.
  ASSERT_TRUE(program.start()) << program.log();
  const int rows = proxy_rows(program);
  EXPECT_GE(rows, 10000);
  EXPECT_LE(rows, 20000);
  const std::string again = fault_panel_ajax(program, body, 300000);
  EXPECT_NE(again.find("{count:10000, added:" + std::to_string(20000 - rows) + "}"),
            std::string::npos)
      << again.substr(0, 300);
  EXPECT_EQ(proxy_rows(program), 20000);
  program.stop();

  // Checked by SQLite itself once the program is gone.
  ASSERT_TRUE(db_open(program.db_path().c_str()));
  char* check = db_query_text("", "\n", "PRAGMA integrity_check");
  ASSERT_NE(check, nullptr);
  EXPECT_STREQ(check, "ok");
  free(check);
  char* count = db_query_text("", "", "SELECT count(*) FROM proxy");
  ASSERT_NE(count, nullptr);
  EXPECT_STREQ(count, "20000");
  free(count);
  db_close();
}

}  // namespace
