// The slot table on real loopback sockets: allocation, dispatch by kind,
// compaction, a full table, and the housekeeping rules under the test clock.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "engine/loop.h"
#include "engine/slot.h"
#include "log/push.h"
#include "platform/clock.h"
#include "tests/support/engine_harness.h"

namespace {
std::string letters;
std::string seen_input;

void record(int index, char letter) {
  letters.push_back(letter);
  if (letter == 'R' || letter == 'X') {
    const stream& in = conn_table[index].in;
    seen_input.assign(reinterpret_cast<const char*>(in.data), in.len);
  }
}

class EngineTable : public ::testing::Test {
 protected:
  void SetUp() override {
    letters.clear();
    seen_input.clear();
  }
  void TearDown() override { clock_fake_disable(); }
};

int accept_one(engine_harness& h, int client) {
  int index = -1;
  h.run_until([&] { return (index = slot_of_client(client)) > 0; });
  return index;
}
}  // namespace

TEST_F(EngineTable, AcceptedConnectionIsFreshAndIgnoresOtherLetters) {
  engine_harness h;
  ASSERT_NE(h.port, 0);
  EXPECT_EQ(conn_table[0].kind, slot_kind::listen);
  EXPECT_EQ(std::string(engine_listen_text()),
            "Listening 127.0.0.1 port " + std::to_string(h.port));
  int client = connect_local(h.port);
  int index = accept_one(h, client);
  ASSERT_GT(index, 0);
  conn_slot& slot = conn_table[index];
  EXPECT_EQ(slot.kind, slot_kind::fresh);
  EXPECT_NE(slot.peer_addr, 0u);
  EXPECT_GT(slot.serial, conn_table[0].serial);
  // 'T', 'S' and 'C' on a fresh slot reach no handler and change nothing.
  stream_append(slot.in, "keep", 4);
  for (char letter : {'T', 'S', 'C'}) slot_dispatch(index, letter);
  EXPECT_EQ(slot.kind, slot_kind::fresh);
  EXPECT_EQ(slot.in.len, 4u);
  EXPECT_EQ(slot.flags, SLOT_ACCEPTED);
  EXPECT_EQ(slot_count_accepted(), 1);
  close(client);
}

TEST_F(EngineTable, CompactionKeepsLinksBySocket) {
  engine_harness h;
  std::vector<int> clients;
  for (int i = 0; i < 7; ++i) {
    clients.push_back(connect_local(h.port));
    ASSERT_EQ(accept_one(h, clients.back()), i + 1);
  }
  int sock6 = conn_table[6].sock;
  int sock7 = conn_table[7].sock;
  conn_table[2].link_sock = sock7;
  conn_table[7].link_sock = conn_table[2].sock;
  slot_close(5);
  EXPECT_EQ(conn_table[5].sock, sock6);
  EXPECT_EQ(conn_table[6].sock, sock7);
  EXPECT_EQ(conn_table[7].sock, -1);
  EXPECT_EQ(slot_find_by_socket(conn_table[2].link_sock), 6);
  // Closing one side of a link closes the other at once.
  slot_close(2);
  EXPECT_EQ(slot_find_by_socket(sock7), -1);
  EXPECT_EQ(occupied_slots(), 5);
  for (int fd : clients) close(fd);
}

TEST_F(EngineTable, FullTableRefusesAndRecovers) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 4200) {
    limit.rlim_cur = limit.rlim_max < 4200 ? limit.rlim_max : 4200;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  engine_harness h;
  std::vector<int> outbound;
  while (true) {
    int index = slot_alloc(0);
    if (index < 0) break;
    outbound.push_back(index);
  }
  ASSERT_EQ(occupied_slots(), SLOT_COUNT);
  EXPECT_EQ(slot_create_linked(1), -1);
  // A client arriving now is taken off the queue and closed, not left hanging.
  int refused = connect_local(h.port);
  ASSERT_GE(refused, 0);
  h.run_for(50);
  char byte;
  EXPECT_TRUE(h.run_until([&] { return recv(refused, &byte, 1, MSG_DONTWAIT) == 0; }, 2000));
  close(refused);
  // Free one slot: the next client is accepted.
  slot_close(SLOT_COUNT - 1);
  int client = connect_local(h.port);
  EXPECT_GT(accept_one(h, client), 0);
  close(client);
}

