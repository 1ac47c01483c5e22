// The checker service's location and the public-address connection.
#include "maintenance/myip.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chain/lookup.h"
#include "db/db.h"
#include "engine/slot.h"
#include "log/console.h"
#include "log/push.h"
#include "maintenance/checker.h"
#include "maintenance/download.h"
#include "maintenance/handlers.h"
#include "maintenance/scheduler.h"
#include "util/ascii.h"
#include "util/http.h"
#include "util/literal.h"
#include "util/text.h"

namespace {

constexpr size_t URL_LIST_SIZE = 2048;

char url_list[URL_LIST_SIZE];  // the setting: URLs separated by blanks or newlines
bool list_loaded = false;
unsigned url_choice = 0;       // the URL of the list in use
uint32_t location_serial = 1;  // counts moves of the checker location
char url_cache[256];
char host_cache[64];
char path_cache[96];
uint32_t addr_cache = 0;

// The lookup of the checker host's name.
enum class host_lookup { idle, waiting, failed };
host_lookup lookup_phase = host_lookup::idle;
uint32_t lookup_ticket = 0;
uint32_t derived_serial = 1;  // counts the times the derived location was forgotten

// Kept in the route area of the public-address slot.
struct myip_area {
  uint32_t serial;  // location_serial when the request was made
};

// Copies URL number k of the list into out; the number of URLs in the list.
unsigned pick_url(unsigned k, char* out, size_t capacity) {
  unsigned count = 0;
  out[0] = 0;
  for (const char* p = url_list; *p != 0;) {
    while (ascii_is_blank(*p)) ++p;
    if (*p == 0) break;
    const char* start = p;
    while (*p != 0 && !ascii_is_blank(*p)) ++p;
    if (count == k) {
      const size_t n = static_cast<size_t>(p - start) < capacity - 1
                           ? static_cast<size_t>(p - start)
                           : capacity - 1;
      std::memcpy(out, start, n);
      out[n] = 0;
    }
    ++count;
  }
  return count;
}

// Whether checks can run, as last told to the person running the program.
enum class checks_state { unknown, on, off };
checks_state told = checks_state::unknown;

void tell_checks(checks_state now) {
  if (now == told) return;
  const checks_state was = told;
  told = now;
  if (now == checks_state::on) {
    const uint32_t a = public_addr;
    console_line("checks are on: checker %.200s answers, public address %u.%u.%u.%u", checker_url(),
                 a & 0xFF, (a >> 8) & 0xFF, (a >> 16) & 0xFF, a >> 24);
    return;
  }
  // A panel that showed an address learns that it is gone (one that just
  // opened its channel was sent the zero address then).
  if (was == checks_state::on) {
    char line[128];
    const int n = format_myip_line(line, sizeof line, 0);
    if (n > 0) panel_broadcast(line, n);
  }
  if (std::strcmp(checker_url(), checker_default_url()) == 0)
    console_line(
        "checks: reachability only, no checker service set (panel settings, \"Checker "
        "service\", to grade anonymity)");
  else
    console_line("checks: reachability only, checker service %.200s not reachable", checker_url());
}

void forget_derived() {
  url_cache[0] = 0;
  host_cache[0] = 0;
  path_cache[0] = 0;
  addr_cache = 0;
  if (lookup_ticket != 0) lookup_cancel(lookup_ticket);
  lookup_ticket = 0;
  lookup_phase = host_lookup::idle;
  ++derived_serial;
}

void checker_host_answer(uint32_t serial, uint32_t addr) {
  if (serial != derived_serial) return;
  lookup_ticket = 0;
  addr_cache = addr;
  lookup_phase = addr != 0 ? host_lookup::idle : host_lookup::failed;
  myip_due_now = true;
}

}  // namespace

const char* checker_default_url() {
  // A reserved name that resolves nowhere: no outside party hears from us
  // until the user points "url_checker" at a checker service they run.
  return MV_LIT("http://merovane-judge.invalid/");
}

void checker_location_reset() {
  forget_derived();
  url_list[0] = 0;
  list_loaded = false;
  url_choice = 0;
}

void checker_location_moved() {
  checker_location_reset();
  ++location_serial;
  public_addr = 0;
  myip_due_now = true;
  if (told == checks_state::on) {
    char line[128];
    const int n = format_myip_line(line, sizeof line, 0);
    if (n > 0) panel_broadcast(line, n);
  }
  told = checks_state::unknown;
  checks_state_start();
}

bool checker_try_next() {
  forget_derived();
  ++url_choice;
  char scratch[8];
  const unsigned count = pick_url(0, scratch, sizeof scratch);
  if (url_choice >= count) url_choice = 0;
  // Every URL of the list was tried without an answer.
  if (url_choice == 0) tell_checks(checks_state::off);
  return url_choice != 0;
}

checker_service checker_service_state() {
  switch (told) {
    case checks_state::on:
      return checker_service::answers;
    case checks_state::off:
      return checker_service::none;
    case checks_state::unknown:
      break;
  }
  return checker_service::unknown;
}

