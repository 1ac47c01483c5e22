// Socket input and output of the engine: ordering of queued sends, a relayed
// pair carrying 100 MB each way byte-exact, flow control against a peer that
// never reads, and the end of one side passed on to the other.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/loop.h"
#include "engine/slot.h"
#include "platform/clock.h"
#include "tests/support/engine_harness.h"
#include "tests/support/program.h"

namespace {
uint16_t relay_target_port = 0;

// Client side: on its first input, open a linked outbound slot to the target.
void start_pair(int index, char letter) {
  if (letter != 'R' || conn_table[index].link_sock > 0) return;
  int out = slot_create_linked(index);
  if (out < 0) {
    slot_abort(index);
    return;
  }
  conn_table[out].kind = slot_kind::download;
  slot_connect(out, htonl(INADDR_LOOPBACK), relay_target_port);
}

// Outbound side: once connected, both slots become a relayed pair.
void on_outbound(int index, char letter) {
  if (letter == 'C') slot_relay(index);
}

void relay_only(int index, char) {
  slot_relay(index);
}

// The relay's handlers attached and a target listening for its outbound
// side; the target's socket.
int attach_relay() {
  slot_attach(slot_kind::fresh, start_pair);
  slot_attach(slot_kind::download, on_outbound);
  slot_attach(slot_kind::relay, relay_only);
  return listen_on("127.0.0.1", 0, &relay_target_port);
}

// A client whose first bytes made the engine open a relayed pair to the
// target; the client's socket, and the target's end in `peer`.
int open_pair(engine_harness& h, int target, const char* first, int& peer) {
  int client = connect_local(h.port);
  send_all(client, first, strlen(first));
  h.run_until([] { return occupied_slots() == 3; });
  peer = accept(target, nullptr, nullptr);
  return client;
}

uint64_t pattern_sum(uint64_t seed, const uint8_t* data, size_t n, uint64_t sum) {
  for (size_t i = 0; i < n; ++i) sum = sum * 131 + (data[i] ^ static_cast<uint8_t>(seed));
  return sum;
}

void fill(std::vector<uint8_t>& buf, uint64_t offset, uint8_t salt) {
  for (size_t i = 0; i < buf.size(); ++i)
    buf[i] = static_cast<uint8_t>(((offset + i) * 2654435761u >> 13) ^ salt);
}

// Sends `total` pattern bytes and reads `total` bytes back, checksumming both.
struct pump_result {
  uint64_t sent_sum = 0, got_sum = 0;
  size_t got = 0;
  bool ok = true;
};

// One side of an exchange: what it has sent and received so far.
struct pump_state {
  pump_state(int socket, size_t bytes, uint8_t salt) : fd(socket), total(bytes), salt_out(salt) {}
  int fd;
  size_t total;
  uint8_t salt_out;
  pump_result r;
  std::vector<uint8_t> out = std::vector<uint8_t>(64 * 1024), in = std::vector<uint8_t>(64 * 1024);
  size_t sent = 0, chunk_off = 0, chunk_len = 0;
  std::chrono::steady_clock::time_point deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(120);