TEST_F(EngineTable, TickEveryTenSecondsWithPendingBytes) {
  clock_fake_enable(1000, 1700000000000ull);
  engine_harness h;
  slot_attach(slot_kind::fresh, record);
  int client = connect_local(h.port);
  int index = accept_one(h, client);
  ASSERT_GT(index, 0);
  letters.clear();
  clock_advance(9999);
  engine_housekeeping();
  EXPECT_EQ(letters, "");
  clock_advance(1);
  engine_housekeeping();
  EXPECT_EQ(letters, "T");
  // Bytes waiting in either stream follow the tick as 'R' and 'S'.
  stream_append(conn_table[index].in, "in", 2);
  stream_append(conn_table[index].out, "out", 3);
  clock_advance(10000);
  engine_housekeeping();
  EXPECT_EQ(letters, "TTRS");
  stream_free(conn_table[index].out);
  close(client);
}

TEST_F(EngineTable, CloseWaitsForTwoQuietSeconds) {
  clock_fake_enable(5000, 1700000000000ull);
  engine_harness h;
  slot_attach(slot_kind::fresh, record);
  int client = connect_local(h.port);
  int index = accept_one(h, client);
  int sock = conn_table[index].sock;
  slot_request_close(index);
  for (int round = 0; round < 3; ++round) {
    clock_advance(1500);
    ASSERT_TRUE(send_all(client, "x", 1));
    size_t before = conn_table[slot_find_by_socket(sock)].in.total;
    h.run_until([&] { return conn_table[slot_find_by_socket(sock)].in.total > before; });
    engine_housekeeping();
    ASSERT_GE(slot_find_by_socket(sock), 0) << "closed while data kept arriving";
  }
  clock_advance(2000);
  engine_housekeeping();
  EXPECT_GE(slot_find_by_socket(sock), 0);
  clock_advance(1);
  engine_housekeeping();
  EXPECT_EQ(slot_find_by_socket(sock), -1);
  EXPECT_EQ(letters.back(), 'X');
  close(client);
}

TEST_F(EngineTable, IdleHourClosesLinkedPair) {
  clock_fake_enable(5000, 1700000000000ull);
  engine_harness h;
  slot_attach(slot_kind::fresh, record);
  slot_attach(slot_kind::download, record);
  uint16_t target_port = 0;
  int target = listen_on("127.0.0.1", 0, &target_port);
  int client = connect_local(h.port);
  int index = accept_one(h, client);
  int out = slot_create_linked(index);
  ASSERT_GT(out, index);
  conn_table[out].kind = slot_kind::download;
  EXPECT_EQ(conn_table[out].serial, conn_table[index].serial);
  ASSERT_EQ(slot_connect(out, htonl(INADDR_LOOPBACK), target_port), 1);
  ASSERT_TRUE(h.run_until([&] { return letters.find('C') != std::string::npos; }));
  int peer = accept(target, nullptr, nullptr);
  int client_sock = conn_table[index].sock;
  int out_sock = conn_table[out].sock;
  clock_advance(3600000);
  engine_housekeeping();
  EXPECT_GE(slot_find_by_socket(client_sock), 0);
  EXPECT_GE(slot_find_by_socket(out_sock), 0);
  clock_advance(1);
  engine_housekeeping();
  EXPECT_EQ(slot_find_by_socket(client_sock), -1);
  EXPECT_EQ(slot_find_by_socket(out_sock), -1);
  EXPECT_EQ(std::count(letters.begin(), letters.end(), 'X'), 2);
  close(peer);
  close(target);
  close(client);
}

TEST_F(EngineTable, LateBytesReachHandlerBeforeClose) {
  engine_harness h;
  slot_attach(slot_kind::fresh, record);
  int client = connect_local(h.port);
  int index = accept_one(h, client);
  slot_request_close(index);
  ASSERT_TRUE(send_all(client, "late bytes", 10));
  usleep(20000);
  letters.clear();
  slot_close(index);
  EXPECT_EQ(letters, "RX");
  EXPECT_EQ(seen_input, "late bytes");
  close(client);
}

