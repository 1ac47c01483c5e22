// Addresses and address ranges as people write them in settings: an IPv4
// or IPv6 address with an optional prefix length ("192.168.0.0/16",
// "fd00::/8", "127.0.0.1"), parsed without a lookup and matched against an
// address a socket reports. An IPv4 address seen through an IPv6 socket
// (::ffff:a.b.c.d) matches the IPv4 ranges.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

struct sockaddr;

// One address in network byte order: 4 bytes used for IPv4, 16 for IPv6.
struct net_address {
  uint8_t family = 0;  // 4, 6, or 0 for none
  uint8_t bytes[16] = {};
};

struct net_range {
  net_address base;    // host bits already cleared
  uint8_t prefix = 0;  // 0..32 or 0..128
};

// The address a socket reports (AF_INET or AF_INET6); a mapped IPv4
// address comes back as family 4. Family 0 for anything else.
net_address net_address_of(const sockaddr* address);
// An IPv4 address held as in a hop record (network order in memory).
net_address net_address_v4(uint32_t network_order);
// A literal address, no brackets, no port; family 0 when text is not one.
net_address net_address_parse(std::string_view text);

// "ADDRESS" or "ADDRESS/BITS"; false when text is not one, or the prefix is
// out of range for the family.
bool net_range_parse(std::string_view text, net_range& out);
bool net_range_contains(const net_range& range, const net_address& address);

// A list of ranges separated by blanks, commas or line ends into out.
// Returns the number parsed; on a bad entry returns -1 and sets bad to it.
// More entries than out holds is an error too (bad is the first extra).
int net_range_list_parse(std::string_view text, std::span<net_range> out, std::string_view& bad);
bool net_range_list_contains(std::span<const net_range> list, const net_address& address);

// The address as text ("10.0.0.1", "fe80::1"); length written, 0 when it
// does not fit. capacity of 46 always does.
size_t net_address_text(const net_address& address, char* out, size_t capacity);
