#include "util/socks.h"

#include <cstring>

std::array<uint8_t, 9> socks4_connect(uint32_t addr, uint16_t port) {
  std::array<uint8_t, 9> msg = {4, 1, static_cast<uint8_t>(port >> 8),
                                static_cast<uint8_t>(port & 0xFF)};
  std::memcpy(msg.data() + 4, &addr, 4);
  msg[8] = 0;
  return msg;
}

std::array<uint8_t, 10> socks5_connect(uint32_t addr, uint16_t port) {
  std::array<uint8_t, 10> msg = {5, 1, 0, 1};
  std::memcpy(msg.data() + 4, &addr, 4);
  msg[8] = static_cast<uint8_t>(port >> 8);
  msg[9] = static_cast<uint8_t>(port & 0xFF);
  return msg;
}

size_t socks5_login(std::string_view user, std::string_view pass, uint8_t* out, size_t capacity) {
  const size_t n = 3 + user.size() + pass.size();
  if (user.size() > 255 || pass.size() > 255 || out == nullptr || capacity < n) return 0;
  out[0] = 1;
  out[1] = static_cast<uint8_t>(user.size());
  std::memcpy(out + 2, user.data(), user.size());
  out[2 + user.size()] = static_cast<uint8_t>(pass.size());
  std::memcpy(out + 3 + user.size(), pass.data(), pass.size());
  return n;
}

bool socks4_granted(const uint8_t* reply) {
  return reply[0] == 0 && reply[1] == 0x5A;
}

bool socks5_succeeded(const uint8_t* reply) {
  return reply[0] == 5 && reply[1] == 0;
}
