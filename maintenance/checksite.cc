// The check sites: parsing the list, looking up their hosts off the engine
// thread, the page request and the page test.
#include "maintenance/checksite.h"

#include <cstdio>
#include <cstring>

#include "chain/lookup.h"
#include "db/db.h"
#include "platform/clock.h"
#include "util/ascii.h"
#include "util/http.h"
#include "util/literal.h"

namespace {

constexpr size_t SETTING_SIZE = 4096;
constexpr uint32_t RELOAD_MS = 750;
constexpr uint32_t RETRY_LOOKUP_MS = 60000;

struct site_table {
  check_site site[CHECK_SITES_MAX];
  uint32_t ticket[CHECK_SITES_MAX];    // lookup in flight, 0 none
  uint32_t asked_at[CHECK_SITES_MAX];  // tick of the last lookup
  int count;
  int next;
  uint32_t generation;  // counts reloads: late answers for an old list are dropped
  uint32_t loaded_at;
  bool loaded;
  char text[SETTING_SIZE];
};
site_table table{};

bool parse_port(std::string_view digits, uint16_t* port) {
  if (digits.empty() || digits.size() > 5) return false;
  unsigned v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v == 0 || v > 65535) return false;
  *port = static_cast<uint16_t>(v);
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && ascii_is_blank(static_cast<uint8_t>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && ascii_is_blank(static_cast<uint8_t>(s.back()))) s.remove_suffix(1);
  return s;
}

template <size_t N>
bool copy_text(std::string_view from, char (&to)[N]) {
  if (from.empty() || from.size() >= N) return false;
  std::memcpy(to, from.data(), from.size());
  to[from.size()] = 0;
  return true;
}

// "http://HOST[:PORT]/PATH WORD".
bool parse_line(std::string_view line, check_site& out) {
  out = check_site{};
  const size_t gap = line.find_first_of(" \t");
  if (gap == std::string_view::npos) return false;
  const std::string_view url = line.substr(0, gap);
  const std::string_view word = trim(line.substr(gap));
  if (url.size() < 8 || strncasecmp(url.data(), "http://", 7) != 0) return false;
  const std::string_view rest = url.substr(7);
  const size_t slash = rest.find('/');
  const std::string_view authority = rest.substr(0, slash);
  const std::string_view path = slash == std::string_view::npos ? "/" : rest.substr(slash);
  const size_t colon = authority.find(':');
  std::string_view host = authority.substr(0, colon);
  out.port = 80;
  if (colon != std::string_view::npos && !parse_port(authority.substr(colon + 1), &out.port))
    return false;
  for (char c : host)
    if (!ascii_is_name_char(static_cast<uint8_t>(c))) return false;
  for (char c : path)
    if (static_cast<uint8_t>(c) <= ' ') return false;
  for (char c : word)
    if (static_cast<uint8_t>(c) <= ' ' || c == 0x7F) return false;
  return copy_text(host, out.host) && copy_text(path, out.path) && copy_text(word, out.word);
}

void site_answer(uint32_t cookie, uint32_t addr) {
  const int site = static_cast<int>(cookie & 0xFF);
  if ((cookie >> 8) != (table.generation & 0xFFFFFF) || site >= table.count) return;
  table.ticket[site] = 0;
  table.site[site].addr = addr;
}

void ask_addresses() {
  const uint32_t now = tick_now();
  for (int i = 0; i < table.count; ++i) {
    check_site& s = table.site[i];
    if (s.addr != 0 || table.ticket[i] != 0) continue;
    if (lookup_literal(s.host, &s.addr)) continue;
    if (table.asked_at[i] != 0 && now - table.asked_at[i] < RETRY_LOOKUP_MS) continue;
    table.asked_at[i] = now;
    const uint32_t cookie = ((table.generation & 0xFFFFFF) << 8) | static_cast<uint32_t>(i);
    table.ticket[i] = lookup_begin(s.host, site_answer, cookie);
  }
}

void cancel_lookups() {
  for (uint32_t& t : table.ticket) {
    if (t != 0) lookup_cancel(t);
    t = 0;
  }
}

