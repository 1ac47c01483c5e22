// Whether checks can run, told to the person running the program: the
// program without a checker says so once at start, a checker set in the
// panel's settings is used at once and reported, and one that stops
// answering is reported too. The real program, merovane-judge on loopback
// port 80, and the panel's own "save_settings".
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/panel_support.h"
#include "tests/support/peers.h"
#include "tests/support/program.h"

namespace {

// Polls the program's log for `text` for at most ms.
bool log_shows(const program_instance& p, const std::string& text, int ms) {
  for (int waited = 0; waited <= ms; waited += 50) {
    if (p.log().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string save_checker(const program_instance& p, const std::string& encoded_url) {
  const std::string body = "type=save_settings&num=0&url_checker=" + encoded_url;
  const int s = connect_to(p.ip, p.port, 3000);
  if (s < 0) return "";
  send_all(s, "POST /" + p.registry_text("root") +
                  "/ajax HTTP/1.1\r\nHost: localhost:" + std::to_string(p.port) +
                  "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  std::string reply = read_http_reply(s, 3000);
  close(s);
  return reply;
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ChecksState, OffAtStartOnOnceSetOffWhenGone) {
  std::unique_ptr<peer_process> judge(start_judge("127.0.19.80"));
  ASSERT_TRUE(judge) << "merovane-judge did not start";
  program_instance program;
  ASSERT_TRUE(program.make_home("127.0.19.10") && program.start({}, 5000));
  ASSERT_TRUE(log_shows(program, "Merovane: checks: reachability only, no checker service set", 3000))
      << program.log();

  ASSERT_NE(save_checker(program, "http%3A%2F%2F127.0.19.80%2F").find("saved:1"),
            std::string::npos);
  ASSERT_TRUE(log_shows(program,
                        "Merovane: checks are on: checker http://127.0.19.80/ answers, public "
                        "address 127.0.0.1",
                        5000))
      << program.log();

  // A checker that does not answer: told once, not at every attempt.
  ASSERT_NE(save_checker(program, "http%3A%2F%2F127.0.19.81%2F").find("saved:1"),
            std::string::npos);
  judge->stop();
  ASSERT_TRUE(
      log_shows(program, "checks: reachability only, checker service http://127.0.19.81/ not reachable", 5000))
      << program.log();
  EXPECT_EQ(count_of(program.log(), "checks: reachability only"), 2u) << program.log();
}

}  // namespace
