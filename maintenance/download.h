// Proxy list download: the "download_urls" entries and the download
// connection that fetches one list (read to its end, up to 16 MiB) and
// hands it to the import; whether the running cycle finished.
#pragma once

#include <cstdint>

constexpr uint32_t DOWNLOAD_LIMIT = 16u << 20;  // a longer list is cut here
constexpr uint32_t DOWNLOAD_TIME_MS = 60000;    // a download must end within this

// Set when a download of the running cycle did not end by itself (cut by
// the time limit, or no answer): the cycle is then not recorded as done.
extern bool download_cycle_incomplete;
// Prepares a new download slot for entry `position` of "download_urls".
void download_slot_begin(int index, int32_t position);

struct download_entry {
  char host[251];
  uint32_t addr;  // network byte order, 0 = not resolvable or a name
  bool named;     // host is a name still to be looked up
  uint16_t port;
  char path[1001];
};

// Entry n of "download_urls". Returns false when there is no such entry;
// true with empty parts when the entry is not an "http:" URL.
bool download_url_entry(int n, download_entry* out);
// The same rules on one line of text (no database).
void download_parse_line(const char* line, download_entry* out);
