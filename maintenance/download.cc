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

#include "chain/lookup.h"
#include "chain/negotiate.h"
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
  // A name is looked up later, off the engine thread.
  out->named = !lookup_literal(out->host, &out->addr);
  if (out->addr == 0 && !out->named) return;
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

namespace {

// Kept in the route area of a download slot.
struct download_area {
  int32_t position;   // entry of "download_urls"
  uint8_t cut;        // the answer reached DOWNLOAD_LIMIT and was cut there
  uint8_t timed_out;  // the 60 s limit ended it
};

void send_list_request(int index) {
  download_entry entry;
  if (!download_url_entry(slot_area<download_area>(index).position, &entry) || entry.host[0] == 0 ||
      entry.path[0] == 0) {
    slot_abort(index);
    return;
  }
  char request[1400];
  int len = std::snprintf(request, sizeof request,
                          MV_LIT("GET %s HTTP/1.0\r\nHost: %s\r\nAccept: */*\r\n"
                                 "Connection: close\r\n%s"),
                          entry.path, entry.host, client_id_line(0));
  if (len <= 0 || static_cast<size_t>(len) >= sizeof request) {
    slot_abort(index);
    return;
  }
  // Reading goes on past the limit so that the close after the cut is seen.
  slot_set_input_limit(index, DOWNLOAD_LIMIT + (1u << 20));
  slot_send(index, request, len);
}

// A list larger than the limit is cut there: what came is imported.
void check_size(int index) {
  conn_slot& slot = conn_table[index];
  download_area& area = slot_area<download_area>(index);
  if (slot.in.len < DOWNLOAD_LIMIT || area.cut) return;
  area.cut = 1;
  console_line("proxy list from %.190s is larger than %u MiB: cut there", slot.dest_host,
               DOWNLOAD_LIMIT >> 20);
  slot_abort(index);
}

// The end of a list's import (in steps, see import_start): one console line.
void list_imported(char* summary, uint64_t, const char* host) {
  console_line("list download from %.190s: %s", host,
               summary != nullptr ? summary : "no list in the answer");
  std::free(summary);
}

void import_answer(int index) {
  conn_slot& slot = conn_table[index];
  const download_area& area = slot_area<download_area>(index);
  if (area.timed_out || slot.in.len == 0) download_cycle_incomplete = true;
  if (slot.in.len == 0) {
    console_line("list download from %.190s: no answer", slot.dest_host);
    return;
  }
  uint32_t length = slot.in.len < DOWNLOAD_LIMIT ? slot.in.len : DOWNLOAD_LIMIT;
  char* text = static_cast<char*>(std::malloc(length + 1u));
  if (text == nullptr) return;
  std::memcpy(text, slot.in.data, length);
  text[length] = 0;
  const char* body = http_body_of(text);
  if (body == nullptr || *body == 0) {
    list_imported(nullptr, 0, slot.dest_host);
  } else if (!import_start(body, 1, list_imported, 0, slot.dest_host)) {
    // Eight imports queued already: this one at once rather than lost.
    list_imported(import_proxy_list(body, 1), 0, slot.dest_host);
  }
  std::free(text);
}

}  // namespace

bool download_cycle_incomplete = false;

void download_slot_begin(int index, int32_t position) {
  download_area& area = slot_area<download_area>(index);
  std::memset(&area, 0, sizeof area);
  area.position = position;
}

void download_handler(int index, char letter) {
  conn_slot& slot = conn_table[index];
  switch (letter) {
    case 'C':
      send_list_request(index);
      return;
    case 'R':
      check_size(index);
      return;
    case 'T':
      if (slot.started == 0) slot.started = tick_now();
      if (tick_now() - slot.started >= DOWNLOAD_TIME_MS) {
        slot_area<download_area>(index).timed_out = 1;
        slot_abort(index);
      }
      return;
    case 'X':
      import_answer(index);
      return;
    default:
      return;
  }
}
