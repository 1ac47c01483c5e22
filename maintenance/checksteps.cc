// The connections of a check. Each opens to the proxy, asks it in its
// protocol for the target (the checker service on port 80, or a check
// site), sends the request once the proxy agreed, and ends: at the answer's
// close, at a refusal, or at its deadline (the connect 5 s, each reply the
// "check_timeout"). What it learned goes back to its job at the close.
#include "maintenance/checksteps.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "db/db.h"
#include "engine/slot.h"
#include "maintenance/checksite.h"
#include "maintenance/handlers.h"
#include "maintenance/myip.h"
#include "platform/clock.h"
#include "util/http.h"
#include "util/literal.h"
#include "util/socks.h"

static_assert(sizeof(check_conn) <= ROUTE_SIZE);

namespace {

constexpr size_t REQUEST_BUFFER = 4096;
constexpr int OPENING_LIMIT = 1023;

uint32_t reply_limit_ms = CHECK_TIMEOUT_DEFAULT * 1000u;
uint32_t pace_ms = 0;
uint32_t last_paced = 0;
bool paced_once = false;

check_conn& conn_of(int index) {
  return slot_area<check_conn>(index);
}

void expect_reply(check_conn& c) {
  c.deadline = tick_now() + reply_limit_ms;
  if (c.deadline == 0) c.deadline = 1;
}

// Where the proxy is asked to connect.
struct check_target {
  uint32_t addr;
  uint16_t port;
  char host[CHECK_SITE_HOST_SIZE];
};

// Address 0 when there is none (the site list changed meanwhile, the checker
// moved): a proxy is never asked to connect to 0.0.0.0, its own machine.
check_target target_of(const check_conn& c) {
  check_target t{};
  if (c.mode == check_mode::reach) {
    const check_site* site = check_site_at(c.site);
    if (site == nullptr) return t;
    t.addr = site->addr;
    t.port = site->port;
    std::snprintf(t.host, sizeof t.host, "%s", site->host);
  } else {
    t.addr = checker_addr();
    t.port = 80;
    std::snprintf(t.host, sizeof t.host, "%s", checker_host());
  }
  return t;
}

// A request to the checker service may go out now; one to a check site
// always may.
bool pace_allows(const check_conn& c) {
  if (c.mode != check_mode::service || pace_ms == 0) return true;
  const uint32_t now = tick_now();
  if (paced_once && now - last_paced < pace_ms) return false;
  paced_once = true;
  last_paced = now;
  return true;
}

// Marks a request that may not go out yet as waiting (no deadline meanwhile).
bool must_wait_turn(check_conn& c) {
  c.waiting_pace = pace_allows(c) ? 0 : 1;
  if (c.waiting_pace) c.deadline = 0;
  return c.waiting_pace != 0;
}

// The stored sign-in of the proxy under check.
bool login_of(const check_record& rec, proxy_login& login) {
  return proxy_credentials(rec.ip, rec.port, login);
}

// "Proxy-Authorization" line for the proxy under check ("" without a sign-in).
void basic_line_of(const check_record& rec, char* out, size_t size) {
  out[0] = 0;
  proxy_login login{};
  if (login_of(rec, login))
    http_basic_line(std::string_view(login.user, login.user_length),
                    std::string_view(login.pass, login.pass_length), out, size);
  std::memset(&login, 0, sizeof login);
}

// The request in path form, through an opened tunnel.
void send_request(int index) {
  check_conn& c = conn_of(index);
  if (must_wait_turn(c)) return;
  char* request = nullptr;
  size_t n = 0;
  if (c.mode == check_mode::reach) {
    request = static_cast<char*>(std::malloc(REQUEST_BUFFER));
    const check_site* site = check_site_at(c.site);
    if (request != nullptr && site != nullptr)
      n = check_site_request(*site, false, "", request, REQUEST_BUFFER);
  } else {
    request = judge_request(&c.rec, judge_form::path_only);
    if (request != nullptr) n = std::strlen(request);
  }
  if (n == 0) {
    std::free(request);
    slot_abort(index);
    return;
  }
  slot_send(index, request, static_cast<int>(n));
  std::free(request);
  c.request_sent = 1;
  expect_reply(c);
}

// A tunnel reply head with a 2xx status.
bool tunnel_granted(const uint8_t* data, size_t len) {
  constexpr http_status_rules rules = {.leading_blanks = true,
                                       .version_digits = false,
                                       .gap_required = false,
                                       .gap_blanks = true,
                                       .status_digits = 6};
  const int status = http_status_parse(data, len, rules).code;
  return status >= 200 && status <= 299;
}

// The reply starts with a status line of the given status.
bool status_is(const uint8_t* d, size_t n, const char* status) {
  if (d == nullptr || n < 12 || std::memcmp(d, "HTTP/", 5) != 0) return false;
  const uint8_t* space = static_cast<const uint8_t*>(std::memchr(d, ' ', n < 16 ? n : 16));
  return space != nullptr && static_cast<size_t>(space - d) + 4 <= n &&
         std::memcmp(space + 1, status, 3) == 0;
}

void send_socks5_connect(int index) {
  const check_target t = target_of(conn_of(index));
  uint8_t req[SOCKS_REQUEST_MAX];
  const size_t n = socks5_request(socks_ipv4(t.addr, t.port), req, sizeof req);
  slot_send(index, req, static_cast<int>(n));
  conn_of(index).rec.step = CHECK_SOCKS5_CONNECT;
  expect_reply(conn_of(index));
}

// The first bytes of each step, once the proxy under check is connected.

// SOCKS4 request; the stored user goes in as the user-id.
void send_socks4_opening(int index, const check_record& rec) {
  const check_target t = target_of(conn_of(index));
  proxy_login login{};
  login_of(rec, login);
  uint8_t req[SOCKS_REQUEST_MAX];
  const size_t n = socks4_request(socks_ipv4(t.addr, t.port),
                                  std::string_view(login.user, login.user_length), req, sizeof req);
  if (n > 0)
    slot_send(index, req, static_cast<int>(n));
  else
    slot_abort(index);
  std::memset(&login, 0, sizeof login);
  std::memset(req, 0, sizeof req);
}

// SOCKS5 greeting: user/password is offered when the proxy has credentials.
void send_socks5_opening(int index, const check_record& rec) {
  proxy_login login{};
  if (login_of(rec, login))
    slot_send(index, SOCKS5_GREETING_WITH_LOGIN.data(),
              static_cast<int>(SOCKS5_GREETING_WITH_LOGIN.size()));
  else
    slot_send(index, SOCKS5_GREETING.data(), static_cast<int>(SOCKS5_GREETING.size()));
  std::memset(&login, 0, sizeof login);
}

// The request itself, with an absolute target, to a plain HTTP proxy; the
// sign-in line right after the request line.
size_t http_opening(const check_conn& c, char* out, size_t capacity) {
  char line[4 * PROXY_LOGIN_MAX];
  basic_line_of(c.rec, line, sizeof line);
  size_t n = 0;
  if (c.mode == check_mode::reach) {
    const check_site* site = check_site_at(c.site);
    if (site != nullptr) n = check_site_request(*site, true, line, out, capacity);
  } else if (char* request = judge_request(&c.rec, judge_form::full_url)) {
    const char* first_end = std::strstr(request, "\r\n");
    const size_t first = first_end != nullptr ? static_cast<size_t>(first_end - request) + 2 : 0;
    const int w = std::snprintf(out, capacity, "%.*s%s%s", static_cast<int>(first), request, line,
                                request + first);
    n = w < 0 || static_cast<size_t>(w) >= capacity ? 0 : static_cast<size_t>(w);
    std::free(request);
  }
  std::memset(line, 0, sizeof line);
  return n;
}

void send_http_opening(int index) {
  check_conn& c = conn_of(index);
  if (must_wait_turn(c)) return;
  char* request = static_cast<char*>(std::malloc(REQUEST_BUFFER + 4 * PROXY_LOGIN_MAX));
  const size_t n =
      request != nullptr ? http_opening(c, request, REQUEST_BUFFER + 4 * PROXY_LOGIN_MAX) : 0;
  if (n == 0) {
    std::free(request);
    slot_abort(index);
    return;
  }
  const bool secret = std::strstr(request, "Proxy-Authorization") != nullptr;
  if (secret) conn_table[index].flags |= SLOT_SECRET_OUTPUT;
  slot_send(index, request, static_cast<int>(n));
  std::memset(request, 0, n);
  std::free(request);
  c.request_sent = 1;
  expect_reply(c);
}

// The CONNECT tunnel to the target, with the sign-in line.
void send_https_opening(int index, const check_record& rec) {
  const check_target t = target_of(conn_of(index));
  char line[4 * PROXY_LOGIN_MAX];
  basic_line_of(rec, line, sizeof line);
  char tunnel[OPENING_LIMIT + sizeof line + 1];
  const int n = std::snprintf(tunnel, sizeof tunnel,
                              MV_LIT("CONNECT %s:%u HTTP/1.0\r\nHost: %s:%u\r\n%s\r\n"), t.host,
                              t.port, t.host, t.port, line);
  if (n > 0 && static_cast<size_t>(n) < sizeof tunnel)
    slot_send(index, tunnel, n);
  else
    slot_abort(index);
  std::memset(line, 0, sizeof line);
  std::memset(tunnel, 0, sizeof tunnel);
}

void on_connected(int index) {
  check_conn& c = conn_of(index);
  c.connected = 1;
  if (target_of(c).addr == 0) {
    slot_abort(index);
    return;
  }
  c.rec.phase = 1;
  expect_reply(c);
  switch (c.rec.step) {
    case CHECK_SOCKS4:
      send_socks4_opening(index, c.rec);
      break;
    case CHECK_SOCKS5:
      send_socks5_opening(index, c.rec);
      break;
    case CHECK_HTTP:
      send_http_opening(index);
      break;
    case CHECK_HTTPS:
      send_https_opening(index, c.rec);
      break;
    default:
      slot_abort(index);
      return;
  }
}

// Each step reader: the tunnel reply of its step; the request goes out once
// the proxy agreed, the slot is aborted when it refused.

void socks4_input(int index, stream& in, check_record& rec) {
  if (in.len < 8) return;
  if (rec.phase++ != 1) {
    slot_abort(index);
    return;
  }
  const bool granted = socks4_granted(in.data);
  slot_consume_input(index, granted ? 8 : in.len);
  if (granted)
    send_request(index);
  else
    slot_abort(index);
}

// RFC 1929 sign-in with the proxy's stored user and password.
void send_socks5_login(int index, const proxy_login& login) {
  uint8_t msg[SOCKS5_LOGIN_MAX];
  const size_t n = socks5_login(std::string_view(login.user, login.user_length),
                                std::string_view(login.pass, login.pass_length), msg, sizeof msg);
  conn_table[index].flags |= SLOT_SECRET_OUTPUT;
  slot_send(index, msg, static_cast<int>(n));
  std::memset(msg, 0, sizeof msg);
}

// The method reply: a sign-in when asked for and held, else the connect
// request; false when the step ended or waits for the sign-in reply.
bool socks5_method_input(int index, stream& in, check_record& rec) {
  if (rec.phase++ != 1) {
    slot_abort(index);
    return false;
  }
  const uint8_t method = in.data[0] == 0x05 ? in.data[1] : 0xFF;
  slot_consume_input(index, 2);
  proxy_login login{};
  const bool has_login = login_of(rec, login);
  if (method == 0x02 && has_login) {
    send_socks5_login(index, login);
    std::memset(&login, 0, sizeof login);
    rec.step = CHECK_SOCKS5_LOGIN;
    rec.phase = 1;
    expect_reply(conn_of(index));
    return false;
  }
  std::memset(&login, 0, sizeof login);
  if (method != 0x00) {
    if (method == 0x02 || (method == 0xFF && has_login)) proxy_auth_refused(rec.ip, rec.port, 1);
    slot_abort(index);
    return false;
  }
  send_socks5_connect(index);
  return true;
}

// The sign-in reply: its outcome is recorded; accepted, the connect follows.
void socks5_login_input(int index, stream& in, check_record& rec) {
  if (rec.phase++ != 1) {
    slot_abort(index);
    return;
  }
  const bool accepted = in.data[0] == 0x01 && in.data[1] == 0x00;
  slot_consume_input(index, 2);
  proxy_auth_refused(rec.ip, rec.port, accepted ? 0 : 1);
  if (!accepted) {
    slot_abort(index);
    return;
  }
  rec.phase = 2;
  send_socks5_connect(index);
}

void socks5_connect_input(int index, stream& in, check_record& rec) {
  if (in.len < 10) return;
  if (rec.phase++ != 2) {
    slot_abort(index);
    return;
  }
  const bool granted = socks5_succeeded(in.data);
  slot_consume_input(index, 10);
  if (granted)
    send_request(index);
  else
    slot_abort(index);
}

void https_input(int index, stream& in, check_record& rec) {
  if (in.len < 7) return;
  const http_head_bounds head = http_head_find(in.data, in.len);
  if (head.body == 0) return;
  if (status_is(in.data, in.len, "407")) proxy_auth_refused(rec.ip, rec.port, 1);
  if (rec.phase++ != 1 || !tunnel_granted(in.data, in.len)) {
    slot_abort(index);
    return;
  }
  slot_consume_input(index, static_cast<uint32_t>(head.body));
  send_request(index);
}

// The protocol bit of a step (the SOCKS5 sub-steps count as SOCKS5).
uint8_t step_protocol(uint8_t step) {
  return step == CHECK_SOCKS5_CONNECT || step == CHECK_SOCKS5_LOGIN ? CHECK_SOCKS5 : step;
}

// The answer to the request: a check site's page is judged as it comes
// (the step ends at its verdict); the service's reply is read at the close.
void answer_input(int index, stream& in, check_conn& c) {
  if (c.mode != check_mode::reach) {
    if (in.len > CHECK_PAGE_LIMIT) slot_abort(index);
    return;
  }
  const check_site* site = check_site_at(c.site);
  const page_verdict v =
      site != nullptr ? check_site_judge(*site, in.data, in.len, false) : page_verdict::failed;
  if (v == page_verdict::passed) c.rec.verdict |= step_protocol(c.rec.step);
  if (v != page_verdict::more) {
    c.rec.step = 0;  // judged: nothing more is read at the close
    slot_abort(index);
  }
}

void on_input(int index) {
  conn_slot& slot = conn_table[index];
  check_conn& c = conn_of(index);
  check_record& rec = c.rec;
  stream& in = slot.in;
  if (in.len > 0) c.heard = 1;
  if (c.request_sent) {
    answer_input(index, in, c);
    return;
  }
  if (c.waiting_pace) return;
  if (in.len < 2) return;
  switch (rec.step) {
    case CHECK_SOCKS4:
      socks4_input(index, in, rec);
      return;
    case CHECK_SOCKS5:
      if (socks5_method_input(index, in, rec) && in.len >= 10) socks5_connect_input(index, in, rec);
      return;
    case CHECK_SOCKS5_CONNECT:
      socks5_connect_input(index, in, rec);
      return;
    case CHECK_SOCKS5_LOGIN:
      socks5_login_input(index, in, rec);
      return;
    case CHECK_HTTPS:
      https_input(index, in, rec);
      return;
    default:
      slot_abort(index);
  }
}

// The close: the answer read so far is judged, and the job hears of it.
void on_close(int index) {
  conn_slot& slot = conn_table[index];
  check_conn c = conn_of(index);
  check_record& rec = c.rec;
  rec.step = step_protocol(rec.step);
  if (rec.step == CHECK_HTTP && status_is(slot.in.data, slot.in.len, "407"))
    proxy_auth_refused(rec.ip, rec.port, 1);
  if (rec.step != 0 && c.request_sent && slot.in.len > 3) {
    if (c.mode == check_mode::reach) {
      const check_site* site = check_site_at(c.site);
      if (site != nullptr &&
          check_site_judge(*site, slot.in.data, slot.in.len, true) == page_verdict::passed)
        rec.verdict |= rec.step;
    } else {
      parse_reply(slot.in.data, slot.in.len, &rec);
    }
  }
  if (rec.verdict != 0 && rec.reply_ms == 0) {
    const uint32_t elapsed = tick_now() - rec.step_started;
    rec.reply_ms = elapsed == 0 ? 1 : elapsed;
  }
  // Accepted, then not a byte nor a close within the limit: a silent proxy.
  const bool silent = c.timed_out && !c.heard && slot.in.len == 0;
  check_job_step_ended(c.job, c.job_serial, rec, c.connected != 0, silent);
}

}  // namespace