  // Waits up to 1 s, sends what fits, reads what came: the read's result
  // (0: the other side's end), or -1 when nothing was read.
  ssize_t step() {
    pollfd pfd{fd, static_cast<short>(POLLIN | (sent < total ? POLLOUT : 0)), 0};
    if (poll(&pfd, 1, 1000) < 0) return -1;
    if ((pfd.revents & POLLOUT) && sent < total) send_some();
    if (!(pfd.revents & (POLLIN | POLLHUP))) return -1;
    const ssize_t n = recv(fd, in.data(), in.size(), MSG_DONTWAIT);
    if (n > 0) {
      r.got_sum = pattern_sum(0, in.data(), static_cast<size_t>(n), r.got_sum);
      r.got += static_cast<size_t>(n);
    }
    return n;
  }
  void send_some() {
    if (chunk_off >= chunk_len) {
      fill(out, sent, salt_out);
      chunk_len = std::min(out.size(), total - sent);
      r.sent_sum = pattern_sum(0, out.data(), chunk_len, r.sent_sum);
      chunk_off = 0;
    }
    const ssize_t w =
        send(fd, out.data() + chunk_off, chunk_len - chunk_off, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (w > 0) {
      chunk_off += static_cast<size_t>(w);
      sent += static_cast<size_t>(w);
    }
  }
  bool late() const { return std::chrono::steady_clock::now() > deadline; }
};

pump_result pump(int fd, size_t total, uint8_t salt_out) {
  pump_state p{fd, total, salt_out};
  while (p.r.got < total || p.sent < total) {
    if (p.late()) {
      p.r.ok = false;
      break;
    }
    if (p.step() == 0 && p.r.got < total) break;
  }
  return p.r;
}

// Runs `side` (fd, is_client) on the client's connection and on the
// target's accepted one at once while the engine turns, then closes both.
struct side_results {
  pump_result client, target;
};
template <class Side>
side_results both_sides(engine_harness& h, int target, Side side) {
  side_results r;
  std::atomic<int> finished{0};
  std::thread target_thread([&] {
    const int peer = accept(target, nullptr, nullptr);
    r.target = side(peer, false);
    close(peer);
    ++finished;
  });
  std::thread client_thread([&] {
    const int fd = connect_local(h.port);
    r.client = side(fd, true);
    close(fd);
    ++finished;
  });
  h.run_until([&] { return finished.load() == 2; }, 150000);
  target_thread.join();
  client_thread.join();
  close(target);
  return r;
}

uint64_t expected_sum(size_t total, uint8_t salt) {
  std::vector<uint8_t> buf(64 * 1024);
  uint64_t sum = 0;
  for (size_t off = 0; off < total; off += buf.size()) {
    fill(buf, off, salt);
    sum = pattern_sum(0, buf.data(), std::min(buf.size(), total - off), sum);
  }
  return sum;
}
}  // namespace

TEST(EngineIo, QueuedSendsArriveInOrder) {
  engine_harness h;
  int client = connect_local(h.port);
  int index = -1;
  ASSERT_TRUE(h.run_until([&] { return (index = slot_of_client(client)) > 0; }));
  // The first send is far larger than the socket takes at once, so the
  // second is queued behind its unsent rest.
  std::vector<uint8_t> big(8 << 20);
  fill(big, 0, 7);
  slot_send(index, big.data(), static_cast<int>(big.size()));
  EXPECT_GT(conn_table[index].out.len, 0u);
  slot_send(index, "tail!", 5);
  std::vector<uint8_t> got(big.size() + 5);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    read_exact(client, got.data(), got.size(), 20000);
    done = true;
  });
  h.run_until([&] { return done.load(); }, 20000);
  reader.join();
  EXPECT_EQ(memcmp(got.data(), big.data(), big.size()), 0);
  EXPECT_EQ(memcmp(got.data() + big.size(), "tail!", 5), 0);
  EXPECT_EQ(conn_table[index].out.total, big.size() + 5);
  close(client);
}

TEST(EngineIo, RelayedPairCarries100MBEachWay) {
  engine_harness h;
  int target = attach_relay();
  constexpr size_t total = 100u << 20;
  const auto [client_side, target_side] = both_sides(h, target, [](int fd, bool client) {
    const pump_result r = pump(fd, total, client ? 0xA5 : 0x5A);
    if (!client) shutdown(fd, SHUT_WR);
    return r;
  });
  ASSERT_TRUE(client_side.ok && target_side.ok);
  EXPECT_EQ(client_side.got, total);
  EXPECT_EQ(target_side.got, total);
  EXPECT_EQ(client_side.sent_sum, expected_sum(total, 0xA5));
  EXPECT_EQ(target_side.got_sum, client_side.sent_sum);
  EXPECT_EQ(client_side.got_sum, target_side.sent_sum);
  // Both ends closed: the pair is gone without waiting for the quiet period.
  EXPECT_TRUE(h.run_until([] { return occupied_slots() == 1; }, 1000));
}

