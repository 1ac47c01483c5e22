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
  return ((u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '.' || u == '-' || u == '_')
             ? 1
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

int http_verb_may_follow(const uint8_t* data, size_t length) {
  if (data == nullptr) return 0;
  size_t start = 0;
  while (start < length && data[start] == ' ') ++start;
  size_t have = length - start;
  const char* list = http_verb_list();
  for (const char* name = list; *name != 0;) {
    const char* end = strchr(name, '\n');
    size_t n = end != nullptr ? static_cast<size_t>(end - name) : strlen(name);
    if (n > 0 && have <= n && same_folded(data + start, name, have)) return 1;
    name += n;
    if (*name == '\n') ++name;
  }
  return 0;
}