bool check_step_open(uint16_t job, uint32_t serial, const check_job& from, uint8_t step) {
  const int index = slot_alloc(0);
  if (index < 1) return false;
  conn_slot& slot = conn_table[index];
  slot.kind = slot_kind::check;
  slot.proto = 0;
  const uint32_t a = from.rec.ip;
  std::snprintf(slot.dest_host, sizeof slot.dest_host, "%u.%u.%u.%u", a & 0xFF, (a >> 8) & 0xFF,
                (a >> 16) & 0xFF, a >> 24);
  slot.dest_port = from.rec.port;
  std::memset(slot.route, 0, ROUTE_SIZE);
  check_conn& c = conn_of(index);
  c.rec = from.rec;
  c.rec.step = step;
  c.rec.verdict = 0;
  c.rec.reply_ms = 0;
  c.rec.phase = 0;
  c.rec.step_started = tick_now();
  c.job = job;
  c.job_serial = serial;
  c.mode = from.mode;
  c.site = from.site;
  c.deadline = tick_now() +
               (reply_limit_ms < CHECK_CONNECT_LIMIT_MS ? reply_limit_ms : CHECK_CONNECT_LIMIT_MS);
  if (c.deadline == 0) c.deadline = 1;
  if (!slot_connect(index, from.rec.ip, from.rec.port)) {
    // The close reaches the handler, which tells the job.
    slot_abort(index);
  }
  return true;
}

