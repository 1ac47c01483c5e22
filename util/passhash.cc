#include "util/passhash.h"

#include <crypt.h>

#include <cstring>

namespace {

constexpr const char* PREFIX = "$y$";

// crypt_r's work area is large: one per thread, kept.
crypt_data& work_area() {
  static thread_local crypt_data data;
  return data;
}

// Copies pass with its NUL into out (PASS_MAX + 1 bytes); false when it
// does not fit or holds a NUL.
bool copy_pass(std::string_view pass, char* out) {
  if (pass.empty() || pass.size() > PASS_MAX || memchr(pass.data(), 0, pass.size()) != nullptr)
    return false;
  memcpy(out, pass.data(), pass.size());
  out[pass.size()] = 0;
  return true;
}

void wipe(void* bytes, size_t n) {
  explicit_bzero(bytes, n);
}

}  // namespace

bool pass_hash(std::string_view pass, char* out, size_t capacity) {
  char phrase[PASS_MAX + 1];
  if (capacity == 0 || !copy_pass(pass, phrase)) return false;
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  bool ok = crypt_gensalt_rn(PREFIX, 0, nullptr, 0, setting, sizeof setting) != nullptr;
  crypt_data& data = work_area();
  const char* hash = ok ? crypt_r(phrase, setting, &data) : nullptr;
  ok =
      hash != nullptr && hash[0] == '$' && strlen(hash) < capacity && strlen(hash) < PASS_HASH_SIZE;
  if (ok) memcpy(out, hash, strlen(hash) + 1);
  wipe(phrase, sizeof phrase);
  wipe(&data, sizeof data);
  return ok;
}

bool pass_verify(std::string_view pass, const char* hash) {
  char phrase[PASS_MAX + 1];
  if (hash == nullptr || !pass_hash_well_formed(hash) || !copy_pass(pass, phrase)) return false;
  crypt_data& data = work_area();
  const char* again = crypt_r(phrase, hash, &data);
  wipe(phrase, sizeof phrase);
  bool same = false;
  const size_t n = strlen(hash);
  if (again != nullptr && strlen(again) == n) {
    unsigned diff = 0;
    for (size_t i = 0; i < n; ++i) diff |= static_cast<unsigned>(again[i] ^ hash[i]);
    same = diff == 0;
  }
  wipe(data.output, sizeof data.output);
  return same;
}

bool pass_hash_well_formed(std::string_view text) {
  if (text.size() < 4 || text.size() >= PASS_HASH_SIZE || text.substr(0, 3) != PREFIX) return false;
  for (char c : text)
    if (c <= ' ' || c > '~') return false;
  return true;
}