TEST_F(EngineTable, PanelBroadcastReachesServedPanelsOnly) {
  engine_harness h;
  int a = connect_local(h.port);
  int ia = accept_one(h, a);
  int b = connect_local(h.port);
  int ib = accept_one(h, b);
  conn_table[ia].kind = slot_kind::web_push;
  conn_table[ib].kind = slot_kind::web;
  panel_broadcast("P();", 4);
  EXPECT_NE(panel_push_time, 0u);
  char got[4];
  EXPECT_TRUE(read_exact(a, got, 4));
  conn_table[ia].kind = slot_kind::web;
  panel_broadcast("P();", 4);
  EXPECT_EQ(panel_push_time, 0u);
  close(a);
  close(b);
}

namespace {
struct seen_event {
  int kind;
  char letter;
};
std::vector<seen_event> attached_seen;
void attached_record(int index, char letter) {
  attached_seen.push_back({static_cast<int>(conn_table[index].kind), letter});
}
void attached_other(int, char) {}
}  // namespace

// Every kind reaches the handler attached to it, for every letter; a kind
// nobody attached has its input thrown away; attaching hands back the
// handler it replaces.
TEST_F(EngineTable, EveryKindAndLetterGoesThroughTheAttachTable) {
  engine_harness h;
  const slot_kind kinds[] = {slot_kind::fresh,         slot_kind::socks5_greeting,
                             slot_kind::socks_request, slot_kind::first_data,
                             slot_kind::dest_known,    slot_kind::listen,
                             slot_kind::web,           slot_kind::web_push,
                             slot_kind::check,         slot_kind::chain_test,
                             slot_kind::myip,          slot_kind::chain,
                             slot_kind::relay,         slot_kind::download,
                             slot_kind::error};
  const char letters_all[] = {'C', 'R', 'S', 'T', 'X'};
  constexpr int IDX = 40;
  conn_table[IDX] = conn_slot{};
  conn_table[IDX].sock = -1;
  slot_detach_all();
  for (slot_kind kind : kinds) EXPECT_EQ(slot_attach(kind, attached_record), nullptr);
  for (slot_kind kind : kinds) {
    conn_table[IDX].kind = kind;
    for (char letter : letters_all) {
      attached_seen.clear();
      slot_dispatch(IDX, letter);
      ASSERT_EQ(attached_seen.size(), 1u);
      EXPECT_EQ(attached_seen[0].kind, static_cast<int>(kind));
      EXPECT_EQ(attached_seen[0].letter, letter);
    }
    EXPECT_EQ(slot_attach(kind, attached_other), attached_record);
    EXPECT_EQ(slot_attach(kind, nullptr), attached_other);
  }
  // Unattached: nothing is called and the input is dropped.
  conn_table[IDX].kind = slot_kind::check;
  ASSERT_TRUE(stream_append(conn_table[IDX].in, "junk", 4));
  attached_seen.clear();
  slot_dispatch(IDX, 'R');
  EXPECT_TRUE(attached_seen.empty());
  EXPECT_EQ(conn_table[IDX].in.len, 0u);
  stream_free(conn_table[IDX].in);
  conn_table[IDX] = conn_slot{};
  conn_table[IDX].sock = -1;
}

// A send that the socket takes whole is still followed by 'S', every time.
TEST_F(EngineTable, DrainedFollowsASendThatWentOutWhole) {
  engine_harness h;
  slot_attach(slot_kind::fresh, record);
  int client = connect_local(h.port);
  int index = accept_one(h, client);
  ASSERT_GT(index, 0);
  for (int round = 0; round < 3; ++round) {
    letters.clear();
    slot_send(index, "hello", 5);
    EXPECT_EQ(conn_table[index].out.len, 0u);
    EXPECT_TRUE(h.run_until([] { return letters.find('S') != std::string::npos; }, 2000))
        << "round " << round;
    char got[5];
    EXPECT_TRUE(read_exact(client, got, 5));
  }
  close(client);
}

namespace {
int timer_runs = 0;
void count_timer() {
  ++timer_runs;
}
}  // namespace