void checker_service_assume(checker_service state) {
  told = state == checker_service::answers ? checks_state::on
         : state == checker_service::none  ? checks_state::off
                                           : checks_state::unknown;
}

void checks_state_start() {
  if (std::strcmp(checker_url(), checker_default_url()) == 0) tell_checks(checks_state::off);
}

const char* checker_url() {
  if (std::strlen(url_cache) < 3) {
    if (!list_loaded) {
      setting_str(MV_LIT("url_checker"), url_list, sizeof url_list, 0);
      url_list[sizeof url_list - 1] = 0;
      list_loaded = true;
    }
    const unsigned count = pick_url(url_choice, url_cache, sizeof url_cache);
    if (count != 0 && url_choice >= count) {
      url_choice = 0;
      pick_url(0, url_cache, sizeof url_cache);
    }
    if (std::strlen(url_cache) < 3)
      std::snprintf(url_cache, sizeof url_cache, "%s", checker_default_url());
  }
  return url_cache;
}

void myip_slot_begin(int index) {
  slot_area<myip_area>(index).serial = location_serial;
}

const char* checker_host() {
  if (host_cache[0] == 0) {
    const char* p = url_host_start(checker_url());
    if (p == nullptr) return host_cache;
    size_t n = 0;
    while (n + 1 < sizeof host_cache && ascii_is_name_char(p[n])) {
      host_cache[n] = p[n];
      ++n;
    }
    host_cache[n] = 0;
  }
  return host_cache;
}

const char* checker_path() {
  if (path_cache[0] == 0) {
    const char* p = url_host_start(checker_url());
    if (p == nullptr) return path_cache;
    const char* slash = std::strchr(p, '/');
    if (slash == nullptr) return path_cache;
    std::snprintf(path_cache, sizeof path_cache, "%s", slash);
  }
  return path_cache;
}

uint32_t checker_addr() {
  uint32_t literal = 0;
  if (addr_cache == 0 && lookup_literal(checker_host(), &literal)) addr_cache = literal;
  return addr_cache;
}

checker_reach checker_resolve() {
  if (checker_addr() != 0) return checker_reach::ready;
  uint32_t literal = 0;
  if (lookup_literal(checker_host(), &literal)) return checker_reach::none;
  switch (lookup_phase) {
    case host_lookup::waiting:
      return checker_reach::waiting;
    case host_lookup::failed:
      lookup_phase = host_lookup::idle;  // the next request looks it up again
      return checker_reach::none;
    case host_lookup::idle:
      break;
  }
  lookup_ticket = lookup_begin(checker_host(), checker_host_answer, derived_serial);
  // A full table: asked again at the next pass.
  if (lookup_ticket != 0) lookup_phase = host_lookup::waiting;
  return checker_reach::waiting;
}

int format_myip_line(char* out, int capacity, uint32_t addr) {
  int n = std::snprintf(out, capacity, "%s", MV_LIT("<script type=\"text/javascript\">"));
  if (n < 0 || n >= capacity) return 0;
  int m = std::snprintf(out + n, capacity - n, MV_LIT("I(%lu,\"%u.%u.%u.%u\");"),
                        static_cast<unsigned long>(addr), addr & 0xFF, (addr >> 8) & 0xFF,
                        (addr >> 16) & 0xFF, addr >> 24);
  if (m < 0 || m >= capacity - n) return 0;
  n += m;
  m = std::snprintf(out + n, capacity - n, "%s", MV_LIT("</script>\n"));
  if (m < 0 || m >= capacity - n) return 0;
  return n + m;
}

void myip_handler(int index, char letter) {
  conn_slot& slot = conn_table[index];
  // A request to a location given up since: its answer is not wanted.
  const bool stale = slot_area<myip_area>(index).serial != location_serial;
  if (stale && letter != 'X') {
    slot_abort(index);
    return;
  }
  switch (letter) {
    case 'C': {
      char* request = judge_request(nullptr, judge_form::path_only);
      if (request == nullptr) return;  // the 60 s rule ends the connection
      slot_send(index, request, static_cast<int>(std::strlen(request)));
      std::free(request);
      return;
    }
    case 'T':
      abort_when_late(index, slot.started, 60000u);
      return;
    case 'X': {
      if (stale) return;
      public_addr = 0;
      if (slot.in.len > 0) parse_reply(slot.in.data, slot.in.len, nullptr);
      const bool moved = slot_area<myip_area>(index).serial != location_serial;
      if (public_addr == 0) {
        // This checker gave no usable answer: the next one of the list is
        // asked at once, the first again only at the next 15 s pass.
        if (!moved && checker_try_next()) myip_due_now = true;
        return;
      }
      char line[128];
      int n = format_myip_line(line, sizeof line, public_addr);
      if (n > 0) panel_broadcast(line, n);
      tell_checks(checks_state::on);
      return;
    }
    default:
      return;
  }
}
