#include "platform/resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

namespace {

int resolve_with_getaddrinfo(const char* host, uint32_t* addrs, int max) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) return 0;
  int n = 0;
  for (addrinfo* p = res; p != nullptr && n < max; p = p->ai_next) {
    if (p->ai_family != AF_INET || p->ai_addr == nullptr) continue;
    addrs[n++] = reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
  }
  freeaddrinfo(res);
  return n;
}

host_resolver active = resolve_with_getaddrinfo;

}  // namespace

int resolve_ipv4(const char* host, uint32_t* addrs, int max) {
  if (host == nullptr || host[0] == 0 || addrs == nullptr || max <= 0) return 0;
  return active(host, addrs, max);
}

void resolver_set(host_resolver resolver) {
  active = resolver != nullptr ? resolver : resolve_with_getaddrinfo;
}

bool ipv4_literal(const char* text, uint32_t* addr) {
  if (text == nullptr || text[0] == 0) return false;
  in_addr parsed{};
  if (inet_aton(text, &parsed) == 0) return false;
  if (addr != nullptr) *addr = parsed.s_addr;
  return true;
}

bool ipv6_literal(const char* text, uint8_t (&addr)[16]) {
  if (text == nullptr) return false;
  size_t n = strnlen(text, 64);
  if (n >= 2 && text[0] == '[' && text[n - 1] == ']') {
    ++text;
    n -= 2;
  }
  if (n == 0 || n > INET6_ADDRSTRLEN) return false;
  char plain[INET6_ADDRSTRLEN + 1];
  memcpy(plain, text, n);
  plain[n] = 0;
  return inet_pton(AF_INET6, plain, addr) == 1;
}

bool is_localhost_name(const char* host) {
  if (host == nullptr) return false;
  size_t n = strnlen(host, 256);
  if (n > 0 && host[n - 1] == '.') --n;  // a fully qualified "localhost."
  if (n == 9 && strncasecmp(host, "localhost", 9) == 0) return true;
  return n > 10 && strncasecmp(host + n - 10, ".localhost", 10) == 0;
}

void host_for_display(const char* host, char* out, size_t size) {
  if (out == nullptr || size == 0) return;
  uint8_t v6[16];
  if (host != nullptr && host[0] != '[' && ipv6_literal(host, v6))
    snprintf(out, size, "[%s]", host);
  else
    snprintf(out, size, "%s", host != nullptr ? host : "");
}