// Periodic work runs from the housekeeping pass once its period has passed.
TEST_F(EngineTable, AttachedTimersRunByTheirPeriod) {
  clock_fake_enable(1000, 1700000000000ull);
  engine_harness h;
  engine_timers_clear();
  timer_runs = 0;
  ASSERT_TRUE(engine_every(30000, count_timer));
  engine_housekeeping();
  EXPECT_EQ(timer_runs, 0);
  clock_advance(30000);
  engine_housekeeping();
  EXPECT_EQ(timer_runs, 0);
  clock_advance(1);
  engine_housekeeping();
  EXPECT_EQ(timer_runs, 1);
  engine_housekeeping();
  EXPECT_EQ(timer_runs, 1);
}

namespace {
int later_runs = 0;
void later_three_times() {
  if (++later_runs < 3) engine_later(later_three_times);
}
}  // namespace

// Work in steps runs once per cycle without the cycle waiting for events:
// three steps take three cycles even with a long wait asked for.
TEST_F(EngineTable, LaterWorkRunsOncePerCycleWithoutWaiting) {
  engine_harness h;
  engine_timers_clear();
  later_runs = 0;
  ASSERT_TRUE(engine_later(later_three_times));
  ASSERT_TRUE(engine_later(later_three_times));  // the same work is asked once
  const auto start = std::chrono::steady_clock::now();
  for (int cycle = 1; cycle <= 3; ++cycle) {
    engine_cycle(5000);
    EXPECT_EQ(later_runs, cycle);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  engine_cycle(0);
  EXPECT_EQ(later_runs, 3);
}

// Stopping marks every slot for closing and lets queued output go out
// before the sockets close; the listener goes first.
TEST_F(EngineTable, DrainDeliversQueuedBytesBeforeClosing) {
  engine_harness h;
  slot_attach(slot_kind::fresh, record);
  int client = connect_local(h.port);
  int index = accept_one(h, client);
  ASSERT_GT(index, 0);
  std::string big(256 << 10, 'z');
  slot_send(index, big.data(), static_cast<int>(big.size()));
  std::string got;
  std::thread reader([&] {
    char buf[65536];
    for (;;) {
      ssize_t n = recv(client, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
  });
  engine_drain(5000);
  EXPECT_EQ(slot_count_used(), 1);  // the listener, closed by shutdown
  shutdown(client, SHUT_RDWR);      // never leave the reader waiting
  reader.join();
  EXPECT_EQ(got.size(), big.size());
  EXPECT_NE(letters.find('X'), std::string::npos);
  close(client);
}

// A slot deadline is heard once, when its time has come, whatever the
// housekeeping pass does; setting it again replaces it, 0 clears it.
TEST_F(EngineTable, DeadlineIsHeardOnceOnTime) {
  engine_harness h;
  clock_fake_enable(1000, 0);
  slot_attach(slot_kind::fresh, record);
  const int client = connect_local(h.port);
  const int index = accept_one(h, client);
  ASSERT_GT(index, 0);
  struct step {
    uint32_t set_ms;      // deadline set before the step (0: none set)
    uint32_t advance_ms;  // clock moved forward, then one cycle
    int heard;            // 'D' letters heard by the end of the step
  };
  const step steps[] = {{300, 299, 0}, {0, 1, 1},     {0, 5000, 1},
                        {200, 100, 1}, {500, 450, 1}, {0, 50, 2}};
  letters.clear();
  for (const step& s : steps) {
    if (s.set_ms != 0) slot_set_deadline(index, s.set_ms);
    clock_advance(s.advance_ms);
    engine_cycle(0);
    EXPECT_EQ(std::count(letters.begin(), letters.end(), 'D'), s.heard) << letters;
  }
  slot_set_deadline(index, 100);
  slot_set_deadline(index, 0);
  clock_advance(1000);
  engine_cycle(0);
  EXPECT_EQ(std::count(letters.begin(), letters.end(), 'D'), 2) << letters;
  close(client);
}

// A connection we made to our own listener is closed at accept, and the
// slot that made it hears 'L'.
TEST_F(EngineTable, ConnectionFromOurOwnSocketIsClosedAtAccept) {
  engine_harness h;
  slot_attach(slot_kind::chain, record);
  const int out = slot_alloc(0);
  ASSERT_GT(out, 0);
  conn_table[out].kind = slot_kind::chain;
  in_addr loopback{};
  inet_aton("127.0.0.1", &loopback);
  ASSERT_EQ(slot_connect(out, loopback.s_addr, h.port), 1);
  letters.clear();
  EXPECT_TRUE(h.run_until([] { return letters.find('L') != std::string::npos; }, 3000)) << letters;
  EXPECT_EQ(occupied_slots(), 2);  // the listener and the outbound slot
  // A client of its own is taken as usual.
  const int client = connect_local(h.port);
  EXPECT_GT(accept_one(h, client), 0);
  close(client);
}

// A client whose local port one of our outbound sockets also uses (for a
// connection elsewhere) is an ordinary client.
TEST_F(EngineTable, SharedLocalPortToElsewhereIsNoLoop) {
  engine_harness h;
  slot_attach(slot_kind::chain, record);
  slot_attach(slot_kind::fresh, record);
  uint16_t elsewhere_port = 0;
  const int elsewhere = listen_on("127.0.0.1", 0, &elsewhere_port);
  ASSERT_GE(elsewhere, 0);
  const uint16_t shared = free_port("127.0.0.1");
  auto bind_shared = [&](int fd) {
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(shared);
    inet_aton("127.0.0.1", &a.sin_addr);
    return bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  };
  const int out = slot_alloc(0);
  ASSERT_GT(out, 0);
  conn_table[out].kind = slot_kind::chain;
  ASSERT_TRUE(bind_shared(conn_table[out].sock));
  in_addr loopback{};
  inet_aton("127.0.0.1", &loopback);
  ASSERT_EQ(slot_connect(out, loopback.s_addr, elsewhere_port), 1);
  const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_TRUE(bind_shared(client));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(h.port);
  to.sin_addr = loopback;
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  letters.clear();
  EXPECT_GT(accept_one(h, client), 0);
  h.run_for(100);
  EXPECT_EQ(letters.find('L'), std::string::npos) << letters;
  close(client);
  close(elsewhere);
}

namespace {
int32_t work_wait = ENGINE_IDLE;
int work_runs = 0;
}  // namespace

// The loop sleeps until the earliest thing that really waits. With only
// the listener and attached work that has nothing to do it arms no timer;
// work that waits, a slot's tick and a slot deadline each arm one.
TEST_F(EngineTable, IdleLoopArmsNoTimer) {
  clock_fake_enable(1000, 1700000000000ull);
  engine_harness h;
  engine_timers_clear();
  work_wait = ENGINE_IDLE;
  work_runs = 0;
  ASSERT_TRUE(engine_every(
      500, [] { ++work_runs; }, [] { return work_wait; }));
  EXPECT_EQ(engine_sleep_ms(-1), -1);
  EXPECT_EQ(engine_sleep_ms(60000), 60000);
  clock_advance(100000);
  engine_cycle(0);
  EXPECT_EQ(work_runs, 0);
  struct step {
    int32_t wait;  // what the work says
    int sleep;     // the loop's sleep then
  };
  work_wait = 0;
  EXPECT_EQ(engine_sleep_ms(-1), 0);
  engine_cycle(0);
  EXPECT_EQ(work_runs, 1);
  for (const step& s : {step{0, 501}, step{2000, 2000}, step{ENGINE_IDLE, -1}}) {
    work_wait = s.wait;
    EXPECT_EQ(engine_sleep_ms(-1), s.sleep) << "work says " << s.wait;
  }
  // A client: its tick at 10 s, sooner its deadline.
  slot_attach(slot_kind::fresh, record);
  const int client = connect_local(h.port);
  const int index = accept_one(h, client);
  ASSERT_GT(index, 0);
  EXPECT_EQ(engine_sleep_ms(-1), 10000);
  slot_set_deadline(index, 300);
  EXPECT_EQ(engine_sleep_ms(-1), 300);
  clock_advance(300);
  engine_cycle(0);
  EXPECT_EQ(engine_sleep_ms(-1), 9700);
  // Gone again: once its times have passed and found nothing, nothing is
  // armed (the front may have set a longer deadline at accept).
  close(client);
  ASSERT_TRUE(h.run_until([] { return slot_count_used() == 1; }));
  clock_advance(60000);
  engine_cycle(0);
  EXPECT_EQ(engine_sleep_ms(-1), -1);
  EXPECT_EQ(work_runs, 1);
}
