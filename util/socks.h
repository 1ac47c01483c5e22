// SOCKS requests this system sends to a proxy, byte for byte: the SOCKS4
// and 4a CONNECT with a user id, the SOCKS5 greetings, the user/password
// sign-in and the SOCKS5 CONNECT to an IPv4 address, a name or an IPv6
// address; and the two checks of a proxy's reply that say it granted the
// request.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr size_t SOCKS4_REPLY_SIZE = 8;
constexpr size_t SOCKS5_GREETING_REPLY_SIZE = 2;

constexpr std::array<uint8_t, 3> SOCKS5_GREETING = {5, 1, 0};
// The greeting that also offers user/password (method 2).
constexpr std::array<uint8_t, 4> SOCKS5_GREETING_WITH_LOGIN = {5, 2, 0, 2};
// Room for the longest user/password sign-in.
constexpr size_t SOCKS5_LOGIN_MAX = 3 + 2 * 255;

// Where a CONNECT request asks the proxy to go: an IPv4 address (as a hop
// stores it, network byte order in memory), a name of 1 to 255 bytes, or an
// IPv6 address; the port in host order.
struct socks_target {
  enum class form : uint8_t { none, ipv4, name, ipv6 } kind;
  uint32_t v4;
  uint8_t v6[16];
  std::string_view name;
  uint16_t port;
};
constexpr socks_target socks_ipv4(uint32_t addr, uint16_t port) {
  return {socks_target::form::ipv4, addr, {}, {}, port};
}

// Room for the longest request: SOCKS4a with a 255-byte user id and name.
constexpr size_t SOCKS_REQUEST_MAX = 8 + 256 + 256;

// The SOCKS4 CONNECT (the 4a form for a name) with `user_id` into out; its
// length, 0 when the target cannot be carried in SOCKS4 (IPv6, none), the
// user id holds a zero byte or is longer than 255 bytes, or out is too
// small.
size_t socks4_request(const socks_target& to, std::string_view user_id, uint8_t* out,
                      size_t capacity);
// The SOCKS5 CONNECT with address type 1, 3 or 4 into out; its length, 0
// when the target is none or out is too small.
size_t socks5_request(const socks_target& to, uint8_t* out, size_t capacity);

// The RFC 1929 user/password sign-in into out; its length, 0 when the user
// or the password is longer than 255 bytes or out is too small.
size_t socks5_login(std::string_view user, std::string_view pass, uint8_t* out, size_t capacity);

// The first two bytes of a SOCKS4 reply say "granted" (0, 0x5A); the caller
// has at least two bytes.
bool socks4_granted(const uint8_t* reply);
// The first two bytes of a SOCKS5 reply (to the greeting or to CONNECT) are
// version 5 and success; the caller has at least two bytes.
bool socks5_succeeded(const uint8_t* reply);
