// What every `merovane ctl` command shares: the exit codes, a growing text,
// form parameters, one request to the panel of this home's instance and a
// command through its ajax interface, the readers of the reply objects and
// of "address:port", and the messages for a refusal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace ctl {

constexpr int CTL_DONE = 0;
constexpr int CTL_REFUSED = 1;
constexpr int CTL_NO_INSTANCE = 3;

// A growing text on the heap; every append reports failure instead of
// throwing.
struct text {
  char* data = nullptr;
  size_t len = 0, cap = 0;
  ~text() { std::free(data); }
  bool add(const char* bytes, size_t n) {
    if (len + n + 1 > cap) {
      size_t want = cap == 0 ? 4096 : cap;
      while (want < len + n + 1) want *= 2;
      char* grown = static_cast<char*>(std::realloc(data, want));
      if (grown == nullptr) return false;
      data = grown;
      cap = want;
    }
    std::memcpy(data + len, bytes, n);
    len += n;
    data[len] = 0;
    return true;
  }
  bool add(const char* s) { return add(s, std::strlen(s)); }
  void clear() {
    len = 0;
    if (data != nullptr) data[0] = 0;
  }
  const char* c_str() const { return data != nullptr ? data : ""; }
};

// Appends s encoded for a form body: unreserved bytes as they are, every
// other byte as %XX.
bool add_encoded(text& out, const char* s, size_t n);
bool add_param(text& body, const char* name, const char* value);
// name followed by index, with a number as its value.
bool add_number_param(text& body, const char* name, unsigned index, uint32_t value);
// One request to the instance's panel (method, file below the token, an
// optional form body); the reply's body into out. False when no instance
// answered, or it refused (then no_instance tells its words).
bool panel_request(const char* method, const char* file, const text* body, text& out);
// A command of the ajax interface; the value of its reply named
// expected_name into value.
bool command(const text& body, const char* expected_name, text& value);
// The messages (standard error) and exit codes of a failed command.
int no_instance();
int refused(const char* what);
// The value of member `name` in a reply object, as written there (quotes
// removed); false when absent. member_number: as a number, 0 when absent.
bool settings_member(const char* object, const char* name, char* out, size_t capacity);
long member_number(const char* object, const char* name);
// The stored ip number as dotted text; dotted text (n bytes) to that
// number; "address:port" into number and port.
void dotted(uint32_t ip, char* out, size_t capacity);
bool ip_number(const char* text, size_t n, uint32_t* ip);
bool address_port(const char* s, uint32_t* ip, uint32_t* port);

}  // namespace ctl
