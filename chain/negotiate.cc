// Chain negotiation's outcome: the relay of an established pair (with the
// check of a plain HTTP last proxy's first reply), the report of a closing
// chain, and the client identification line.
#include "chain/negotiate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/random.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "chain/errorpage.h"
#include "chain/failover.h"
#include "chain/limits.h"
#include "chain/rewrite.h"
#include "chain/select.h"
#include "chain/usage.h"
#include "db/db.h"
#include "engine/loop.h"
#include "log/console.h"
#include "log/log.h"
#include "log/metrics.h"
#include "platform/clock.h"
#include "platform/resolve.h"
#include "util/ascii.h"
#include "util/http.h"
#include "util/literal.h"
#include "util/socks.h"

namespace {

// client_id_line state: the lines drawn at start (and again every ten
// hours), so that nothing in them is the same for every user.
char id_text[256];
size_t id_length = 0;
uint32_t id_built = 0;
char id_line[256];

// Browser identifications as ordinary browsers send them; %1$u is the
// major version, drawn from the range of the browser's recent releases.
struct agent_form {
  const char* format;
  uint16_t first_version;
  uint16_t versions;
};
constexpr agent_form AGENT_FORMS[] = {
    {"Mozilla/5.0 (X11; Linux x86_64; rv:%1$u.0) Gecko/20100101 Firefox/%1$u.0", 128, 12},
    {"Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:%1$u.0) Gecko/20100101 Firefox/%1$u.0", 128, 12},
    {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10.15; rv:%1$u.0) Gecko/20100101 Firefox/%1$u.0", 128,
     12},
    {"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/%1$u.0.0.0 Safari/537.36",
     126, 12},
    {"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/%1$u.0.0.0 Safari/537.36",
     126, 12},
    {"Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) "
     "Chrome/%1$u.0.0.0 Safari/537.36",
     126, 12},
};
constexpr const char* LANGUAGES[] = {
    "en-US,en;q=0.9",          "en-US,en;q=0.5",          "en-GB,en;q=0.9",
    "de-DE,de;q=0.9,en;q=0.8", "fr-FR,fr;q=0.9,en;q=0.8", "es-ES,es;q=0.9,en;q=0.8",
    "it-IT,it;q=0.9,en;q=0.8", "nl-NL,nl;q=0.9,en;q=0.8",
};

uint32_t random_word() {
  uint32_t value = 0;
  if (getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value))
    value = tick_now() * 2654435761u ^ static_cast<uint32_t>(wall_now_ms());
  return value;
}

// Draws one identification (User-Agent and Accept-Language lines) into
// id_text, different from the one it replaces.
void draw_identification() {
  char previous[sizeof id_text];
  memcpy(previous, id_text, sizeof previous);
  for (int attempt = 0; attempt < 8; ++attempt) {
    const uint32_t r = random_word();
    const agent_form& form = AGENT_FORMS[r % std::size(AGENT_FORMS)];
    const unsigned version = form.first_version + (r >> 8) % form.versions;
    const char* language = LANGUAGES[(r >> 16) % std::size(LANGUAGES)];
    char agent[200];
    snprintf(agent, sizeof agent, form.format, version);
    const int n = snprintf(id_text, sizeof id_text, "User-Agent: %s\r\nAccept-Language: %s\r\n",
                           agent, language);
    id_length = n > 0 ? (static_cast<size_t>(n) < sizeof id_text ? static_cast<size_t>(n)
                                                                 : sizeof id_text - 1)
                      : 0;
    if (previous[0] == 0 || strcmp(previous, id_text) != 0) return;
  }
}

}  // namespace

