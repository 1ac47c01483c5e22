// Clients that never finish what they started, driven through the engine in
// this process with the test clock: a request head cut off and left quiet,
// and a refused client that goes on sending.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "engine/loop.h"
#include "engine/slot.h"
#include "platform/clock.h"
#include "tests/support/engine_harness.h"

namespace {

class FaultEngine : public ::testing::Test {
 protected:
  void SetUp() override { clock_fake_enable(1000, 1700000000000ull); }
  void TearDown() override { clock_fake_disable(); }
};

bool closed_by_peer(int fd) {
  char byte;
  return recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

TEST_F(FaultEngine, QuietHalfRequestHeadIsClosedAfterThirtySeconds) {
  engine_harness h;
  const int client = connect_local(h.port);
  ASSERT_GE(client, 0);
  const std::string half = "GET http://example.invalid/ HTTP/1.1\r\nHost: exa";
  ASSERT_TRUE(send_all(client, half.data(), half.size()));
  ASSERT_TRUE(h.run_until([&] {
    const int index = slot_of_client(client);
    return index > 0 && conn_table[index].in.len == half.size();
  }));
  const int index = slot_of_client(client);
  EXPECT_LT(static_cast<uint16_t>(conn_table[index].kind), 5);  // still waiting for the head
  // Ticks come every 10 s and hand the waiting input over again: no sign of
  // life, so the slot goes 30 s after the last byte.
  for (int second = 0; second < 29; ++second) {
    clock_advance(1000);
    engine_housekeeping();
    h.run_for(2);
  }
  EXPECT_FALSE(closed_by_peer(client));
  clock_advance(1001);
  EXPECT_TRUE(h.run_until([&] { return closed_by_peer(client); }, 2000));
  EXPECT_TRUE(h.run_until([] { return occupied_slots() == 1; }, 2000));  // the listener
  close(client);
}

// Sends for as long as the engine takes the bytes (it runs between sends);
// the bytes taken, at most limit.
size_t feed(engine_harness& h, int fd, const std::string& bytes, size_t limit) {
  size_t sent = 0;
  for (int round = 0; round < 5000 && sent < limit; ++round) {
    const size_t at = sent % bytes.size();  // a repeated text goes on where it stopped
    const ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) sent += static_cast<size_t>(n);
    h.run_for(1);
  }
  return sent;
}

TEST_F(FaultEngine, RefusedClientThatKeepsSendingIsDrainedAndItsCloseSeen) {
  engine_harness h;
  const int client = connect_local(h.port);
  ASSERT_GE(client, 0);
  // A request head that passes 64 KiB without its end is refused.
  std::string head = "GET http://example.invalid/ HTTP/1.1\r\n";
  while (head.size() < 70000) head += "X-Pad: " + std::string(200, 'p') + "\r\n";
  ASSERT_EQ(feed(h, client, head, head.size()), head.size());
  ASSERT_TRUE(h.run_until([&] {
    const int index = slot_of_client(client);
    return index > 0 && conn_table[index].kind == slot_kind::error;
  }));
  const int index = slot_of_client(client);
  // Four MiB more than the input ever buffers: all taken, nothing piles up.
  const std::string chunk(65536, 'x');
  EXPECT_EQ(feed(h, client, chunk, 5u << 20), 5u << 20);
  EXPECT_LT(conn_table[index].in.len, 1u << 20);
  // The client's close is noticed and the slot goes (at the latest after
  // its 2 s of quiet).
  shutdown(client, SHUT_WR);
  h.run_until([&] {
    return occupied_slots() == 1 || (conn_table[index].flags & SLOT_CLOSE_REQUESTED) != 0;
  });
  clock_advance(2001);
  engine_housekeeping();
  EXPECT_EQ(occupied_slots(), 1);
  close(client);
}

}  // namespace
