#include "tests/support/suite_peers.h"

#include "tests/support/net.h"

std::unique_ptr<origin_server> origin_socks_suite::origin;
std::unique_ptr<peer_process> origin_socks_suite::microsocks;

void origin_socks_suite::start_peers(const char* origin_ip, const char* socks_ip) {
  origin = std::make_unique<origin_server>();
  ASSERT_TRUE(origin->start(origin_ip));
  microsocks.reset(start_microsocks(socks_ip, free_port(socks_ip)));
}

void origin_socks_suite::TearDownTestSuite() {
  microsocks.reset();
  origin.reset();
}
