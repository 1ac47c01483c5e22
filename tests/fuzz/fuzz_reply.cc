// Fuzzes the checker's reply parser with a check record and without one
// (the public-address request); items that change settings or import lists
// go to a scratch database.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "db/db.h"
#include "maintenance/checker.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = false;
  if (!ready) {
    fuzz_forbid_sockets();
    fuzz_scratch_db(fuzz_scratch_home("reply"));
    ready = true;
  }
  if (size == 0) return 0;
  uint8_t mode = data[0];
  // An exact-size heap copy lets ASan see any read past the end.
  uint8_t* bytes = static_cast<uint8_t*>(malloc(size - 1 + 1));
  memcpy(bytes, data + 1, size - 1);
  check_record rec{};
  rec.step = static_cast<uint8_t>(8u << (mode & 3));
  rec.ip = 0x0900000Au;
  rec.port = 3128;
  parse_reply(bytes, size - 1, (mode & 4) ? nullptr : &rec);
  if (rec.step != static_cast<uint8_t>(8u << (mode & 3))) abort();
  free(bytes);
  if ((mode & 0x18) == 0x18) db_exec("DELETE FROM proxy");
  return 0;
}
