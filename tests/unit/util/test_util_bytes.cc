// The SOCKS requests sent to a proxy and the ASCII character classes.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "util/ascii.h"
#include "util/socks.h"

namespace {

uint32_t stored_addr(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

std::basic_string<uint8_t> bytes(const uint8_t* p, size_t n) {
  return std::basic_string<uint8_t>(p, n);
}
std::basic_string<uint8_t> bytes(std::string_view s) {
  return std::basic_string<uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

TEST(SocksRequest, EveryAddressFormOnTheWire) {
  uint8_t out[SOCKS_REQUEST_MAX];
  const socks_target v4 = socks_ipv4(stored_addr("192.0.2.7"), 8080);
  EXPECT_EQ(bytes(out, socks4_request(v4, "", out, sizeof out)),
            bytes(std::string_view("\x04\x01\x1f\x90\xc0\x00\x02\x07\x00", 9)));
  EXPECT_EQ(bytes(out, socks4_request(v4, "alice", out, sizeof out)),
            bytes(std::string_view("\x04\x01\x1f\x90\xc0\x00\x02\x07"
                                   "alice\x00",
                                   14)));
  EXPECT_EQ(bytes(out, socks5_request(socks_ipv4(stored_addr("192.0.2.7"), 80), out, sizeof out)),
            bytes(std::string_view("\x05\x01\x00\x01\xc0\x00\x02\x07\x00\x50", 10)));
  EXPECT_EQ(bytes(out, socks5_request(socks_ipv4(0, 65535), out, sizeof out)).substr(8),
            bytes(std::string_view("\xff\xff", 2)));

  socks_target name{};
  name.kind = socks_target::form::name;
  name.name = "site.example";
  name.port = 8080;
  EXPECT_EQ(bytes(out, socks4_request(name, "me", out, sizeof out)),
            bytes(std::string_view("\x04\x01\x1f\x90\x00\x00\x00\x01me\x00site.example\x00", 24)));
  EXPECT_EQ(bytes(out, socks5_request(name, out, sizeof out)),
            bytes(std::string_view("\x05\x01\x00\x03\x0csite.example\x1f\x90", 19)));

  socks_target v6{};
  v6.kind = socks_target::form::ipv6;
  inet_pton(AF_INET6, "2001:db8::7", v6.v6);
  v6.port = 443;
  EXPECT_EQ(bytes(out, socks5_request(v6, out, sizeof out)),
            bytes(std::string_view("\x05\x01\x00\x04\x20\x01\x0d\xb8\0\0\0\0\0\0\0\0\0\0\0\x07"
                                   "\x01\xbb",
                                   22)));
  EXPECT_EQ(socks4_request(v6, "", out, sizeof out), 0u) << "SOCKS4 cannot carry IPv6";

  const std::array<uint8_t, 3> greeting = {5, 1, 0};
  EXPECT_EQ(SOCKS5_GREETING, greeting);
}

// Nothing is written past the caller's room, and what a request cannot
// carry is refused rather than cut.
TEST(SocksRequest, RefusesWhatDoesNotFit) {
  uint8_t out[SOCKS_REQUEST_MAX];
  socks_target name{};
  name.kind = socks_target::form::name;
  const std::string longest(255, 'n'), too_long(256, 'n');
  name.name = longest;
  EXPECT_EQ(socks5_request(name, out, sizeof out), 4u + 1 + 255 + 2);
  EXPECT_EQ(socks4_request(name, std::string(255, 'u'), out, sizeof out), SOCKS_REQUEST_MAX);
  EXPECT_EQ(socks5_request(name, out, 4 + 1 + 255 + 1), 0u);
  name.name = too_long;
  EXPECT_EQ(socks5_request(name, out, sizeof out), 0u);
  EXPECT_EQ(socks4_request(name, "", out, sizeof out), 0u);
  name.name = "";
  EXPECT_EQ(socks5_request(name, out, sizeof out), 0u);
  name.name = std::string_view("a\0b", 3);
  EXPECT_EQ(socks4_request(name, "", out, sizeof out), 0u) << "a zero byte would end the name";
  const socks_target v4 = socks_ipv4(1, 1);
  EXPECT_EQ(socks4_request(v4, std::string_view("u\0v", 3), out, sizeof out), 0u);
  EXPECT_EQ(socks4_request(v4, std::string(256, 'u'), out, sizeof out), 0u);
  EXPECT_EQ(socks4_request(v4, "", out, 8), 0u);
  EXPECT_EQ(socks5_request(socks_target{}, out, sizeof out), 0u);
}

TEST(SocksReply, GrantedAndSucceeded) {
  const uint8_t granted[] = {0, 0x5A}, refused[] = {0, 0x5B}, wrong_version[] = {4, 0x5A};
  EXPECT_TRUE(socks4_granted(granted));
  EXPECT_FALSE(socks4_granted(refused));
  EXPECT_FALSE(socks4_granted(wrong_version));
  const uint8_t ok[] = {5, 0}, auth[] = {5, 0xFF}, v4[] = {4, 0};
  EXPECT_TRUE(socks5_succeeded(ok));
  EXPECT_FALSE(socks5_succeeded(auth));
  EXPECT_FALSE(socks5_succeeded(v4));
}

TEST(Ascii, ClassesOverEveryByte) {
  for (int c = 0; c < 256; ++c) {
    const auto u = static_cast<unsigned char>(c);
    const bool digit = c >= '0' && c <= '9';
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    EXPECT_EQ(ascii_is_digit(u), digit) << c;
    EXPECT_EQ(ascii_is_letter(u), letter) << c;
    EXPECT_EQ(ascii_is_name_char(u), digit || letter || c == '.' || c == '-' || c == '_') << c;
    EXPECT_EQ(ascii_is_blank(u), c == ' ' || c == '\t' || c == '\r' || c == '\n') << c;
    EXPECT_EQ(ascii_upper(u), c >= 'a' && c <= 'z' ? c - 32 : c) << c;
    EXPECT_EQ(ascii_lower(u), c >= 'A' && c <= 'Z' ? c + 32 : c) << c;
    const int hex = digit                    ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
    EXPECT_EQ(ascii_hex_value(u), hex) << c;
  }
  // A plain char above 127 is negative; it still belongs to no class.
  const char high = static_cast<char>(0xC9);
  EXPECT_FALSE(ascii_is_letter(high));
  EXPECT_EQ(ascii_lower(high), 0xC9);
}

TEST(Ascii, EqualFolded) {
  const uint8_t data[] = {'C', 'o', 'N', 'n', 0xE9};
  EXPECT_TRUE(ascii_equal_folded(data, "conn", 4));
  EXPECT_TRUE(ascii_equal_folded(data, "CONN", 4));
  EXPECT_FALSE(ascii_equal_folded(data, "conx", 4));
  EXPECT_FALSE(ascii_equal_folded(data, "conn\xc9", 5));  // only ASCII letters fold
  EXPECT_TRUE(ascii_equal_folded(data, "", 0));
}

}  // namespace
