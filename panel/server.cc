// The panel's HTTP server: requests under the secret path (one per
// connection unless the client keeps it alive), the embedded files, the
// icon, the about page, the status page, the flow channel and the command
// requests.
#include "panel/server.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chain/errorpage.h"
#include "db/db.h"
#include "engine/loop.h"
#include "engine/slot.h"
#include "log/console.h"
#include "log/metrics.h"
#include "log/push.h"
#include "maintenance/checkqueue.h"
#include "maintenance/import.h"
#include "maintenance/scheduler.h"
#include "panel/assets.h"
#include "panel/commands.h"
#include "panel/status.h"
#include "panel/textbuf.h"
#include "platform/clock.h"
#include "util/ascii.h"
#include "util/http.h"
#include "util/literal.h"
#include "util/registry.h"
#include "util/text.h"

static_assert(sizeof(panel_slot_record) <= ROUTE_SIZE);

namespace {

constexpr size_t METHOD_MAX = 14;
constexpr size_t FILE_NAME_MAX = 62;

// The declared Content-Length of the head, 0 when there is none.
long content_length(const char* buf, size_t head_len) {
  size_t p = 0;
  while (p < head_len) {
    while (p < head_len && buf[p] == ' ') ++p;
    size_t start = p;
    while (p < head_len && p - start < FILE_NAME_MAX && ascii_is_name_char(buf[p])) ++p;
    if (p - start == 14 && strncasecmp(buf + start, "content-length", 14) == 0) {
      while (p < head_len && buf[p] == ' ') ++p;
      if (p >= head_len || buf[p] != ':') return 0;
      ++p;
      while (p < head_len && buf[p] == ' ') ++p;
      char number[24];
      size_t n = 0;
      while (p < head_len && n + 1 < sizeof number &&
             (ascii_is_digit(buf[p]) || buf[p] == '-' || buf[p] == '+'))
        number[n++] = buf[p++];
      number[n] = 0;
      return strtol(number, nullptr, 10);
    }
    const char* lf = static_cast<const char*>(memchr(buf + p, '\n', head_len - p));
    if (lf == nullptr) break;
    p = static_cast<size_t>(lf - buf);
    while (p < head_len && (buf[p] == '\r' || buf[p] == '\n')) ++p;
  }
  return 0;
}

// Compares the request bytes with the panel path without an early exit.
bool path_matches(const char* at, const char* root, size_t root_len) {
  unsigned char diff = 0;
  for (size_t i = 0; i < root_len; ++i) diff |= static_cast<unsigned char>(at[i] ^ root[i]);
  return diff == 0;
}

void send_text(int index, const char* text, size_t length) {
  slot_send(index, text, static_cast<int>(length));
}

// Head with the type (null: default) and a length (0: kept open), then the bytes.
void send_reply(int index, const char* type, size_t head_length, const void* data, size_t size) {
  char head[512];
  http_response_head(type, static_cast<int>(head_length), head);
  send_text(index, head, strlen(head));
  if (size > 0) slot_send(index, data, static_cast<int>(size));
}

void send_redirect(int index, const char* host) {
  char host_text[256] = "";
  const char* prefix = "";
  if (host != nullptr && host[0] != 0) {
    bool clean = strlen(host) < 200;
    for (const char* p = host; *p && clean; ++p) clean = ascii_is_name_char(*p);
    if (clean) {
      snprintf(host_text, sizeof host_text, "%s:%u", host, static_cast<unsigned>(listen_port));
      prefix = "http://";
    }
  }
  char response[512];
  int n = snprintf(response, sizeof response,
                   MV_LIT("HTTP/1.0 302 Found\r\nLocation: %s%s/%s/\r\nContent-Length: 0\r\n\r\n"),
                   prefix, host_text, reg_root());
  if (n > 0 && static_cast<size_t>(n) < sizeof response) send_text(index, response, n);
}

uint16_t read16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void write16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void write32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

const char* panel_content_type(const char* name) {
  const char* type = nullptr;  // the default, text/html
  if (text_find(name, ".js")) type = "text/javascript";
  if (text_find(name, ".gif")) type = "image/gif";
  if (text_find(name, ".png")) type = "image/png";
  if (text_find(name, ".jpg")) type = "image/jpeg";
  return type;
}

uint8_t* panel_resource(const char* name, int type, size_t* size) {
  if (name == nullptr || type != RESOURCE_HTML) return nullptr;
  const embedded_file* f = embedded_find(name);
  if (f == nullptr) return nullptr;
  uint8_t* copy = static_cast<uint8_t*>(malloc(f->size + 16));
  if (copy == nullptr) return nullptr;
  memcpy(copy, f->data, f->size);
  memset(copy + f->size, 0, 16);
  if (size != nullptr) *size = f->size;
  return copy;
}

uint8_t* panel_icon(int width, int height, size_t* size) {
  const embedded_file* f = embedded_find("favicon.ico");
  if (f == nullptr || f->size < 6) return nullptr;
  const uint8_t* ico = f->data;
  if (read16(ico) != 0 || read16(ico + 2) != 1) return nullptr;
  unsigned count = read16(ico + 4);
  for (unsigned i = 0; i < count; ++i) {
    size_t at = 6 + 16 * static_cast<size_t>(i);
    if (at + 16 > f->size) break;
    const uint8_t* entry = ico + at;
    int w = entry[0] != 0 ? entry[0] : 256;
    int h = entry[1] != 0 ? entry[1] : 256;
    if (w != width || h != height) continue;
    uint32_t bytes = read32(entry + 8);
    uint32_t offset = read32(entry + 12);
    if (offset > f->size || bytes > f->size - offset) return nullptr;
    uint8_t* out = static_cast<uint8_t*>(malloc(22 + static_cast<size_t>(bytes)));
    if (out == nullptr) return nullptr;
    write16(out, 0);
    write16(out + 2, 1);
    write16(out + 4, 1);
    memcpy(out + 6, entry, 8);  // width, height, colours, reserved, planes, bit count
    write32(out + 14, bytes);
    write32(out + 18, 22);
    memcpy(out + 22, ico + offset, bytes);
    if (size != nullptr) *size = 22 + static_cast<size_t>(bytes);
    return out;
  }
  return nullptr;
}

char* panel_address_line() {
  uint32_t a = public_addr;
  return text_append_format(
      nullptr, MV_LIT("<script type=\"text/javascript\">I(%lu,\"%u.%u.%u.%u\");</script>\n"),
      static_cast<unsigned long>(a), a & 0xFF, (a >> 8) & 0xFF, (a >> 16) & 0xFF, a >> 24);
}

char* panel_about_page() {
  char* page = text_append_format(
      nullptr,
      MV_LIT("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\"><html><head>"
             "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">"
             "<title>About %s</title></head><body><div class=\"about\">"),
      "Merovane");
  if (page == nullptr) return nullptr;
  // One version everywhere: the build's, as --version and the package show it.
  page = text_append_format(page, MV_LIT("<h2>%s %s</h2>"), "Merovane", MEROVANE_VERSION);
  if (page == nullptr) return nullptr;
  page = text_append_format(page, MV_LIT("<p>%s</p><p>%s</p></div></body></html>"),
                            MV_LIT("A local proxy server that carries every connection through "
                                   "a chain of public proxy servers."),
                            MV_LIT("This panel is served by the program itself, on its own "
                                   "port, to this machine only."));
  return page;
}

namespace {

// The steps of a request once its head is read. Each serve_* step answers
// and returns true, or returns false when the name is not its own.

void record_request(int index, const char* method, const char* name) {
  panel_slot_record* record = &slot_area<panel_slot_record>(index);
  snprintf(record->method, sizeof record->method, "%s", method);
  snprintf(record->file, sizeof record->file, "%s", name);
}

bool serve_icon(int index, const char* name) {
  if (strcasecmp(name, "favicon.ico") != 0) return false;
  size_t size = 0;
  uint8_t* icon = panel_icon(32, 32, &size);
  if (icon == nullptr) icon = panel_icon(16, 16, &size);
  if (icon == nullptr) return false;  // served as any other name
  send_reply(index, "image/x-icon", size, icon, size);
  free(icon);
  return true;
}

bool serve_about(int index, const char* name) {
  if (strcasecmp(name, "about.html") != 0) return false;
  char* page = panel_about_page();
  if (page == nullptr) {
    slot_abort(index);
    return true;
  }
  size_t n = strlen(page);
  send_reply(index, nullptr, n, page, n);
  free(page);
  return true;
}

bool serve_status(int index, const char* name) {
  if (strcasecmp(name, "netstatus.html") != 0) return false;
  slot_consume_input(index, conn_table[index].in.len);
  char* page = status_page();
  if (page != nullptr) {
    size_t n = strlen(page);
    send_reply(index, nullptr, n, page, n);
    free(page);
  }
  return true;
}

// Label of each slot kind in the metrics; the client states share one.
const char* kind_label(slot_kind kind) {
  struct label {
    slot_kind kind;
    const char* text;
  };
  static constexpr label LABELS[] = {
      {slot_kind::listen, "listen"},         {slot_kind::web, "panel"},
      {slot_kind::web_push, "panel_push"},   {slot_kind::check, "check"},
      {slot_kind::chain_test, "chain_test"}, {slot_kind::myip, "myip"},
      {slot_kind::chain, "chain"},           {slot_kind::relay, "relay"},
      {slot_kind::download, "download"},     {slot_kind::error, "refused"}};
  for (const label& l : LABELS)
    if (l.kind == kind) return l.text;
  return "client";
}

uint64_t count_of(const char* where) {
  char* text = db_query_text("", "", MV_LIT("SELECT count(*) FROM proxy WHERE %s"), where);
  uint64_t n = text != nullptr ? strtoull(text, nullptr, 10) : 0;
  free(text);
  return n;
}

// Prometheus text: the counters of log/metrics and the slots, proxies and
// public address sampled now.
bool serve_metrics(int index, const char* name) {
  if (strcmp(name, "metrics") != 0) return false;
  constexpr size_t KINDS = 11;
  metrics_gauge slots[KINDS] = {{"client", 0}, {"listen", 0},     {"panel", 0},  {"panel_push", 0},
                                {"check", 0},  {"chain_test", 0}, {"myip", 0},   {"chain", 0},
                                {"relay", 0},  {"download", 0},   {"refused", 0}};
  const int used = slot_count_used();
  for (int i = 0; i < used; ++i) {
    const char* label = kind_label(conn_table[i].kind);
    for (metrics_gauge& g : slots)
      if (strcmp(g.label, label) == 0) ++g.value;
  }
  metrics_gauge proxies[] = {{"working", count_of(MV_LIT("blocked=0 AND type>0 AND NOT (type&1)"))},
                             {"dead", count_of(MV_LIT("blocked=0 AND (type&1)"))},
                             {"unchecked", count_of(MV_LIT("blocked=0 AND type=0"))},
                             {"blocked", count_of(MV_LIT("blocked<>0"))}};
  const metrics_sample sample{slots, KINDS, proxies, sizeof proxies / sizeof proxies[0],
                              public_addr != 0};
  check_progress_now();  // brings the queue's gauges up to date
  static char text[8192];
  size_t n = metrics_render(sample, text, sizeof text);
  if (n == 0) {
    send_error_page(nullptr, index, PAGE_NOT_FOUND, nullptr);
    return true;
  }
  send_reply(index, "text/plain; version=0.0.4", n, text, n);
  return true;
}

// An embedded front-end file; "flow.html" stays open as the push channel
// (result 1). -1 when there is no such file.
int serve_file(int index, const char* name) {
  size_t size = 0;
  uint8_t* bytes = panel_resource(name, RESOURCE_HTML, &size);
  if (bytes == nullptr) return -1;
  bool flow = strcasecmp(name, "flow.html") == 0;
  send_reply(index, panel_content_type(name), flow ? 0 : size, bytes, size);
  free(bytes);
  if (!flow) return 0;
  char* line = panel_address_line();
  if (line != nullptr) {
    send_text(index, line, strlen(line));
    free(line);
  }
  panel_push_time = tick_now();
  return 1;
}

void send_ajax(int index, const char* reply) {
  const char* text = reply != nullptr ? reply : MV_LIT("ajax_callback(\"ping\",null);");
  size_t n = strlen(text);
  send_reply(index, "text/javascript", n, text, n);
}

uint32_t upload_serial = 0;

void upload_done(char* summary, uint64_t ref, const char*);

// An upload is imported in batches between the engine's cycles: the slot
// waits for its reply. True when it waits; otherwise the reply went out.
bool start_upload(int index, const param_spans& spans) {
  char* text = upload_text(spans);
  if (text == nullptr) {
    send_ajax(index, nullptr);
    return false;
  }
  panel_slot_record& record = slot_area<panel_slot_record>(index);
  record.serial = ++upload_serial;
  const uint64_t ref =
      static_cast<uint64_t>(static_cast<uint32_t>(conn_table[index].sock)) << 32 | record.serial;
  const bool started = import_start(text, 0, upload_done, ref, "");
  free(text);
  if (started) {
    record.state = PANEL_SLOT_WAITING;
    return true;
  }
  char* reply = ajax_script(
      "upload_proxy",
      text_append_format(nullptr, "%s",
                         MV_LIT("{error:\"the program is importing other lists; try again\"}")));
  send_ajax(index, reply);
  free(reply);
  return false;
}

bool is_upload(const param_spans& spans) {
  char type[64];
  return param_text("type", sizeof type, spans, type) && strcmp(type, "upload_proxy") == 0;
}

void serve_command(int index, const param_spans& spans) {
  char* reply = panel_ajax(spans);
  send_ajax(index, reply);
  free(reply);
}

}  // namespace

int panel_route(const char* method, const char* file, int index, const param_spans* spans) {
  if (method == nullptr || file == nullptr || spans == nullptr) return 0;
  if (index < 0 || index >= SLOT_COUNT) return 0;
  const char* name = file[0] != 0 ? file : "index.html";
  record_request(index, method, name);

  if (strcasecmp(method, "get") == 0) {
    if (serve_icon(index, name) || serve_about(index, name) || serve_status(index, name) ||
        serve_metrics(index, name))
      return 0;
    int result = serve_file(index, name);
    if (result >= 0) return result;
  }
  if (strcasecmp(method, "post") != 0 || strcmp(name, "ajax") != 0) {
    send_error_page(nullptr, index, PAGE_NOT_FOUND, nullptr);
    return 0;
  }
  if (is_upload(*spans)) return start_upload(index, *spans) ? 2 : 0;
  serve_command(index, *spans);
  return 0;
}

namespace {

// What one pass over a panel slot's input did.
enum class served {
  wait,     // the request is not complete yet
  reply,    // answered; the connection ends unless keep-alive was asked
  kept,     // answered, and the client asked to keep the connection
  push,     // a flow channel was opened
  later,    // the reply follows (an upload being imported)
  refused,  // the slot was aborted
};

// Where the parts of a request stand in the slot's input.
struct request_parts {
  size_t head_end;   // start of the blank line ending the head
  size_t body_at;    // first byte after the head
  size_t target;     // position after the panel path's slash
  size_t body_size;  // declared body of a POST
  char method[METHOD_MAX + 1];
  bool keep_alive;  // "Connection: keep-alive" in the head
};

// Step 1: the whole head is read before anything is decided; a head that
// grows beyond the limit without ending is refused.
served read_head(int index, const char* buf, size_t len, request_parts& r) {
  const http_head_bounds bounds = http_head_find(reinterpret_cast<const uint8_t*>(buf), len);
  r.head_end = bounds.end;
  r.body_at = bounds.body;
  if (bounds.body != 0 && r.head_end <= PANEL_REQUEST_LIMIT) return served::reply;
  if (len > PANEL_REQUEST_LIMIT) {
    slot_abort(index);
    return served::refused;
  }
  return served::wait;
}

// 1 when the head has a Connection line naming keep-alive.
bool asks_keep_alive(const char* buf, size_t head_len) {
  size_t p = 0;
  while (p < head_len) {
    while (p < head_len && buf[p] == ' ') ++p;
    if (head_len - p >= 11 && strncasecmp(buf + p, "connection:", 11) == 0) {
      const char* lf = static_cast<const char*>(memchr(buf + p, '\n', head_len - p));
      size_t end = lf != nullptr ? static_cast<size_t>(lf - buf) : head_len;
      for (size_t i = p + 11; i + 10 <= end; ++i)
        if (strncasecmp(buf + i, "keep-alive", 10) == 0) return true;
      return false;
    }
    const char* lf = static_cast<const char*>(memchr(buf + p, '\n', head_len - p));
    if (lf == nullptr) break;
    p = static_cast<size_t>(lf - buf) + 1;
  }
  return false;
}

// Step 2: the method (GET or POST) and the target up to the panel path.
// False when the request names nothing the panel serves.
bool read_request_line(const char* buf, size_t len, request_parts& r) {
  size_t p = 0;
  while (p < r.head_end && ascii_is_blank(buf[p])) ++p;
  size_t m = 0;
  while (p < len && m < METHOD_MAX && ascii_is_name_char(buf[p])) r.method[m++] = buf[p++];
  r.method[m] = 0;
  if (strcasecmp(r.method, "get") != 0 && strcasecmp(r.method, "post") != 0) return false;
  if (p >= len || buf[p] != ' ') return false;
  while (p < len && buf[p] == ' ') ++p;
  if (len - p >= 5 && strncasecmp(buf + p, "http:", 5) == 0) {
    p += 5;
    while (p < len && buf[p] == '/') ++p;
    while (p < len && ascii_is_name_char(buf[p])) ++p;
    if (p < len && buf[p] == ':') {
      ++p;
      while (p < len && ascii_is_digit(buf[p])) ++p;
    }
  }
  if (p >= len || buf[p] != '/') return false;
  r.target = p + 1;
  return true;
}

// Step 3: the panel path (or the site icon, served without it). Returns
// false when the path is not ours; *bare is set for the path without its
// closing slash (answered with a redirect).
bool read_panel_path(const char* buf, size_t len, request_parts& r, bool* bare) {
  size_t p = r.target;
  *bare = false;
  if (len - p >= 11 && strncasecmp(buf + p, "favicon.ico", 11) == 0) {
    r.target = p;  // served without the panel path
    return true;
  }
  const char* root = reg_root();
  size_t root_len = root != nullptr ? strlen(root) : 0;
  if (root_len == 0) return false;  // no secret, no panel
  if (len - p < root_len + 1) return false;
  if (!path_matches(buf + p, root, root_len)) return false;
  p += root_len;
  if (buf[p] == ' ') *bare = true;
  if (buf[p] != '/' && buf[p] != ' ') return false;
  r.target = p + 1;
  return true;
}

// Step 4: the file name and the query of the target.
void read_file_and_query(const char* buf, size_t len, const request_parts& r, char* file,
                         param_spans& spans) {
  size_t p = r.target;
  size_t f = 0;
  while (p < len && f < FILE_NAME_MAX && ascii_is_name_char(buf[p])) file[f++] = buf[p++];
  file[f] = 0;
  if (p < len && buf[p] == '?') {
    size_t start = ++p;
    while (p < len && buf[p] != 0 && !ascii_is_blank(buf[p])) ++p;
    spans.span[0] = {buf + start, p - start};
  }
}

// A declared body above the limit: the client is told so (413) and what
// it still sends is read and thrown away until it has sent it all, so the
// reply is not lost to a reset; the connection then closes.
void refuse_large_body(int index) {
  char text[160];
  const int n = snprintf(text, sizeof text,
                         "HTTP/1.0 413 Content Too Large\r\nContent-Type: text/plain\r\n"
                         "Content-Length: 40\r\nConnection: close\r\n\r\n"
                         "the request body is larger than 1 MiB.\r\n");
  if (n > 0 && static_cast<size_t>(n) < sizeof text) slot_send(index, text, n);
  slot_consume_input(index, conn_table[index].in.len);
  slot_area<panel_slot_record>(index).state = PANEL_SLOT_DONE;
  slot_request_close(index);
}

// Step 5: the body of a POST, complete; a declared size above the limit is
// refused at once.
served read_body(int index, const char* buf, size_t len, request_parts& r, param_spans& spans) {
  r.body_size = 0;
  if (strcasecmp(r.method, "post") != 0) return served::reply;
  long length = content_length(buf, r.head_end + 1);
  if (length < 0) {
    slot_abort(index);
    return served::refused;
  }
  if (static_cast<unsigned long>(length) > PANEL_REQUEST_LIMIT) {
    refuse_large_body(index);
    return served::refused;
  }
  r.body_size = static_cast<size_t>(length);
  if (len - r.body_at < r.body_size) return served::wait;
  if (length > 0) spans.span[1] = {buf + r.body_at, r.body_size};
  return served::reply;
}

// Answers a request that names nothing the panel serves: 404 with the
// "File not found" page; the connection then closes.
served not_found(int index, const request_parts& r) {
  char page[ERROR_PAGE_SIZE];
  size_t n = error_page_build(page, sizeof page, nullptr, PAGE_NOT_FOUND, nullptr);
  char head[160];
  int h = snprintf(head, sizeof head,
                   "HTTP/1.0 404 Not Found\r\nContent-Type: text/html; charset=utf-8\r\n"
                   "Content-Length: %zu\r\nConnection: close\r\n\r\n",
                   n);
  if (h > 0 && static_cast<size_t>(h) < sizeof head) send_text(index, head, static_cast<size_t>(h));
  slot_send(index, page, static_cast<int>(n));
  slot_consume_input(index, static_cast<uint32_t>(r.body_at));
  return served::reply;
}

// Serves the request at the start of the slot's input, if it is complete.
// What was answered is consumed: the whole input unless keep-alive was
// asked, then only this request.
served panel_serve(int index, const char* host) {
  if (index < 0 || index >= SLOT_COUNT) return served::wait;
  conn_slot& slot = conn_table[index];
  const char* buf = reinterpret_cast<const char*>(slot.in.data);
  const size_t len = slot.in.len;
  if (buf == nullptr || len < 8) return served::wait;
  request_parts r{};
  served step = read_head(index, buf, len, r);
  if (step != served::reply) return step;
  r.keep_alive = asks_keep_alive(buf, r.head_end + 1);
  bool bare = false;
  if (!read_request_line(buf, len, r) || !read_panel_path(buf, len, r, &bare))
    return not_found(index, r);
  if (bare) {
    send_redirect(index, host);
    slot_consume_input(index, static_cast<uint32_t>(r.body_at));
    return served::reply;
  }
  char file[FILE_NAME_MAX + 1];
  param_spans spans{};
  read_file_and_query(buf, len, r, file, spans);
  step = read_body(index, buf, len, r, spans);
  if (step != served::reply) return step;

  int result = panel_route(r.method, file, index, &spans);
  if (result == 1) {
    slot_consume_input(index, static_cast<uint32_t>(len));
    return served::push;
  }
  if (result == 2) {
    slot_area<panel_slot_record>(index).keep_after = r.keep_alive ? 1 : 0;
    const size_t used = r.keep_alive ? r.body_at + r.body_size : len;
    slot_consume_input(index, static_cast<uint32_t>(used < slot.in.len ? used : slot.in.len));
    return served::later;
  }
  if (!r.keep_alive) {
    slot_consume_input(index, static_cast<uint32_t>(len));
    return served::reply;
  }
  // The status page has already taken what it read.
  size_t used = r.body_at + r.body_size;
  slot_consume_input(index, static_cast<uint32_t>(used < slot.in.len ? used : slot.in.len));
  return served::kept;
}

}  // namespace

int panel_request_from(int index, const char* host) {
  return panel_serve(index, host) == served::push ? 1 : 0;
}

int panel_request(int index) {
  return panel_request_from(index, nullptr);
}

namespace {
// The database's damage for a push channel: a script line calling the
// panel's "db_damaged" handler; 0 when there is none.
size_t damage_script(char* out, size_t capacity) {
  const char* damage = db_damage_text();
  if (damage[0] == 0 || capacity < 128) return 0;
  size_t n = static_cast<size_t>(
      snprintf(out, capacity, "<script type=\"text/javascript\">A(\"db_damaged\",\""));
  // Only plain characters reach the script string; the rest become spaces.
  for (const char* p = damage; *p != 0 && n + 32 < capacity; ++p) {
    char c = *p;
    bool plain = c >= ' ' && c <= '~' && c != '"' && c != '\\' && c != '<' && c != '>' && c != '&';
    out[n++] = plain ? c : ' ';
  }
  n += static_cast<size_t>(snprintf(out + n, capacity - n, "\");</script>\n"));
  return n;
}

bool damage_told = false;

// A damaged database is told once on stderr and to every open panel; a
// panel opened later hears it when its channel opens.
void panel_damage_report() {
  if (damage_told || db_damage_text()[0] == 0) return;
  damage_told = true;
  console_line("%s", db_damage_text());
  char line[512];
  size_t n = damage_script(line, sizeof line);
  if (n > 0) panel_broadcast(line, static_cast<int>(n));
}

void after_reply(int index, bool kept);

// Requests a keep-alive connection may still send; the next one closes it.
constexpr int KEPT_REQUESTS_MAX = 100;

// Kinds web and web_push. The panel bounds a request itself (head and body
// each at most 1 MiB), so reading goes on until it is complete. After a
// reply the connection closes unless the client asked to keep it; a flow
// request turns the slot into a push channel, which stays open.
void panel_handler(int index, char letter) {
  if (letter != slot_event::input || index < 0 || index >= SLOT_COUNT) return;
  panel_slot_record& record = slot_area<panel_slot_record>(index);
  if (record.state == PANEL_SLOT_DONE || conn_table[index].kind == slot_kind::web_push) {
    slot_consume_input(index, conn_table[index].in.len);
    return;
  }
  if (record.state == PANEL_SLOT_WAITING) {
    // The next request waits for the upload's reply, within the same bound.
    if (conn_table[index].in.len > 2 * PANEL_REQUEST_LIMIT) slot_abort(index);
    return;
  }
  if (record.state == PANEL_SLOT_FRESH) {
    // The panel refuses a request past its own limit: never pause reading.
    slot_set_input_limit(index, SLOT_NO_INPUT_LIMIT);
    record.state = PANEL_SLOT_READING;
  }
  served outcome = panel_serve(index, nullptr);
  switch (outcome) {
    case served::wait:
    case served::refused:
    case served::later:
      return;
    case served::push: {
      slot_area<panel_slot_record>(index).state = PANEL_SLOT_DONE;
      conn_table[index].kind = slot_kind::web_push;
      char line[512];
      size_t n = damage_script(line, sizeof line);
      if (n > 0) slot_send(index, line, static_cast<int>(n));
      return;
    }
    case served::kept:
    case served::reply:
      after_reply(index, outcome == served::kept);
      return;
  }
}

// After a reply: the next request of a kept connection, or the close.
void after_reply(int index, bool kept) {
  panel_slot_record& record = slot_area<panel_slot_record>(index);
  if (kept && ++record.kept < KEPT_REQUESTS_MAX) {
    record.state = PANEL_SLOT_READING;
    // A request sent right behind it is served now, not at the next read.
    if (conn_table[index].in.len > 0) panel_handler(index, slot_event::input);
    return;
  }
  record.state = PANEL_SLOT_DONE;
  slot_request_close(index);
}

// An upload's import is through: its reply, if the slot still waits for it.
void upload_done(char* summary, uint64_t ref, const char*) {
  const int index = slot_find_by_socket(static_cast<int>(ref >> 32));
  const bool waiting = index > 0 && conn_table[index].kind == slot_kind::web &&
                       slot_area<panel_slot_record>(index).state == PANEL_SLOT_WAITING &&
                       slot_area<panel_slot_record>(index).serial == static_cast<uint32_t>(ref);
  if (!waiting) {
    free(summary);
    return;
  }
  char* reply = ajax_script("upload_proxy", summary);
  send_ajax(index, reply);
  free(reply);
  after_reply(index, slot_area<panel_slot_record>(index).keep_after != 0);
}

constexpr uint32_t KEEPALIVE_PERIOD = 9000;

// Push channels hear something every 9 s, so a browser sees a dead program.
void panel_keepalive() {
  if (panel_push_time == 0 ||
      static_cast<int32_t>(tick_now() - panel_push_time) <= static_cast<int32_t>(KEEPALIVE_PERIOD))
    return;
  const char* keepalive = MV_LIT("<script type=\"text/javascript\">P();</script>\n");
  panel_broadcast(keepalive, static_cast<int>(strlen(keepalive)));
}
}  // namespace

void panel_attach() {
  slot_attach(slot_kind::web, panel_handler);
  slot_attach(slot_kind::web_push, panel_handler);
  // The keep-alive is due only while a push channel is open (it heard a
  // line lately); the damage report only once there is damage to tell.
  engine_every(0, panel_keepalive, [] {
    if (panel_push_time == 0) return ENGINE_IDLE;
    const int32_t left = static_cast<int32_t>(panel_push_time + KEEPALIVE_PERIOD + 1 - tick_now());
    return left > 0 ? left : 0;
  });
  engine_every(0, panel_damage_report,
               [] { return damage_told || db_damage_text()[0] == 0 ? ENGINE_IDLE : 0; });
}
