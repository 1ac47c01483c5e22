// SOCKS requests this system sends to a proxy, byte for byte: the SOCKS4
// CONNECT with an empty user id, the SOCKS5 greeting that offers no
// authentication and the SOCKS5 CONNECT to an IPv4 address; and the two
// checks of a proxy's reply that say it granted the request.
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

// addr is an IPv4 address as a hop stores it (network byte order in
// memory); port is in host order.
std::array<uint8_t, 9> socks4_connect(uint32_t addr, uint16_t port);
std::array<uint8_t, 10> socks5_connect(uint32_t addr, uint16_t port);

// The RFC 1929 user/password sign-in into out; its length, 0 when the user
// or the password is longer than 255 bytes or out is too small.
size_t socks5_login(std::string_view user, std::string_view pass, uint8_t* out, size_t capacity);

// The first two bytes of a SOCKS4 reply say "granted" (0, 0x5A); the caller
// has at least two bytes.
bool socks4_granted(const uint8_t* reply);
// The first two bytes of a SOCKS5 reply (to the greeting or to CONNECT) are
// version 5 and success; the caller has at least two bytes.
bool socks5_succeeded(const uint8_t* reply);
