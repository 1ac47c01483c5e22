// Address ranges as written in settings, and matching a socket's address.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <string_view>

#include "util/netrange.h"

namespace {

net_address from_socket6(const char* text) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  inet_pton(AF_INET6, text, &a.sin6_addr);
  return net_address_of(reinterpret_cast<const sockaddr*>(&a));
}

TEST(NetRange, ParseAndMatchTable) {
  struct {
    const char* range;
    const char* address;
    bool inside;
  } const cases[] = {
      {"192.168.0.0/16", "192.168.44.1", true},
      {"192.168.0.0/16", "192.169.0.1", false},
      {"172.16.0.0/12", "172.31.255.255", true},
      {"172.16.0.0/12", "172.32.0.1", false},
      {"10.1.2.3", "10.1.2.3", true},
      {"10.1.2.3", "10.1.2.4", false},
      {"10.1.2.3/0", "203.0.113.9", true},
      {"10.9.9.9/8", "10.0.0.1", true},
      {"fd00::/8", "fd12::1", true},
      {"fc00::/7", "fd12::1", true},
      {"fe80::/10", "febf::1", true},
      {"fe80::/10", "fec0::1", false},
      {"::1", "::1", true},
      {"::1", "127.0.0.1", false},
      {"127.0.0.0/8", "::ffff:127.0.0.5", true},
      {"2001:db8::/33", "2001:db8:8000::", false},
  };
  for (const auto& c : cases) {
    net_range range;
    ASSERT_TRUE(net_range_parse(c.range, range)) << c.range;
    EXPECT_EQ(net_range_contains(range, net_address_parse(c.address)), c.inside)
        << c.range << " " << c.address;
  }
}

TEST(NetRange, RefusesWhatIsNotARange) {
  net_range range;
  for (const char* bad : {"", "/8", "10.0.0.0/", "10.0.0.0/33", "::/129", "10.0.0.0/-1",
                          "10.0.0.0/8x", "host.example", "[::1]", "10.0.0.0/0008", "1.2.3"})
    EXPECT_FALSE(net_range_parse(bad, range)) << bad;
}

TEST(NetRange, SocketAddressesAndLists) {
  EXPECT_EQ(from_socket6("::ffff:10.0.0.7").family, 4);
  EXPECT_EQ(from_socket6("fe80::7").family, 6);
  net_range list[3];
  std::string_view bad;
  EXPECT_EQ(net_range_list_parse(" 127.0.0.0/8,::1\n10.0.0.0/8 ", list, bad), 3);
  EXPECT_TRUE(net_range_list_contains(list, from_socket6("::ffff:10.0.0.7")));
  EXPECT_TRUE(net_range_list_contains(list, from_socket6("::1")));
  EXPECT_FALSE(net_range_list_contains(list, from_socket6("fe80::7")));
  EXPECT_EQ(net_range_list_parse("127.0.0.1 nonsense ::1", list, bad), -1);
  EXPECT_EQ(bad, "nonsense");
  EXPECT_EQ(net_range_list_parse("1.1.1.1 2.2.2.2 3.3.3.3 4.4.4.4", list, bad), -1);
  EXPECT_EQ(bad, "4.4.4.4");
  char text[46];
  EXPECT_EQ(
      std::string_view(text, net_address_text(net_address_parse("fe80::0:1"), text, sizeof text)),
      "fe80::1");
}

}  // namespace