TEST(EngineIo, PeerThatNeverReadsDoesNotGrowMemory) {
  engine_harness h;
  int target = attach_relay();
  int peer = -1;
  int client = open_pair(h, target, "go", peer);  // the peer never reads
  h.run_for(50);
  long before = process_rss_kib(getpid());
  std::vector<uint8_t> chunk(256 * 1024, 'z');
  size_t pushed = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < end && pushed < (512u << 20)) {
    ssize_t w = send(client, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (w > 0) pushed += static_cast<size_t>(w);
    engine_cycle(1);
  }
  long after = process_rss_kib(getpid());
  size_t buffered = 0;
  for (const auto& slot : conn_table)
    if (slot.sock != -1) buffered += slot.in.len + slot.out.len;
  EXPECT_LT(buffered, 2u << 20);
  EXPECT_LT(after - before, 8 * 1024) << "pushed " << pushed << " bytes";
  close(peer);
  close(client);
  close(target);
}

TEST(EngineIo, EndOfOneSideReachesTheOther) {
  engine_harness h;
  int target = attach_relay();
  int peer = -1;
  int client = open_pair(h, target, "request", peer);
  char buf[16];
  std::atomic<bool> got{false};
  std::thread origin([&] {
    read_exact(peer, buf, 7);
    send_all(peer, "reply", 5);
    close(peer);  // an HTTP/1.0 origin closes after its reply
    got = true;
  });
  h.run_until([&] { return got.load(); });
  origin.join();
  char reply[5];
  std::atomic<bool> read_done{false};
  bool ok = false;
  ssize_t tail = -1;
  std::thread reader([&] {
    ok = read_exact(client, reply, 5);
    tail = recv(client, buf, 1, 0);
    read_done = true;
  });
  h.run_until([&] { return read_done.load(); }, 3000);
  reader.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(tail, 0) << "the client must see the end at once, not after the quiet period";
  close(client);
  close(target);
}

