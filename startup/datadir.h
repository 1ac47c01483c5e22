// The data directory: where settings.db lives (remembered as "DB" in the
// registry), the product directory for uninstall, and the cleanup of the
// per-connection log files.
#pragma once

#include <cstddef>

void data_path(char* out, size_t capacity, bool want_file);
void log_cleanup();
