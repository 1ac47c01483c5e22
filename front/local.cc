// This machine's own addresses: what its interfaces hold (read again
// every 10 s), which literal hosts and names reach it, and where our own
// listener answers. Nothing here looks a name up.
#include "front/local.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "engine/slot.h"
#include "platform/clock.h"
#include "platform/resolve.h"

namespace {

constexpr int OWN_ADDRESS_MAX = 32;
constexpr int OWN_ADDRESS6_MAX = 16;
constexpr uint32_t LOOPBACK_NET = 0x0100007F;  // 127.0.0.1 in network byte order
// Interfaces come and go (a new lease, a VPN): the list is read again when
// it is older than this.
constexpr uint32_t OWN_ADDRESS_REFRESH_MS = 10000;

uint32_t own_list[OWN_ADDRESS_MAX + 1];
in6_addr own_list6[OWN_ADDRESS6_MAX];
int own6_count = 0;
bool own_built = false;
uint32_t own_built_at = 0;

bool is_loopback_net(uint32_t addr) {
  return (addr & 0xFF) == 127;  // first byte of the network-order address
}

// The IPv4 address an IPv6 address stands for on this machine: the mapped
// address, 127.0.0.1 for ::1 and for an address of one of our interfaces,
// 0 for any other.
uint32_t ipv4_for(const in6_addr& a) {
  if (IN6_IS_ADDR_V4MAPPED(&a)) {
    uint32_t v4 = 0;
    memcpy(&v4, a.s6_addr + 12, 4);
    return v4;
  }
  if (IN6_IS_ADDR_LOOPBACK(&a)) return LOOPBACK_NET;
  own_addresses();
  for (int i = 0; i < own6_count; ++i)
    if (memcmp(&own_list6[i], &a, sizeof a) == 0) return LOOPBACK_NET;
  return 0;
}

}  // namespace

namespace {

void own_add(uint32_t addr) {
  int n = 0;
  while (n < OWN_ADDRESS_MAX && own_list[n] != 0) {
    if (own_list[n] == addr) return;
    ++n;
  }
  if (n < OWN_ADDRESS_MAX && addr != 0) own_list[n] = addr;
}

void own_add6(const in6_addr& a) {
  uint32_t v4 = 0;
  if (IN6_IS_ADDR_V4MAPPED(&a)) {
    memcpy(&v4, a.s6_addr + 12, 4);
    own_add(v4);
  } else if (own6_count < OWN_ADDRESS6_MAX) {
    own_list6[own6_count++] = a;
  }
}

}  // namespace

// An address that reaches this machine and that something may listen on:
// 127.0.0.1, 0.0.0.0, the listener's own address, any interface address,
// and all of 127.0.0.0/8 while the listener takes every interface.
bool address_is_local(uint32_t addr) {
  if (addr == LOOPBACK_NET || addr == 0) return true;
  if (listen_address != 0 && addr == listen_address) return true;
  if (listen_address == 0 && is_loopback_net(addr)) return true;
  for (const uint32_t* o = own_addresses(); *o != 0; ++o)
    if (*o == addr) return true;
  return false;
}

namespace {

// An address at which our own listener answers.
bool address_is_listener(uint32_t addr) {
  if (listen_address == 0) return address_is_local(addr);
  return addr == listen_address || addr == 0;
}
}  // namespace

const uint32_t* own_addresses() {
  if (own_built && tick_now() - own_built_at < OWN_ADDRESS_REFRESH_MS) return own_list;
  memset(own_list, 0, sizeof own_list);
  own6_count = 0;
  own_list[0] = LOOPBACK_NET;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) == 0) {
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
      if (i->ifa_addr == nullptr) continue;
      if (i->ifa_addr->sa_family == AF_INET)
        own_add(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
      else if (i->ifa_addr->sa_family == AF_INET6)
        own_add6(reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr);
    }
    freeifaddrs(list);
  }
  own_built = true;
  own_built_at = tick_now();
  return own_list;
}

void own_addresses_forget() {
  own_built = false;
  own6_count = 0;
  memset(own_list, 0, sizeof own_list);
}

namespace {

// An IPv6 address of this machine: ::1, a mapped own IPv4 address, or an
// address of one of its interfaces.
bool is_local_ipv6(const uint8_t (&addr)[16]) {
  in6_addr a{};
  memcpy(&a, addr, sizeof addr);
  if (IN6_IS_ADDR_UNSPECIFIED(&a)) return true;
  if (IN6_IS_ADDR_V4MAPPED(&a)) {
    uint32_t v4 = 0;
    memcpy(&v4, addr + 12, 4);
    return v4 == 0 || address_is_local(v4);
  }
  return ipv4_for(a) != 0;  // ::1 or an address of one of our interfaces
}

}  // namespace

// This machine's own host name, compared as text.
bool is_own_name(const char* host) {
  char name[256];
  if (gethostname(name, sizeof name) != 0) return false;
  name[sizeof name - 1] = 0;
  return name[0] != 0 && strcasecmp(name, host) == 0;
}

int is_local_host(const char* host) {
  if (host == nullptr || host[0] == 0) return 0;
  if (is_localhost_name(host) || is_own_name(host)) return 1;
  uint32_t v4 = 0;
  if (ipv4_literal(host, &v4)) return address_is_local(v4) ? 1 : 0;
  uint8_t v6[16];
  if (ipv6_literal(host, v6)) return is_local_ipv6(v6) ? 1 : 0;
  // Other names are not looked up here: while names are left to the last
  // proxy nobody here resolves them, and otherwise the chain's lookup (off
  // the engine thread) tests the address it finds.
  return 0;
}

int is_own_listener(const char* host, uint16_t port) {
  if (host == nullptr || host[0] == 0 || port != listen_port) return 0;
  uint32_t v4 = 0;
  if (is_localhost_name(host)) return address_is_listener(LOOPBACK_NET) ? 1 : 0;
  if (ipv4_literal(host, &v4)) return address_is_listener(v4) ? 1 : 0;
  uint8_t v6[16];
  if (ipv6_literal(host, v6)) {
    in6_addr a{};
    memcpy(&a, v6, sizeof v6);
    const uint32_t mapped = ipv4_for(a);
    return mapped != 0 && address_is_listener(mapped) ? 1 : 0;
  }
  return 0;
}
