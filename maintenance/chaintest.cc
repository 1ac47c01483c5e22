// The chain test: two proxies of the database, negotiated quietly the way
// client chains are, carry a page request to a known site; a page that
// holds its markers credits both proxies.
#include "maintenance/chaintest.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chain/lookup.h"
#include "chain/negotiate.h"
#include "chain/route.h"
#include "db/db.h"
#include "engine/slot.h"
#include "maintenance/download.h"
#include "maintenance/handlers.h"
#include "maintenance/sql.h"
#include "platform/clock.h"
#include "util/http.h"
#include "util/literal.h"
#include "util/text.h"

int32_t site_next = -1;
uint32_t recent_chain_hops[RECENT_CHAIN_HOPS];
char* site_redirect[SITE_REDIRECTS];

namespace {

constexpr int MAX_SITES = 64;
constexpr uint32_t TEST_LIMIT_MS = 180000;
constexpr size_t REQUEST_BUFFER = 4096;

struct chain_test_record {
  hop hops[3];  // first proxy, second proxy, the site
  int32_t site;
  chain_state st;
  uint8_t request_sent;
};
static_assert(sizeof(chain_test_record) <= ROUTE_SIZE);

chain_test_record& record_of(int index) {
  return slot_area<chain_test_record>(index);
}

// The decoded list, split into lines.
char* list_text = nullptr;
const char* list_lines[MAX_SITES];
int list_count = 0;
const char* list_source = nullptr;  // null: the built-in list

// Sites reachable over plain http whose pages carry each marker at least
// three times and ten times per "#" on average. The markers are words of
// the page itself (its old-style anchors, its subject, its name), never
// bare markup that any page holds, so a proxy's own error or block page
// earns nothing.
const char* builtin_site_list() {
  return MV_LIT(
      "http://info.cern.ch/hypertext/WWW/TheProject.html##name=#href=#W3#project\n"
      "http://httpforever.com/##forever#http\n");
}

void forget_redirects() {
  for (char*& r : site_redirect) {
    std::free(r);
    r = nullptr;
  }
}

void ensure_list() {
  if (list_text != nullptr) return;
  const char* source = list_source != nullptr ? list_source : builtin_site_list();
  size_t n = std::strlen(source);
  list_text = static_cast<char*>(std::malloc(n + 2));
  if (list_text == nullptr) return;
  std::memcpy(list_text, source, n + 1);
  list_text[n + 1] = 0;
  text_to_list(list_text);
  list_count = 0;
  for (const char* line = list_text; *line != 0 && list_count < MAX_SITES;
       line += std::strlen(line) + 1)
    list_lines[list_count++] = line;
  forget_redirects();
}

bool read_hop_row(const char* text, hop* out) {
  *out = hop{};
  if (text == nullptr) return false;
  unsigned long v[3];
  const char* p = text;
  for (int i = 0; i < 3; ++i) {
    if (*p < '0' || *p > '9') return false;
    unsigned long x = 0;
    while (*p >= '0' && *p <= '9') x = x * 10 + static_cast<unsigned long>(*p++ - '0');
    v[i] = x;
    if (i < 2 && *p++ != ',') return false;
  }
  if (*p != 0) return false;
  out->addr = static_cast<uint32_t>(v[0]);
  out->port = static_cast<uint16_t>(v[1]);
  out->type = static_cast<uint16_t>(v[2]);
  return true;
}

void push_recent_hop(uint32_t addr) {
  std::memmove(recent_chain_hops + 1, recent_chain_hops,
               sizeof recent_chain_hops - sizeof recent_chain_hops[0]);
  recent_chain_hops[0] = addr;
}

// One row of the hop selection; false when the database offers none.
bool select_hop(hop* out, uint32_t mask, uint32_t value, int min_rank, int best,
                const char* exclusion, const char* ports) {
  char* text =
      db_query_text(",", "#",
                    MV_LIT("SELECT ip,port,type FROM (SELECT ip,port,type FROM " MAINT_PROXY_TABLE
                           " WHERE blocked=0 AND (type&1)=0 AND (type&120)<>0 AND (type&%u)<>%u"
                           " AND rank>=%d ORDER BY rank DESC,t_ok DESC LIMIT %d)"
                           " WHERE ip NOT IN(%s) AND port NOT IN(%s) ORDER BY random() LIMIT 1"),
                    mask, value, min_rank, best, exclusion, ports);
  if (text == nullptr) return false;
  read_hop_row(text, out);  // a malformed row leaves an all-zero hop
  std::free(text);
  return true;
}

// Reads the status line; -1 when it is malformed.
int status_of(const char* text, const char** rest) {
  constexpr http_status_rules rules = {.leading_blanks = true, .space_before_slash = true};
  const http_status status =
      http_status_parse(reinterpret_cast<const uint8_t*>(text), std::strlen(text), rules);
  if (status.code < 0) return -1;
  *rest = text + status.end;
  return status.code;
}

// The first "Location: http:..." line after the status line.
void store_location(int site, const char* rest) {
  const char* p = rest;
  while (*p != 0) {
    if (*p != '\r' && *p != '\n') {
      ++p;
      continue;
    }
    while (*p == '\r' || *p == '\n') ++p;
    if (strncasecmp(p, "Location", 8) != 0) continue;
    const char* q = p + 8;
    while (*q == ' ') ++q;
    if (*q++ != ':') continue;
    while (*q == ' ') ++q;
    if (strncasecmp(q, "http:", 5) != 0) continue;
    size_t n = std::strcspn(q, "\r\n");
    site_redirect_store(site, q, n);
    return;
  }
}

void send_page_request(int index) {
  chain_test_record& rec = record_of(index);
  rec.request_sent = 1;
  const char* url = site_url(rec.site);
  char host[192];
  char path[256];
  if (url == nullptr || !site_host(rec.site, host, sizeof host) || host[0] == 0) return;
  site_path(rec.site, path, sizeof path);
  if (path[0] == 0) std::snprintf(path, sizeof path, "/");
  const char* target = rec.st.hop_proto == PT_HTTP ? url : path;
  char* request = static_cast<char*>(std::malloc(REQUEST_BUFFER));
  if (request == nullptr) return;
  int n = std::snprintf(request, REQUEST_BUFFER, "GET %s HTTP/1.0\r\nHost: %s\r\n%s", target, host,
                        client_id_line(1));
  if (n > 0 && static_cast<size_t>(n) < REQUEST_BUFFER) slot_send(index, request, n);
  std::free(request);
}

// A test whose site name is being looked up (while its ticket is set): it
// starts with the answer.
struct site_lookup {
  uint32_t serial;  // the cookie of the lookup in flight
  uint32_t ticket;
  hop first;
  hop second;
  int32_t site;
  char host[192];
};
site_lookup site_wait{};

void forget_site_lookup() {
  if (site_wait.ticket != 0) lookup_cancel(site_wait.ticket);
  site_wait.ticket = 0;
}

void launch_test(const hop& first, const hop& second, int site, const char* host,
                 uint32_t site_addr) {
  int index = slot_alloc(0);
  if (index < 1) return;
  conn_slot& slot = conn_table[index];
  slot.kind = slot_kind::chain_test;
  std::memset(slot.route, 0, ROUTE_SIZE);
  chain_test_record& rec = record_of(index);
  rec.hops[0] = first;
  rec.hops[1] = second;
  // The site is the destination entry, so the negotiation stops there and
  // hop_proto tells whether the last proxy wants an absolute target.
  rec.hops[2] = hop{HOP_END, 80, site_addr};
  rec.site = site;
  std::snprintf(slot.dest_host, sizeof slot.dest_host, "%s", host);
  slot.dest_port = 80;
  if (slot.started == 0) slot.started = tick_now();
  if (!slot_connect(index, first.addr, first.port)) slot_abort(index);
}

void site_answer(uint32_t serial, uint32_t addr) {
  if (site_wait.ticket == 0 || serial != site_wait.serial) return;
  site_wait.ticket = 0;
  if (addr == 0) return;  // a site that does not resolve: no test
  launch_test(site_wait.first, site_wait.second, site_wait.site, site_wait.host, addr);
}

// Copies n bytes and a terminator, cut to fit capacity (at least 1).
void copy_cut(char* out, size_t capacity, const char* from, size_t n) {
  if (n > capacity - 1) n = capacity - 1;
  std::memcpy(out, from, n);
  out[n] = 0;
}

}  // namespace

