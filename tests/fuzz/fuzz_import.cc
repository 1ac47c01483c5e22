// Fuzzes the tolerant address:port scanner of proxy list imports, the
// proxy line form ([scheme://][user:pass@]a.b.c.d:port with %XX escapes),
// and now and then the whole import into a scratch database.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "db/db.h"
#include "maintenance/import.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

bool db_ready = false;

void open_scratch_db() {
  fuzz_scratch_db(fuzz_scratch_home("import"));
  db_ready = true;
}

void count_pair(uint32_t, uint16_t port, void* user) {
  if (port == 0 || port == 65535) abort();
  ++*static_cast<int*>(user);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool banned = false;
  if (!banned) {
    fuzz_forbid_sockets();
    banned = true;
  }
  if (size == 0) return 0;
  uint8_t mode = data[0];
  char* text = static_cast<char*>(malloc(size));
  memcpy(text, data + 1, size - 1);
  text[size - 1] = 0;
  int found = 0;
  int n = import_scan(text, mode & 1, count_pair, &found);
  if (n != found) abort();
  // Every line read as a proxy line: the fields stay within their bounds.
  for (const char* p = text; *p;) {
    const char* end = p;
    while (*end && *end != '\n') ++end;
    proxy_line line{};
    const line_form form = parse_proxy_line(p, end, line);
    if (form == line_form::proxy) {
      if (line.port == 0 || line.port == 65535) abort();
      if (strlen(line.user) != line.user_length || strlen(line.pass) != line.pass_length) abort();
    }
    p = *end ? end + 1 : end;
  }
  if ((mode & 6) == 6) {
    if (!db_ready) open_scratch_db();
    char* summary = import_proxy_list(text, mode & 1);
    if (summary == nullptr) abort();
    free(summary);
    db_exec("DELETE FROM proxy");
  }
  free(text);
  return 0;
}
