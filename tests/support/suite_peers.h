// A test suite with a local origin and one microsocks, started once for the
// whole suite and stopped after it. microsocks stays null when it cannot
// start (the tests assert on it, naming the scratch folder).
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/peers.h"

class origin_socks_suite : public ::testing::Test {
 protected:
  // From the suite's SetUpTestSuite.
  static void start_peers(const char* origin_ip, const char* socks_ip);
  static void TearDownTestSuite();

  static std::unique_ptr<origin_server> origin;
  static std::unique_ptr<peer_process> microsocks;
};
