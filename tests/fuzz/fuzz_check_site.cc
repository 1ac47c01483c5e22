// The check sites' list reader and the page test on arbitrary bytes: sites
// come out terminated and well formed, the page test reads nothing past its
// input, and a page that passed keeps passing as more of it arrives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "maintenance/checksite.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto* bytes = static_cast<uint8_t*>(malloc(size + 1));
  if (size > 0) memcpy(bytes, data, size);
  check_site sites[CHECK_SITES_MAX];
  int bad = 0;
  const int n = check_sites_parse(std::string_view(reinterpret_cast<const char*>(bytes), size),
                                  sites, CHECK_SITES_MAX, &bad);
  if (n < 0 || n > CHECK_SITES_MAX || bad < 0) abort();
  for (int i = 0; i < n; ++i) {
    const check_site& s = sites[i];
    if (strnlen(s.host, sizeof s.host) >= sizeof s.host || s.host[0] == 0) abort();
    if (s.path[0] != '/' || s.word[0] == 0 || s.port == 0) abort();
    char request[512];
    const size_t r = check_site_request(s, i % 2 == 0, "", request, sizeof request);
    if (r >= sizeof request) abort();
  }
  // The bytes as a proxy's answer to the page request.
  check_site site{};
  std::memcpy(site.host, "127.0.0.9", 10);
  std::memcpy(site.path, "/", 2);
  std::memcpy(site.word, "hello", 6);
  site.port = 80;
  const page_verdict whole = check_site_judge(site, bytes, size, true);
  const page_verdict part = check_site_judge(site, bytes, size / 2, false);
  if (part == page_verdict::passed && whole != page_verdict::passed) abort();
  free(bytes);
  return 0;
}