void reload() {
  char text[SETTING_SIZE] = "";
  if (setting_str(MV_LIT("check_sites"), text, sizeof text, 0) == 0 || trim(text).empty())
    std::snprintf(text, sizeof text, "%s", check_sites_default());
  text[sizeof text - 1] = 0;
  table.loaded_at = tick_now();
  if (table.loaded && std::strcmp(text, table.text) == 0) return;
  cancel_lookups();
  const uint32_t generation = table.generation + 1;
  table = site_table{};
  table.generation = generation;
  std::memcpy(table.text, text, sizeof text);
  table.count = check_sites_parse(text, table.site, CHECK_SITES_MAX, nullptr);
  table.loaded = true;
}

}  // namespace

int check_sites_parse(std::string_view text, check_site* out, int capacity, int* bad_line) {
  int count = 0, line_no = 0;
  if (bad_line != nullptr) *bad_line = 0;
  while (!text.empty()) {
    const size_t end = text.find_first_of("\n;");
    const std::string_view line = trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (line.empty()) continue;
    ++line_no;
    check_site site;
    if (!parse_line(line, site)) {
      if (bad_line != nullptr && *bad_line == 0) *bad_line = line_no;
      continue;
    }
    if (count < capacity) out[count++] = site;
  }
  return count;
}

const char* check_sites_default() {
  return MV_LIT(
      "http://info.cern.ch/hypertext/WWW/TheProject.html project\n"
      "http://httpforever.com/ forever\n");
}

int check_sites_ready() {
  if (!table.loaded || tick_now() - table.loaded_at >= RELOAD_MS) reload();
  ask_addresses();
  int ready = 0;
  for (int i = 0; i < table.count; ++i)
    if (table.site[i].addr != 0) ++ready;
  return ready;
}

int check_site_pick() {
  for (int k = 0; k < table.count; ++k) {
    const int i = (table.next + k) % table.count;
    if (table.site[i].addr == 0) continue;
    table.next = (i + 1) % table.count;
    return i;
  }
  return -1;
}

const check_site* check_site_at(int site) {
  return site >= 0 && site < table.count ? &table.site[site] : nullptr;
}

void check_sites_reset() {
  cancel_lookups();
  const uint32_t generation = table.generation + 1;
  table = site_table{};
  table.generation = generation;
}

size_t check_site_request(const check_site& site, bool absolute, std::string_view extra, char* out,
                          size_t capacity) {
  char port[8] = "";
  if (site.port != 80) std::snprintf(port, sizeof port, ":%u", site.port);
  const int n = absolute ? std::snprintf(out, capacity,
                                         "GET http://%s%s%s HTTP/1.0\r\nHost: %s%s\r\n%.*s"
                                         "Connection: close\r\n\r\n",
                                         site.host, port, site.path, site.host, port,
                                         static_cast<int>(extra.size()), extra.data())
                         : std::snprintf(out, capacity,
                                         "GET %s HTTP/1.0\r\nHost: %s%s\r\n%.*s"
                                         "Connection: close\r\n\r\n",
                                         site.path, site.host, port, static_cast<int>(extra.size()),
                                         extra.data());
  return n < 0 || static_cast<size_t>(n) >= capacity ? 0 : static_cast<size_t>(n);
}

page_verdict check_site_judge(const check_site& site, const uint8_t* data, size_t length,
                              bool ended) {
  const http_head_bounds head = http_head_find(data, length);
  if (head.body == 0)
    return ended || length >= CHECK_PAGE_LIMIT ? page_verdict::failed : page_verdict::more;
  constexpr http_status_rules rules = {.leading_blanks = true};
  const int status = http_status_parse(data, head.body, rules).code;
  if (status < 200 || status > 299) return page_verdict::failed;
  const size_t word = std::strlen(site.word);
  if (word > 0 && memmem(data + head.body, length - head.body, site.word, word) != nullptr)
    return page_verdict::passed;
  return ended || length >= CHECK_PAGE_LIMIT ? page_verdict::failed : page_verdict::more;
}
