// The flow channel on a running engine: opened by a real client, kept
// alive by the housekeeping pass, reached by broadcasts.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "engine/loop.h"
#include "engine/slot.h"
#include "log/push.h"
#include "platform/clock.h"
#include "tests/support/engine_harness.h"
#include "tests/support/panel_support.h"

namespace {

constexpr char ROOT[] = "aa00bb11cc22dd33ee44ff5566778899";

// Reads what arrives on fd while the engine runs, until `until` is in it.
std::string read_while_running(engine_harness& h, int fd, const std::string& until) {
  std::string got;
  h.run_until(
      [&] {
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 0) > 0) {
          char buf[4096];
          ssize_t n = recv(fd, buf, sizeof buf, 0);
          if (n <= 0) return true;
          got.append(buf, static_cast<size_t>(n));
        }
        return got.find(until) != std::string::npos;
      },
      3000);
  return got;
}

TEST(PanelFlow, ChannelOpensAndReceivesKeepAliveAndBroadcasts) {
  panel_test_home(ROOT);
  clock_fake_enable(100000, 1'600'000'000'000ull);
  {
    engine_harness h;
    int fd = connect_local(h.port);
    ASSERT_GE(fd, 0);
    std::string request = std::string("GET /") + ROOT +
                          "/flow.html HTTP/1.1\r\nHost: localhost:" + std::to_string(h.port) +
                          "\r\n\r\n";
    ASSERT_TRUE(send_all(fd, request.data(), request.size()));
    std::string opened = read_while_running(h, fd, "</script>\n");
    EXPECT_EQ(opened.rfind("HTTP/1.1 200 Ok\r\n", 0), 0u) << opened;
    EXPECT_NE(opened.find("I(0,\"0.0.0.0\");</script>\n"), std::string::npos) << opened;
    int index = slot_of_client(fd);
    ASSERT_GE(index, 0);
    EXPECT_EQ(conn_table[index].kind, slot_kind::web_push);
    EXPECT_EQ(panel_push_time, 100000u);

    // Later input on the channel is not served.
    std::string again = std::string("GET /") + ROOT + "/index.html HTTP/1.1\r\n\r\n";
    ASSERT_TRUE(send_all(fd, again.data(), again.size()));
    clock_advance(9750);
    engine_housekeeping();
    std::string pushed = read_while_running(h, fd, "P();</script>\n");
    EXPECT_EQ(pushed, "<script type=\"text/javascript\">P();</script>\n");

    const char line[] = "<script type=\"text/javascript\">C([1]);</script>\n";
    panel_broadcast(line, static_cast<int>(strlen(line)));
    EXPECT_EQ(read_while_running(h, fd, "C([1])"), line);
    close(fd);
  }
  clock_fake_disable();
}

}  // namespace