void chain_report(route_record& r, uint32_t bytes, int failed, int log_index) {
  if (r.hop_index >= MAX_HOPS || r.hop_count > MAX_HOPS) return;
  // An attempt another one beat proved nothing about its proxies.
  if (r.socks5_stage == RACE_LOST) return;
  if (!failed) {
    if (r.established) {
      usage_proxy list[MAX_HOPS + 1] = {};
      int n = 0;
      for (int i = 0; i < r.hop_count && r.hops[i].type != HOP_END; ++i)
        list[n++] = usage_proxy{r.hops[i].addr, r.hops[i].port};
      usage_record(list, bytes, 1);
      return;
    }
    if (r.hop_index + 1 == r.hop_count || !r.awaiting) return;
    if (log_index >= 0) log_line(log_index, "Server did not reply.");
    r.failed = 1;
  }
  if (r.hop_index + 1 == r.hop_count) {
    if (log_index >= 0) log_line(log_index, "Destination host error ignored.");
    return;
  }
  // A loop is no proxy's failure: the name or rule that leads back here is.
  if (r.socks5_stage == LOOP_FOUND) return;
  usage_proxy list[3] = {};
  list[0] = usage_proxy{r.hops[r.hop_index].addr, r.hops[r.hop_index].port};
  // A connect out of time is that proxy's own failure: nothing was asked
  // of the next one.
  const bool alone = r.socks5_stage == STEP_TIMED_OUT && !r.awaiting;
  if (!alone && r.hop_index + 1 < MAX_HOPS && r.hops[r.hop_index + 1].type != HOP_END)
    list[1] = usage_proxy{r.hops[r.hop_index + 1].addr, r.hops[r.hop_index + 1].port};
  usage_record(list, bytes, 0);
}

void chain_report(route_record& r, uint32_t bytes, int failed) {
  chain_report(r, bytes, failed, -1);
}

void chain_close(int index) {
  if (index < 0 || index >= SLOT_COUNT) return;
  conn_slot& s = conn_table[index];
  route_record& r = route_of(s);
  log_line(index, "Chain connection closed.");
  if (r.side != 0) return;  // the client side holds no hops
  if (r.socks5_stage == RACE_LOST) return;
  // A chain that never stood is counted where its failure is decided
  // (retried, or given up for the client).
  if (r.established) metrics_chain_closed(r.failed == 0, s.out.total, s.in.total);
  chain_report(r, s.out.total, r.failed, index);
  if (r.failed) chain_cache_clear();
  if (log_level_get() <= 0) return;
  char text[1400];
  size_t used = 0;
  text[0] = '\0';
  // A destination alone was reached directly, by a rule.
  if (r.hop_count == 1) chain_text_put(text, sizeof text, used, "direct ");
  for (int i = 0; i < r.hop_count && i < MAX_HOPS; ++i) {
    const hop& h = r.hops[i];
    const char* sep = i == 0 ? "" : " ";
    if (h.type == HOP_END && (h.addr == 0 || host_is_name(s.dest_host))) {
      char shown[DEST_HOST_SIZE + 2];
      host_for_display(s.dest_host, shown, sizeof shown);
      chain_text_put(text, sizeof text, used, "%s%.257s:%u", sep, shown,
                     static_cast<unsigned>(h.port));
    } else {
      uint8_t b[4];
      hop_addr_bytes(h, b);
      chain_text_put(text, sizeof text, used, "%s%u.%u.%u.%u:%u", sep, b[0], b[1], b[2], b[3],
                     static_cast<unsigned>(h.port));
    }
  }
  traffic_record(text, s.in.total, s.out.total);
}

const char* client_id_line(int flag) {
  const uint32_t now = tick_now();
  if (id_length == 0 || now - id_built > 36000000u) {
    draw_identification();
    id_built = now;
  }
  size_t used = 0;
  id_line[0] = '\0';
  chain_text_put(id_line, sizeof id_line - 2, used, "%s", id_text);
  if (flag == 1)
    chain_text_put(id_line, sizeof id_line - 2, used, "%s", MV_LIT("Connection: close\r\n"));
  chain_text_put(id_line, sizeof id_line, used, "\r\n");
  return id_line;
}

