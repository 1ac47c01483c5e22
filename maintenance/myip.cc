// The checker service's location and the public-address connection.
#include "maintenance/myip.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chain/select.h"
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

char url_cache[256];
char host_cache[64];
char path_cache[96];
uint32_t addr_cache = 0;

// One line when the checker service becomes reachable or stops being so.
void report_checker(bool reachable) {
  static int reported = -1;
  if (reported == static_cast<int>(reachable)) return;
  reported = static_cast<int>(reachable);
  if (reachable)
    console_line("checker %s reachable; public address %u.%u.%u.%u", checker_url(),
                 public_addr & 0xFF, (public_addr >> 8) & 0xFF, (public_addr >> 16) & 0xFF,
                 public_addr >> 24);
  else
    console_line("checker %s not reachable; proxies are not checked", checker_url());
}

}  // namespace

const char* checker_default_url() {
  // A reserved name that resolves nowhere: no outside party hears from us
  // until the user points "url_checker" at a checker service they run.
  return MV_LIT("http://merovane-judge.invalid/");
}

void checker_location_reset() {
  url_cache[0] = 0;
  host_cache[0] = 0;
  path_cache[0] = 0;
  addr_cache = 0;
}

const char* checker_url() {
  if (std::strlen(url_cache) < 3) {
    setting_str(MV_LIT("url_checker"), url_cache, sizeof url_cache, 0);
    url_cache[sizeof url_cache - 1] = 0;
    if (std::strlen(url_cache) < 3)
      std::snprintf(url_cache, sizeof url_cache, "%s", checker_default_url());
  }
  return url_cache;
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
  if (addr_cache == 0) addr_cache = resolve_host(checker_host());
  return addr_cache;
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
      public_addr = 0;
      if (slot.in.len > 0) parse_reply(slot.in.data, slot.in.len, nullptr);
      report_checker(public_addr != 0);
      if (public_addr != 0) {
        char line[128];
        int n = format_myip_line(line, sizeof line, public_addr);
        if (n > 0) panel_broadcast(line, n);
      }
      return;
    }
    default:
      return;
  }
}
