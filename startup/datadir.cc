// Interim data directory: no path. Replaced by the real data directory.
#include "startup/datadir.h"

void data_path(char* out, size_t capacity, bool) {
  if (capacity > 0) out[0] = 0;
}
void log_cleanup() {}
