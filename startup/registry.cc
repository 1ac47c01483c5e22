// Interim registry: nothing stored. Replaced by the registry file.
#include "startup/registry.h"

bool reg_get(const char*, uint32_t*, void*, size_t, size_t*) { return false; }
bool reg_set(const char*, uint32_t, const void*, size_t) { return false; }
void reg_defaults() {}
const char* reg_root() { return ""; }
bool reg_delete_all() { return false; }
uint32_t reg_listen_port() { return 8080; }
void reg_listen_ip(char* out, size_t capacity) {
  if (capacity > 0) out[0] = 0;
}