namespace {

enum class first_reply { pass, hold, refused };

// Bytes of a status line worth waiting for before judging it.
constexpr uint32_t STATUS_LINE_WAIT = 64;

// The first reply through a plain HTTP last proxy, judged while all of it
// is still here: a 407 is the proxy wanting a sign-in it has not got (or
// refusing ours), not the site's answer.
first_reply judge_http_hop_reply(const conn_slot& out) {
  const route_record& ro = route_of(out);
  if (ro.side != 0 || !ro.established || ro.hop_proto != PT_HTTP || ro.failed || ro.hop_count < 2 ||
      ro.hop_count > MAX_HOPS)
    return first_reply::pass;
  if (out.in.len == 0 || out.in.total != out.in.len) return first_reply::pass;
  const void* end = memchr(out.in.data, '\n', out.in.len);
  if (end == nullptr && out.in.len < STATUS_LINE_WAIT && !(out.flags & SLOT_CLOSE_REQUESTED))
    return first_reply::hold;
  const size_t line = end != nullptr
                          ? static_cast<size_t>(static_cast<const uint8_t*>(end) - out.in.data)
                          : out.in.len;
  return status_is_407(out.in.data, line) ? first_reply::refused : first_reply::pass;
}

// The client gets this program's own 502 page naming the proxy; nothing
// of the proxy's reply reaches it. The proxy is marked and counted failed.
void refuse_http_hop(int out) {
  conn_slot& o = conn_table[out];
  route_record& ro = route_of(o);
  const hop& proxy = ro.hops[ro.hop_count - 2];
  ro.failed = 1;
  log_line(out, "Unexpected: %s", "authentication refused");
  proxy_auth_refused(proxy.addr, proxy.port, 1);
  const usage_proxy blamed[2] = {{proxy.addr, proxy.port}, {0, 0}};
  usage_record(blamed, 0, 0);
  chain_cache_clear();
  slot_consume(out, o.in.len, 0);
  chain_failure f{};
  f.fault = chain_fault::auth_refused;
  f.hop = static_cast<uint8_t>(ro.hop_count - 2);
  f.proxy = proxy_ref{proxy.addr, proxy.port};
  char why[FAILURE_TEXT_SIZE];
  chain_failure_text(f, why, sizeof why);
  const int client = slot_linked(out);
  if (client >= 0) send_bad_gateway(client, why, &conn_table[client]);
  slot_abort(out);
}

// The first reply through a plain HTTP last proxy is judged first; then
// rewriting, then the relay; a reply head that is not whole yet waits in
// the outbound slot's input, except when the pair closes.
void relay_pair(int index, bool closing) {
  const int other = slot_linked(index);
  if (other < 0) return;
  const int out = route_of(index).side == 0 ? index : other;
  const first_reply verdict = judge_http_hop_reply(conn_table[out]);
  if (verdict == first_reply::refused) {
    refuse_http_hop(out);
    return;
  }
  if (verdict == first_reply::hold && !closing) return;
  const uint32_t held = relay_hook(index, other);
  slot_relay_holding(index, out, closing ? 0 : held);
}
}  // namespace

void chain_relay(int index) {
  relay_pair(index, false);
}

void chain_relay_handler(int index, char letter) {
  // Drained output needs nothing here: the socket layer resumes reading the
  // other side by itself once there is room.
  if (letter == slot_event::drained) return;
  relay_pair(index, letter == slot_event::closing);
  if (letter == slot_event::closing) chain_close(index);
}

void chain_attach() {
  slot_attach(slot_kind::chain, chain_handler);
  slot_attach(slot_kind::relay, chain_relay_handler);
  slot_set_raw_test(relay_bytes_unseen);
  engine_every(USAGE_FLUSH_MS, usage_flush, usage_wait_ms);
  engine_every(LOOKUP_POLL_MS, chain_lookups_poll, [] { return resolve_busy() ? 0 : ENGINE_IDLE; });
}