int check_steps_tick() {
  const uint32_t now = tick_now();
  int waiting = 0;
  for (int i = 1; i < SLOT_COUNT; ++i) {
    conn_slot& slot = conn_table[i];
    if (slot.sock == -1) break;  // occupied slots form a prefix
    if (slot.kind != slot_kind::check || (slot.flags & SLOT_CLOSE_REQUESTED)) continue;
    check_conn& c = conn_of(i);
    if (c.waiting_pace) {
      if (c.rec.step == CHECK_HTTP)
        send_http_opening(i);
      else
        send_request(i);
      waiting += c.waiting_pace;
      continue;
    }
    if (c.deadline != 0 && static_cast<int32_t>(now - c.deadline) >= 0) {
      c.timed_out = 1;
      slot_abort(i);
    }
  }
  return waiting;
}

void check_steps_set_timeout(uint32_t ms) {
  reply_limit_ms = ms == 0 ? 1000 : ms;
}

void check_pace_set(uint32_t ms) {
  pace_ms = ms;
}

void check_steps_reset() {
  reply_limit_ms = CHECK_TIMEOUT_DEFAULT * 1000u;
  pace_ms = 0;
  last_paced = 0;
  paced_once = false;
}

void check_handler(int index, char letter) {
  switch (letter) {
    case 'C':
      on_connected(index);
      return;
    case 'R':
      on_input(index);
      return;
    case 'T': {
      // A step that somehow lost its deadline still ends within a minute;
      // one waiting for its turn at the service is not late.
      check_conn& c = conn_of(index);
      if (!c.waiting_pace) abort_when_late(index, c.rec.step_started, 60000u);
      return;
    }
    case 'X':
      on_close(index);
      return;
    default:
      return;
  }
}
