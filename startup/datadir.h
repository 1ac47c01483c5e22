// The data directory: where settings.db lives (remembered as "DB" in the
// registry), the product directory for uninstall, and the cleanup of the
// per-connection log files.
#pragma once

#include <cstddef>

void data_path(char* out, size_t capacity, bool want_file);
// Deletes the per-connection log files in the cached "log_dir".
void log_cleanup();
// The same cleanup in a given directory: every "<7+ digits>.txt" file goes,
// every other name stays. A directory of fewer than 2 characters is ignored.
void log_cleanup_dir(const char* dir);
