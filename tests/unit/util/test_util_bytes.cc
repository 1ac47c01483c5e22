// The SOCKS requests sent to a proxy and the ASCII character classes.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "util/ascii.h"
#include "util/socks.h"

namespace {

uint32_t stored_addr(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

TEST(SocksRequest, BytesOnTheWire) {
  const auto v4 = socks4_connect(stored_addr("192.0.2.7"), 8080);
  const std::array<uint8_t, 9> want4 = {4, 1, 0x1F, 0x90, 192, 0, 2, 7, 0};
  EXPECT_EQ(v4, want4);
  const auto v5 = socks5_connect(stored_addr("192.0.2.7"), 80);
  const std::array<uint8_t, 10> want5 = {5, 1, 0, 1, 192, 0, 2, 7, 0, 80};
  EXPECT_EQ(v5, want5);
  EXPECT_EQ(socks5_connect(0, 65535)[8], 0xFF);
  EXPECT_EQ(socks5_connect(0, 65535)[9], 0xFF);
  const std::array<uint8_t, 3> greeting = {5, 1, 0};
  EXPECT_EQ(SOCKS5_GREETING, greeting);
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
