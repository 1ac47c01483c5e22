#include "util/netrange.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace {

constexpr uint8_t V4_MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

size_t address_size(uint8_t family) {
  return family == 4 ? 4 : family == 6 ? 16 : 0;
}

bool is_separator(char c) {
  return c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n';
}

}  // namespace

net_address net_address_of(const sockaddr* address) {
  net_address out;
  if (address == nullptr) return out;
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    out.family = 4;
    std::memcpy(out.bytes, &v4->sin_addr, 4);
  } else if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    const auto* b = reinterpret_cast<const uint8_t*>(&v6->sin6_addr);
    if (std::memcmp(b, V4_MAPPED_PREFIX, 12) == 0) {
      out.family = 4;
      std::memcpy(out.bytes, b + 12, 4);
    } else {
      out.family = 6;
      std::memcpy(out.bytes, b, 16);
    }
  }
  return out;
}

net_address net_address_v4(uint32_t network_order) {
  net_address out;
  out.family = 4;
  std::memcpy(out.bytes, &network_order, 4);
  return out;
}

net_address net_address_parse(std::string_view text) {
  net_address out;
  char buffer[INET6_ADDRSTRLEN + 1];
  if (text.empty() || text.size() >= sizeof buffer) return out;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  if (inet_pton(AF_INET, buffer, out.bytes) == 1) {
    out.family = 4;
  } else if (inet_pton(AF_INET6, buffer, out.bytes) == 1) {
    out.family = 6;
    if (std::memcmp(out.bytes, V4_MAPPED_PREFIX, 12) == 0) {
      std::memmove(out.bytes, out.bytes + 12, 4);
      std::memset(out.bytes + 4, 0, 12);
      out.family = 4;
    }
  }
  return out;
}

bool net_range_parse(std::string_view text, net_range& out) {
  const size_t slash = text.find('/');
  const net_address base = net_address_parse(text.substr(0, slash));
  if (base.family == 0) return false;
  const unsigned limit = static_cast<unsigned>(address_size(base.family) * 8);
  unsigned prefix = limit;
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return false;
    prefix = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      prefix = prefix * 10 + static_cast<unsigned>(c - '0');
    }
    if (prefix > limit) return false;
  }
  out.base = base;
  out.prefix = static_cast<uint8_t>(prefix);
  for (unsigned bit = prefix; bit < limit; ++bit)
    out.base.bytes[bit / 8] &= static_cast<uint8_t>(~(0x80u >> (bit % 8)));
  return true;
}

bool net_range_contains(const net_range& range, const net_address& address) {
  if (range.base.family == 0 || range.base.family != address.family) return false;
  const unsigned whole = range.prefix / 8;
  if (std::memcmp(range.base.bytes, address.bytes, whole) != 0) return false;
  const unsigned rest = range.prefix % 8;
  if (rest == 0) return true;
  const uint8_t mask = static_cast<uint8_t>(0xff00u >> rest);
  return (address.bytes[whole] & mask) == range.base.bytes[whole];
}

int net_range_list_parse(std::string_view text, std::span<net_range> out, std::string_view& bad) {
  size_t count = 0;
  size_t at = 0;
  while (at < text.size()) {
    if (is_separator(text[at])) {
      ++at;
      continue;
    }
    size_t end = at;
    while (end < text.size() && !is_separator(text[end])) ++end;
    const std::string_view entry = text.substr(at, end - at);
    net_range range;
    if (count >= out.size() || !net_range_parse(entry, range)) {
      bad = entry;
      return -1;
    }
    out[count++] = range;
    at = end;
  }
  return static_cast<int>(count);
}

bool net_range_list_contains(std::span<const net_range> list, const net_address& address) {
  for (const net_range& range : list)
    if (net_range_contains(range, address)) return true;
  return false;
}

size_t net_address_text(const net_address& address, char* out, size_t capacity) {
  char buffer[INET6_ADDRSTRLEN];
  const int family = address.family == 4 ? AF_INET : address.family == 6 ? AF_INET6 : 0;
  if (family == 0 || inet_ntop(family, address.bytes, buffer, sizeof buffer) == nullptr) return 0;
  const size_t length = std::strlen(buffer);
  if (length + 1 > capacity) return 0;
  std::memcpy(out, buffer, length + 1);
  return length;
}