void site_list_use(const char* text) {
  std::free(list_text);
  list_text = nullptr;
  list_count = 0;
  list_source = text;
  forget_redirects();
  forget_site_lookup();
  site_next = -1;
}

int site_count() {
  ensure_list();
  return list_count;
}

const char* site_url(int site) {
  ensure_list();
  if (site < 0 || site >= list_count) return nullptr;
  if (site < SITE_REDIRECTS && site_redirect[site] != nullptr) return site_redirect[site];
  static char url[254];
  copy_cut(url, sizeof url, list_lines[site], std::strcspn(list_lines[site], "#"));
  return url;
}

bool site_host(int site, char* out, size_t capacity) {
  const char* url = site_url(site);
  if (url == nullptr || capacity == 0) return false;
  const char* p = url_host_start(url);
  if (p == nullptr) return false;
  copy_cut(out, capacity, p, std::strcspn(p, "/#"));
  return true;
}

bool site_path(int site, char* out, size_t capacity) {
  const char* url = site_url(site);
  if (url == nullptr || capacity == 0) return false;
  const char* p = url_host_start(url);
  if (p == nullptr) return false;
  p += std::strcspn(p, "/#");
  copy_cut(out, capacity, p, std::strcspn(p, "#"));
  return true;
}

bool site_markers(int site, char* out, size_t capacity) {
  ensure_list();
  if (site < 0 || site >= list_count || capacity == 0) return false;
  const char* p = std::strchr(list_lines[site], '#');
  if (p == nullptr) {
    out[0] = 0;
    return true;
  }
  while (*p == '#') ++p;
  std::snprintf(out, capacity < 255 ? capacity : 255, "%s", p);
  return true;
}

