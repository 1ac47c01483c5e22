// Proxy list download: entries of "download_urls" and the download
// connection (kind 0xFFC1) that fetches one list and imports it.
#include "maintenance/download.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chain/select.h"
#include "db/db.h"
#include "engine/slot.h"
#include "log/console.h"
#include "maintenance/handlers.h"
#include "maintenance/import.h"
#include "util/ascii.h"
#include "util/http.h"
#include "util/literal.h"
#include "util/text.h"

namespace {

constexpr size_t URLS_BUFFER = 9624;
constexpr size_t HOST_MAX = 250;
constexpr size_t PATH_MAX_CHARS = 1000;

}  // namespace

void download_parse_line(const char* line, download_entry* out) {
  std::memset(out, 0, sizeof *out);
  if (strncasecmp(line, "http:", 5) != 0) return;
  const char* p = line + 5;
  while (*p == '/') ++p;
  size_t n = 0;
  while (n < HOST_MAX && ascii_is_name_char(*p)) out->host[n++] = *p++;
  out->host[n] = 0;
  while (*p == ' ') ++p;
  uint16_t port = 80;
  if (*p == ':') {
    ++p;
    while (*p == ' ') ++p;
    port = 0;
    while (*p >= '0' && *p <= '9') port = static_cast<uint16_t>(port * 10 + (*p++ - '0'));
  }
  out->port = port;
  out->addr = resolve_host(out->host);
  if (out->addr == 0) return;
  std::snprintf(out->path, sizeof out->path, "%s%.*s", *p == '/' ? "" : "/",
                static_cast<int>(*p == '/' ? PATH_MAX_CHARS : PATH_MAX_CHARS - 1), p);
}

bool download_url_entry(int n, download_entry* out) {
  std::memset(out, 0, sizeof *out);
  if (n < 0) return false;
  char* urls = static_cast<char*>(std::calloc(URLS_BUFFER + 1, 1));
  if (urls == nullptr) return false;
  setting_str(MV_LIT("download_urls"), urls, URLS_BUFFER, 0);
  bool found = false;
  if (urls[0] != 0) {
    text_to_list(urls);
    const char* line = urls;
    for (int i = 0; i < n && *line != 0; ++i) line += std::strlen(line) + 1;
    if (*line != 0) {
      download_parse_line(line, out);
      found = true;
    }
  }
  std::free(urls);
  return found;
}

void download_handler(int index, char letter) {
  conn_slot& slot = conn_table[index];
  switch (letter) {
    case 'C': {
      int32_t position;
      std::memcpy(&position, slot.route, sizeof position);
      download_entry entry;
      if (!download_url_entry(position, &entry) || entry.host[0] == 0 || entry.path[0] == 0) {
        slot_abort(index);
        return;
      }
      char request[1400];
      int len = std::snprintf(request, sizeof request,
                              MV_LIT("GET %s HTTP/1.0\r\nHost: %s\r\nUser-Agent: Merovane\r\n"
                                     "Accept: */*\r\nConnection: close\r\n\r\n"),
                              entry.path, entry.host);
      if (len <= 0 || static_cast<size_t>(len) >= sizeof request) {
        slot_abort(index);
        return;
      }
      slot_send(index, request, len);
      return;
    }
    case 'T':
      abort_when_late(index, slot.started, 60000u);
      return;
    case 'X': {
      if (slot.in.len == 0) {
        console_line("list download from %s: no answer", slot.dest_host);
        return;
      }
      char* text = static_cast<char*>(std::malloc(slot.in.len + 1u));
      if (text == nullptr) return;
      std::memcpy(text, slot.in.data, slot.in.len);
      text[slot.in.len] = 0;
      const char* body = http_body_of(text);
      char* summary = body != nullptr && *body != 0 ? import_proxy_list(body, 1) : nullptr;
      console_line("list download from %s: %s", slot.dest_host,
                   summary != nullptr ? summary : "no list in the answer");
      std::free(summary);
      std::free(text);
      return;
    }
    default:
      return;
  }
}
