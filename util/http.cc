#include "util/http.h"

#include <cstring>

#include "util/literal.h"

namespace {
unsigned char upper(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? c - 32 : c;
}

// Compares n bytes of data with an ASCII text, ignoring case.
bool same_folded(const uint8_t* data, const char* text, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (upper(data[i]) != upper(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}
}  // namespace

const char* http_verb_list() {
  return MV_LIT(
      "CONNECT\nGET\nPOST\nHEAD\nPUT\nDELETE\nOPTIONS\nTRACE\nPATCH\n"
      "PROPFIND\nPROPPATCH\nMKCOL\nCOPY\nMOVE\nLOCK\nUNLOCK\nREPORT\nSEARCH\nMKCALENDAR");
}

int is_host_char(int c) {
  unsigned char u = upper(static_cast<unsigned char>(c));
  return ((u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '.' || u == '-' || u == '_') ? 1
                                                                                                : 0;
}

size_t http_verb_offset(const uint8_t* data, size_t length) {
  if (data == nullptr) return 0;
  size_t start = 0;
  while (start < length && data[start] == ' ') ++start;
  const char* list = http_verb_list();
  for (const char* name = list; *name != 0;) {
    const char* end = strchr(name, '\n');
    size_t n = end != nullptr ? static_cast<size_t>(end - name) : strlen(name);
    if (n > 0 && length - start >= n + 1 && data[start + n] == ' ' &&
        same_folded(data + start, name, n))
      return start + n;
    name += n;
    if (*name == '\n') ++name;
  }
  return 0;
}

size_t http_basic_line(std::string_view user, std::string_view pass, char* out, size_t size) {
  static constexpr char digits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  static constexpr char head[] = "Proxy-Authorization: Basic ";
  const size_t plain = user.size() + 1 + pass.size();
  const size_t need = sizeof head - 1 + (plain + 2) / 3 * 4 + 2;
  if (out == nullptr || need + 1 > size) {
    if (out != nullptr && size > 0) out[0] = 0;
    return 0;
  }
  auto byte_at = [&](size_t i) -> uint32_t {
    if (i < user.size()) return static_cast<uint8_t>(user[i]);
    if (i == user.size()) return ':';
    return static_cast<uint8_t>(pass[i - user.size() - 1]);
  };
  size_t used = sizeof head - 1;
  memcpy(out, head, used);
  for (size_t i = 0; i < plain; i += 3) {
    const uint32_t v = byte_at(i) << 16 | (i + 1 < plain ? byte_at(i + 1) << 8 : 0) |
                       (i + 2 < plain ? byte_at(i + 2) : 0);
    out[used++] = digits[v >> 18 & 63];
    out[used++] = digits[v >> 12 & 63];
    out[used++] = i + 1 < plain ? digits[v >> 6 & 63] : '=';
    out[used++] = i + 2 < plain ? digits[v & 63] : '=';
  }
  out[used++] = '\r';
  out[used++] = '\n';
  out[used] = 0;
  return used;
}
