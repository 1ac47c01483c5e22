#include "util/socks.h"

#include <cstring>

namespace {

bool name_fits(std::string_view name) {
  return !name.empty() && name.size() <= 255;
}

}  // namespace

size_t socks4_request(const socks_target& to, std::string_view user_id, uint8_t* out,
                      size_t capacity) {
  if (out == nullptr || user_id.size() > 255 || user_id.find('\0') != std::string_view::npos)
    return 0;
  const bool named = to.kind == socks_target::form::name;
  if (!named && to.kind != socks_target::form::ipv4) return 0;
  if (named && (!name_fits(to.name) || to.name.find('\0') != std::string_view::npos)) return 0;
  const size_t n = 8 + user_id.size() + 1 + (named ? to.name.size() + 1 : 0);
  if (capacity < n) return 0;
  out[0] = 4;
  out[1] = 1;
  out[2] = static_cast<uint8_t>(to.port >> 8);
  out[3] = static_cast<uint8_t>(to.port & 0xFF);
  const uint8_t invalid_ip[4] = {0, 0, 0, 1};  // 0.0.0.1: the name follows the user id
  std::memcpy(out + 4, named ? static_cast<const void*>(invalid_ip) : &to.v4, 4);
  std::memcpy(out + 8, user_id.data(), user_id.size());
  size_t at = 8 + user_id.size();
  out[at++] = 0;
  if (named) {
    std::memcpy(out + at, to.name.data(), to.name.size());
    at += to.name.size();
    out[at++] = 0;
  }
  return at;
}

size_t socks5_request(const socks_target& to, uint8_t* out, size_t capacity) {
  size_t address = 0;
  if (to.kind == socks_target::form::ipv4) address = 4;
  if (to.kind == socks_target::form::ipv6) address = 16;
  if (to.kind == socks_target::form::name) address = name_fits(to.name) ? 1 + to.name.size() : 0;
  const size_t n = 4 + address + 2;
  if (out == nullptr || address == 0 || capacity < n) return 0;
  out[0] = 5;
  out[1] = 1;
  out[2] = 0;
  if (to.kind == socks_target::form::ipv4) {
    out[3] = 1;
    std::memcpy(out + 4, &to.v4, 4);
  } else if (to.kind == socks_target::form::ipv6) {
    out[3] = 4;
    std::memcpy(out + 4, to.v6, 16);
  } else {
    out[3] = 3;
    out[4] = static_cast<uint8_t>(to.name.size());
    std::memcpy(out + 5, to.name.data(), to.name.size());
  }
  out[n - 2] = static_cast<uint8_t>(to.port >> 8);
  out[n - 1] = static_cast<uint8_t>(to.port & 0xFF);
  return n;
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