// A peer that resets its connection instead of closing it: the other side
// hears the end at once too (its sending side is shut), not only when the
// quiet period closes the pair. The clock stands still here, so the quiet
// period never comes.
TEST(EngineIo, ResetOfOneSideEndsTheOther) {
  clock_fake_enable(1000, 1700000000000ull);
  {
    engine_harness h;
    int target = attach_relay();
    int peer = -1;
    int client = open_pair(h, target, "request", peer);
    char buf[16];
    std::atomic<bool> reset_done{false};
    std::thread origin([&] {
      read_exact(peer, buf, 7);
      linger reset{1, 0};
      setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      close(peer);
      reset_done = true;
    });
    h.run_until([&] { return reset_done.load(); });
    origin.join();
    timeval limit{2, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::atomic<bool> read_done{false};
    ssize_t tail = -2;
    std::thread reader([&] {
      tail = recv(client, buf, 1, 0);
      read_done = true;
    });
    h.run_until([&] { return read_done.load(); }, 3000);
    reader.join();
    EXPECT_EQ(tail, 0) << "no end reached the client";
    close(client);
    close(target);
  }
  clock_fake_disable();
}

namespace {
// Like pump, then the sending side is shut: at once when everything is sent
// (first), or only once the other side's end has arrived too (second).
// Reads on until the end: true when every byte came and then the end.
pump_result pump_half_close(int fd, size_t total, uint8_t salt_out, bool shut_first) {
  pump_state p{fd, total, salt_out};
  bool shut = false, ended = false;
  while (!(shut && ended) && !p.late()) {
    if (!shut && p.sent == total && (shut_first || ended)) {
      shutdown(fd, SHUT_WR);
      shut = true;
    }
    if (p.step() == 0) ended = true;
  }
  p.r.ok = shut && ended;
  return p.r;
}

// The relay's 'R' letters: the zero-copy path moves bytes without them.
std::atomic<int> relay_reads{0};
void relay_counting(int index, char letter) {
  if (letter == 'R') ++relay_reads;
  slot_relay(index);
}

// The engine's log hooks, with a switch for "this slot's lines are kept"
// (log level 2): a kept slot's bytes must be seen, so the pair copies.
std::atomic<bool> lines_kept{false};
std::atomic<uint64_t> bytes_logged{0};
engine_log_hooks switchable_log() {
  engine_log_hooks hooks{};
  hooks.wanted = [](int) { return lines_kept.load(); };
  hooks.line = [](int, const char*) {};
  hooks.dump = [](int, const void*, uint32_t count, const char*) { bytes_logged += count; };
  return hooks;
}
}  // namespace

// 64 MiB each way through a pair, on the zero-copy path and on the copy
// path, with the client or the target ending its side first: every byte
// arrives once, in order, then the end; the pair then closes at once.
TEST(EngineIo, RelayCarries64MiBEachWayWithHalfCloseInBothOrders) {
  struct run {
    bool splice;
    bool client_first;
  };
  for (const run& c : {run{true, true}, run{true, false}, run{false, true}}) {
    SCOPED_TRACE(std::string(c.splice ? "splice" : "copy") +
                 (c.client_first ? ", client ends first" : ", target ends first"));
    engine_set_splice(c.splice);
    engine_harness h;
    int target = attach_relay();
    slot_attach(slot_kind::relay, relay_counting);
    relay_reads = 0;
    constexpr size_t total = 64u << 20;
    const auto [client_side, target_side] = both_sides(h, target, [&](int fd, bool client) {
      return pump_half_close(fd, total, client ? 0xC3 : 0x3C, client == c.client_first);
    });
    EXPECT_TRUE(client_side.ok && target_side.ok);
    EXPECT_EQ(client_side.got, total);
    EXPECT_EQ(target_side.got, total);
    EXPECT_EQ(target_side.got_sum, expected_sum(total, 0xC3));
    EXPECT_EQ(client_side.got_sum, expected_sum(total, 0x3C));
    if (c.splice) {
      EXPECT_GT(engine_pipes_open(), 0);
      EXPECT_LT(relay_reads.load(), 64) << "the bytes went through the handler";
    }
    EXPECT_TRUE(h.run_until([] { return occupied_slots() == 1; }, 1000));
  }
  engine_set_splice(true);
}

// A pair moving bytes through pipes whose lines start being kept (log level
// 2) mid-transfer goes back to copying, and to the pipes once they are no
// longer kept: no byte is lost or repeated, and the kept part is logged.
TEST(EngineIo, SwitchingLinesKeptMidTransferLosesNoByte) {
  engine_harness h;
  int target = attach_relay();
  engine_set_log(switchable_log());
  lines_kept = false;
  bytes_logged = 0;
  constexpr size_t total = 64u << 20;
  pump_result client_side, target_side;
  std::atomic<int> finished{0};
  std::thread target_thread([&] {
    int peer = accept(target, nullptr, nullptr);
    target_side = pump_half_close(peer, total, 0x11, false);
    close(peer);
    ++finished;
  });
  std::thread client_thread([&] {
    int fd = connect_local(h.port);
    client_side = pump_half_close(fd, total, 0x22, true);
    close(fd);
    ++finished;
  });
  // Kept from 16 MiB received by the target to 40 MiB.
  h.run_until(
      [&] {
        const int peer_side = slot_count_used() > 2 ? 2 : -1;
        const uint64_t moved = peer_side > 0 ? conn_table[peer_side].out.total : 0;
        lines_kept = moved >= (16u << 20) && moved < (40u << 20);
        return finished.load() == 2;
      },
      150000);
  target_thread.join();
  client_thread.join();
  close(target);
  EXPECT_TRUE(client_side.ok && target_side.ok);
  EXPECT_EQ(target_side.got, total);
  EXPECT_EQ(target_side.got_sum, expected_sum(total, 0x22));
  EXPECT_EQ(client_side.got_sum, expected_sum(total, 0x11));
  EXPECT_GT(bytes_logged.load(), 0u);
  EXPECT_LT(bytes_logged.load(), 2 * static_cast<uint64_t>(total));
}