void site_redirect_store(int site, const char* url, size_t length) {
  ensure_list();
  if (site < 0 || site >= SITE_REDIRECTS || url == nullptr) return;
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy == nullptr) return;
  std::memcpy(copy, url, length);
  copy[length] = 0;
  std::free(site_redirect[site]);
  site_redirect[site] = copy;
}

bool chain_test_markers_pass(const char* markers, const char* body) {
  char list[256];
  std::snprintf(list, sizeof list, "%s", markers);
  int k = 0;
  for (char* p = list; *p != 0; ++p)
    if (*p == '#') {
      *p = 0;
      ++k;
    }
  if (k == 0) return false;
  long sum = 0;
  char* marker = list;
  for (int i = 0; i <= k && *marker != 0; ++i) {
    int count = 0;
    for (const char* at = text_find(body, marker); at != nullptr; at = text_find(at + 1, marker))
      ++count;
    if (count < 3) return false;
    sum += count;
    marker += std::strlen(marker) + 1;
  }
  return sum / k >= 10;
}

bool chain_test_judge(int site, const uint8_t* bytes, size_t length) {
  char* text = static_cast<char*>(std::malloc(length + 1));
  if (text == nullptr) return false;
  std::memcpy(text, bytes, length);
  text[length] = 0;
  bool passed = false;
  const char* rest = nullptr;
  int status = status_of(text, &rest);
  if (status == 301 || status == 302) {
    store_location(site, rest);
  } else if (status == 200) {
    const char* body = http_body_of(rest);
    char markers[256];
    if (body != nullptr && *body != 0 && site_markers(site, markers, sizeof markers))
      passed = chain_test_markers_pass(markers, body);
  }
  std::free(text);
  return passed;
}

void start_chain_test() {
  if (site_wait.ticket != 0) return;
  char exclusion[RECENT_CHAIN_HOPS * 11 + 4];
  size_t at = 0;
  exclusion[0] = 0;
  for (uint32_t a : recent_chain_hops) {
    if (a == 0) continue;
    int n = std::snprintf(exclusion + at, sizeof exclusion - at, "%s%lu", at > 0 ? "," : "",
                          static_cast<unsigned long>(a));
    if (n < 0 || static_cast<size_t>(n) >= sizeof exclusion - at) break;
    at += static_cast<size_t>(n);
  }
  if (at == 0) std::snprintf(exclusion, sizeof exclusion, "0");

  hop first, second;
  if (!select_hop(&first, 32, 32, 0, 50, exclusion, "0")) return;
  push_recent_hop(first.addr);
  if (!select_hop(&second, 0xFFFFF, 0xFFFFF, 0, 100, exclusion, "80,8080")) return;
  push_recent_hop(second.addr);

  int n = site_count();
  if (n < 1) n = 1;
  int site = site_next >= 1 ? site_next : static_cast<int>(tick_now() % static_cast<uint32_t>(n));
  site_next = site + 1 >= n ? 0 : site + 1;
  char host[192];
  if (!site_host(site, host, sizeof host)) return;
  uint32_t site_addr = 0;
  if (lookup_literal(host, &site_addr)) {
    if (site_addr != 0) launch_test(first, second, site, host, site_addr);
    return;  // a site that does not resolve: no test
  }
  // A name: looked up off the engine thread, the test starts with the answer.
  const uint32_t serial = site_wait.serial + 1;
  const uint32_t ticket = lookup_begin(host, site_answer, serial);
  if (ticket == 0) return;
  site_wait.serial = serial;
  site_wait.ticket = ticket;
  site_wait.first = first;
  site_wait.second = second;
  site_wait.site = site;
  std::snprintf(site_wait.host, sizeof site_wait.host, "%s", host);
}

void chain_test_handler(int index, char letter) {
  conn_slot& slot = conn_table[index];
  chain_test_record& rec = record_of(index);
  if (letter == 'X' && rec.st.established && slot.in.len > 16) {
    chain_test_record copy = rec;
    if (chain_test_judge(copy.site, slot.in.data, slot.in.len)) {
      const char* credit =
          MV_LIT("UPDATE " MAINT_PROXY_TABLE " SET rank=rank+%d WHERE ip=%u AND port=%u");
      db_exec(credit, 2, static_cast<unsigned>(copy.hops[0].addr),
              static_cast<unsigned>(copy.hops[0].port));
      db_exec(credit, 1, static_cast<unsigned>(copy.hops[1].addr),
              static_cast<unsigned>(copy.hops[1].port));
    }
    slot_abort(index);
    return;
  }
  if (tick_now() - slot.started > TEST_LIMIT_MS) {
    slot_abort(index);
    return;
  }
  if (letter == 'T' || rec.request_sent) return;
  if (!rec.st.established) {
    chain_step(letter | CHAIN_QUIET, index, slot.in, rec.hops, 3, rec.st);
    if (rec.st.failed) {
      slot_abort(index);
      return;
    }
    if (!rec.st.established) return;
  }
  send_page_request(index);
}
