// The network status page: the connection table as HTML rows, one per open
// slot, with a detail cell by kind. Every text that comes from a client, a
// proxy list or the database is escaped before it reaches the page.
#include "panel/status.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chain/failover.h"
#include "chain/route.h"
#include "db/db.h"
#include "engine/slot.h"
#include "maintenance/checker.h"
#include "panel/server.h"
#include "panel/textbuf.h"
#include "platform/clock.h"
#include "platform/resolve.h"
#include "util/literal.h"
#include "util/text.h"

namespace {

constexpr int UNUSED_RUN_END = 10;

// Bounded copy of a NUL-terminated text that may fill its whole field.
void copy_field(const char* field, size_t field_size, char* out, size_t capacity) {
  size_t n = strnlen(field, field_size);
  if (n >= capacity) n = capacity - 1;
  memcpy(out, field, n);
  out[n] = 0;
}

// "a.b.c.d" with parts 0-255 to the proxy table's ip number.
bool dotted_ip(const char* text, uint32_t* ip) {
  uint32_t parts[4] = {0, 0, 0, 0};
  int part = 0;
  int digits = 0;
  for (const char* p = text; *p; ++p) {
    if (*p >= '0' && *p <= '9') {
      parts[part] = parts[part] * 10 + static_cast<uint32_t>(*p - '0');
      if (parts[part] > 255 || ++digits > 3) return false;
    } else if (*p == '.' && digits > 0 && part < 3) {
      ++part;
      digits = 0;
    } else {
      return false;
    }
  }
  if (part != 3 || digits == 0) return false;
  *ip = parts[0] | parts[1] << 8 | parts[2] << 16 | parts[3] << 24;
  return true;
}

uint32_t seconds_since(uint32_t stamp, uint32_t now) {
  uint32_t elapsed = stamp != 0 ? now - stamp : 0;
  return (elapsed + 500) / 1000;
}

const char* protocol_under_test(uint8_t step) {
  switch (step) {
    case 16:
    case 17:
      return "SOCKS5";
    case 32:
      return "HTTP";
    case 64:
      return "HTTPS";
    default:
      return "SOCKS4";
  }
}

char* hop_address_span(const uint8_t* bytes) {
  hop h;
  memcpy(&h, bytes, sizeof h);
  const uint8_t* a = reinterpret_cast<const uint8_t*>(&h.addr);
  char text[20];
  snprintf(text, sizeof text, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
  return status_address(nullptr, text, h.port, nullptr);
}

// Row start plus one detail cell text (already escaped) and the row end.
// Row start, then one detail cell (already escaped; empty shows a blank) and the row end.
char* detail_row(const conn_slot& slot, const char* cell, const char* row_end) {
  char* start = status_row_start(slot);
  if (start == nullptr) return nullptr;
  textbuf row{};
  textbuf_add(row, start);
  free(start);
  textbuf_add(row, MV_LIT("<td>"));
  textbuf_add(row, cell != nullptr && cell[0] != 0 ? cell : "&nbsp;");
  textbuf_add(row, row_end);
  return textbuf_take(row);
}

char* simple_row(const conn_slot& slot, const char* cell) {
  return detail_row(slot, cell, MV_LIT("</td></tr>\n"));
}

}  // namespace

const char* status_kind_label(const conn_slot& slot) {
  switch (slot.kind) {
    case slot_kind::listen:
      return "Listen";
    case slot_kind::web:
    case slot_kind::web_push:
      return "Web server";
    case slot_kind::check:
    case slot_kind::chain_test:
      return "Proxy check";
    case slot_kind::myip:
      return "Get My IP";
    case slot_kind::chain:
    case slot_kind::relay:
      return route_of(slot).side != 0 ? "Chain-L" : "Chain-R";
    case slot_kind::download:
      return "Download";
    case slot_kind::error:
      return "Error";
    default:
      return "Unknown";
  }
}

namespace {

char* hop_list(const conn_slot& slot) {
  const route_record& r = route_of(slot);
  bool established = slot.kind == slot_kind::relay;
  int count = r.hop_count < MAX_HOPS ? r.hop_count : MAX_HOPS;
  textbuf out{};
  for (int i = 0; i < count; ++i) {
    hop h;
    memcpy(&h, &r.hops[i], sizeof h);
    char address[128];
    if (i == count - 1) {
      char host[DEST_HOST_SIZE];
      copy_field(slot.dest_host, sizeof slot.dest_host, host, sizeof host);
      host_for_display(host, address, sizeof address);  // an IPv6 address in brackets
    } else {
      const uint8_t* a = reinterpret_cast<const uint8_t*>(&h.addr);
      snprintf(address, sizeof address, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    }
    bool done = established || i < r.hop_index;
    const char* cls = done ? " net_status_connected" : " net_status_connecting";
    const char* suffix = done ? ", Connected" : i == r.hop_index ? ", Connecting" : ", Pending";
    char* span = status_address(cls, address, h.port, suffix);
    if (span == nullptr) continue;
    if (i > 0) textbuf_add(out, " &rarr; ");
    textbuf_add(out, span);
    free(span);
  }
  return textbuf_take(out);
}

// A row whose cell is a text field of the slot, escaped for HTML.
char* text_field_row(const conn_slot& slot, const char* field, size_t size) {
  char text[ROUTE_SIZE];
  char cell[ROUTE_SIZE * 6];
  copy_field(field, size, text, size < sizeof text ? size : sizeof text);
  text_escape_html(cell, sizeof cell, text);
  return simple_row(slot, cell);
}

// A detail row around a heap text, which it frees; null without the text.
char* detail_row_taking(const conn_slot& slot, char* text, const char* tail) {
  char* row = text != nullptr ? detail_row(slot, text, tail) : nullptr;
  free(text);
  return row;
}

char* check_row(const conn_slot& slot) {
  check_record rec;
  memcpy(&rec, slot.route, sizeof rec);
  char host[DEST_HOST_SIZE];
  copy_field(slot.dest_host, sizeof slot.dest_host, host, sizeof host);
  char* span = status_address(nullptr, host, slot.dest_port, nullptr);
  textbuf cell{};
  textbuf_add(cell, span);
  textbuf_addf(cell, " checking %s", protocol_under_test(rec.step));
  free(span);
  return detail_row_taking(slot, textbuf_take(cell), MV_LIT("</td></tr>\n"));
}

char* chain_test_row(const conn_slot& slot) {
  char* first = hop_address_span(slot.route);
  char* second = hop_address_span(slot.route + sizeof(hop));
  textbuf cell{};
  textbuf_add(cell, first);
  textbuf_add(cell, " &rarr; ");
  textbuf_add(cell, second);
  free(first);
  free(second);
  return detail_row_taking(slot, textbuf_take(cell), MV_LIT("</td></tr>"));
}

// A chain's client side shows its target, the other side its hops.
char* route_row(const conn_slot& slot) {
  const route_record& r = route_of(slot);
  if (r.side != 0) {
    char target[TARGET_SIZE];
    char cell[TARGET_SIZE * 6];
    copy_field(r.target, sizeof r.target, target, sizeof target);
    text_escape_html(cell, sizeof cell, target);
    // A client being carried by a later attempt shows which, and why the
    // last one failed.
    char note[FAILURE_TEXT_SIZE + 48], shown[sizeof note * 6];
    if (chain_attempt_note(r, note, sizeof note) > 0) {
      text_escape_html(shown, sizeof shown, note);
      return detail_row_taking(slot, text_append_format(nullptr, "%s<br><i>%s</i>", cell, shown),
                               MV_LIT("</td></tr>\n"));
    }
    return detail_row(slot, cell, MV_LIT("</td></tr>\n"));
  }
  return detail_row_taking(slot, hop_list(slot), MV_LIT("</td></tr>\n"));
}

char* client_row(const conn_slot& slot) {
  return text_append_format(
      nullptr,
      MV_LIT("<tr><td>&nbsp;</td><td id=\"s%d\">%d</td><td colspan=\"7\">Client connection, "
             "state %u</td></tr>\n"),
      slot.sock, slot.sock, static_cast<unsigned>(slot.kind));
}

char* slot_row(const conn_slot& slot) {
  switch (slot.kind) {
    case slot_kind::listen:
    case slot_kind::error:
      return text_field_row(slot, slot_area<slot_text>(slot).text, ROUTE_SIZE);
    case slot_kind::web:
    case slot_kind::web_push: {
      const panel_slot_record& rec = slot_area<panel_slot_record>(slot);
      return text_field_row(slot, rec.file, sizeof rec.file);
    }
    case slot_kind::check:
      return check_row(slot);
    case slot_kind::chain_test:
      return chain_test_row(slot);
    case slot_kind::myip:
    case slot_kind::download:
      return simple_row(slot, "&nbsp;");
    case slot_kind::chain:
    case slot_kind::relay:
      return route_row(slot);
    default:
      return client_row(slot);
  }
}

}  // namespace

char* status_address(const char* cls, const char* address, unsigned port, const char* suffix) {
  if (address == nullptr) address = "";
  if (cls == nullptr) cls = "";
  if (suffix == nullptr) suffix = "";
  char* host = nullptr;
  uint32_t ip;
  if (dotted_ip(address, &ip))
    host = db_query_text("", "", MV_LIT("SELECT host FROM proxy WHERE ip=%u AND port=%d LIMIT 1"),
                         ip, static_cast<int>(port));
  const char* shown = host != nullptr && host[0] != 0 ? host : address;
  char title[DEST_HOST_SIZE * 6];
  char text[DEST_HOST_SIZE * 6];
  text_escape_html(title, sizeof title, shown);
  text_escape_html(text, sizeof text, address);
  textbuf out{};
  textbuf_addf(out, MV_LIT("<%s title=\"%s port %u%s\" class=\"help%s\">%s</%s>"), "span", title,
               port, suffix, cls, text, "span");
  free(host);
  return textbuf_take(out);
}

char* status_row_start(const conn_slot& slot) {
  uint32_t now = tick_now();
  char age[16];
  char idle[16];
  snprintf(age, sizeof age, "%u", seconds_since(slot.started, now));
  snprintf(idle, sizeof idle, "%u", seconds_since(slot.last_activity, now));
  char link[256];
  if (slot.link_sock != 0 && slot.link_sock != -1)
    snprintf(link, sizeof link,
             MV_LIT("<td><a href=\"#s%d\" class=\"net_status_link%d\" title=\"Linked to socket "
                    "%d\">%d</a></td>"),
             slot.link_sock, slot.link_sock, slot.link_sock, slot.link_sock);
  else
    snprintf(link, sizeof link, "%s", MV_LIT("<td>&nbsp;</td>"));
  char cells[2][128];
  const stream* streams[2] = {&slot.in, &slot.out};
  for (int i = 0; i < 2; ++i) {
    if (streams[i]->len > 0)
      snprintf(cells[i], sizeof cells[i],
               MV_LIT("<td class=\"net_status_buffered\" title=\"%u bytes buffered\">%u</td>"),
               streams[i]->len, streams[i]->total);
    else
      snprintf(cells[i], sizeof cells[i], MV_LIT("<td>%u</td>"), streams[i]->total);
  }
  return text_append_format(
      nullptr,
      MV_LIT("<tr><td>%u%s</td><td><a name=\"s%d\" id=\"s%d\" title=\"Socket %d\">%d</a></td>%s"
             "<td>%s</td><td>%s</td><td>%s</td>%s%s"),
      slot.serial, "", slot.sock, slot.sock, slot.sock, slot.sock, link, status_kind_label(slot),
      age, idle, cells[0], cells[1]);
}

char* status_page() {
  textbuf page{};
  textbuf_add(page,
              MV_LIT("<table class=\"net_status\" cellspacing=\"0\"><tr><th>Serial</th>"
                     "<th>Socket</th><th>Link</th><th>Kind</th><th>Age, s</th><th>Idle, s</th>"
                     "<th>In</th><th>Out</th><th>Details</th></tr>\n"));
  int rows = 0;
  int unused = 0;
  for (int i = 0; i < SLOT_COUNT; ++i) {
    const conn_slot& slot = conn_table[i];
    if (slot.sock == -1) {
      if (++unused >= UNUSED_RUN_END) break;
      continue;
    }
    unused = 0;
    if (slot.flags & SLOT_CLOSE_REQUESTED) continue;
    char* row = slot_row(slot);
    if (row == nullptr) continue;  // that row is left out
    textbuf_add(page, row);
    free(row);
    ++rows;
  }
  textbuf_addf(page,
               MV_LIT("</table>\n<p class=\"net_status_usage\">%d of %d connections in use "
                      "(%d%%)</p>\n"),
               rows, SLOT_COUNT, rows * 100 / SLOT_COUNT);
  if (db_damage_text()[0] != 0) {
    char damage[1024];
    text_escape_html(damage, sizeof damage, db_damage_text());
    textbuf_addf(page, MV_LIT("<p class=\"net_status_damage\">%s</p>\n"), damage);
  }
  return textbuf_take(page);
}
