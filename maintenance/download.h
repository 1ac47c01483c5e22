// Proxy list download: the "download_urls" entries and the download
// connection that fetches one list and hands it to the import.
#pragma once

#include <cstdint>

struct download_entry {
  char host[251];
  uint32_t addr;  // network byte order, 0 = not resolvable
  uint16_t port;
  char path[1001];
};

// Entry n of "download_urls". Returns false when there is no such entry;
// true with empty parts when the entry is not an "http:" URL.
bool download_url_entry(int n, download_entry* out);
// The same rules on one line of text (no database).
void download_parse_line(const char* line, download_entry* out);
