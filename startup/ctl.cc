#include "startup/ctl.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "chain/route.h"
#include "db/db.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "startup/ctl_rows.h"
#include "startup/runmodes.h"
#include "util/registry.h"

namespace {

constexpr int CTL_DONE = 0;
constexpr int CTL_REFUSED = 1;
constexpr int CTL_NO_INSTANCE = 3;
constexpr int REPLY_TIMEOUT_MS = 10000;
constexpr size_t REPLY_MAX = 8 * 1024 * 1024;

// The link kind of a fixed proxy as the chain table stores it, and every
// protocol bit.
constexpr uint32_t SELECT_FIXED = 5;
constexpr uint32_t TYPE_PROTOCOLS = PT_SOCKS4 | PT_SOCKS5 | PT_HTTP | PT_HTTPS;

struct name_value {
  const char* name;
  uint32_t value;
};
constexpr name_value SCHEMES[] = {
    {"socks4", PT_SOCKS4}, {"socks5", PT_SOCKS5}, {"http", PT_HTTP}, {"https", PT_HTTPS}};
constexpr name_value PICKS[] = {{"random", 1}, {"fastest", 2}, {"recent", 3}, {"rank", 4}};

// A growing text on the heap; every append reports failure instead of
// throwing.
struct text {
  char* data = nullptr;
  size_t len = 0, cap = 0;
  ~text() { std::free(data); }
  bool add(const char* bytes, size_t n) {
    if (len + n + 1 > cap) {
      size_t want = cap == 0 ? 4096 : cap;
      while (want < len + n + 1) want *= 2;
      char* grown = static_cast<char*>(std::realloc(data, want));
      if (grown == nullptr) return false;
      data = grown;
      cap = want;
    }
    std::memcpy(data + len, bytes, n);
    len += n;
    data[len] = 0;
    return true;
  }
  bool add(const char* s) { return add(s, std::strlen(s)); }
  void clear() {
    len = 0;
    if (data != nullptr) data[0] = 0;
  }
  const char* c_str() const { return data != nullptr ? data : ""; }
};

// Appends s encoded for a form body: unreserved bytes as they are, every
// other byte as %XX.
bool add_encoded(text& out, const char* s, size_t n) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '_' || c == '.' || c == '~';
    char enc[3] = {'%', HEX[c >> 4], HEX[c & 15]};
    if (!(plain ? out.add(s + i, 1) : out.add(enc, 3))) return false;
  }
  return true;
}

bool add_param(text& body, const char* name, const char* value) {
  return (body.len == 0 || body.add("&")) && body.add(name) && body.add("=") &&
         add_encoded(body, value, std::strlen(value));
}

bool add_number_param(text& body, const char* name, unsigned index, uint32_t value) {
  char key[32], number[16];
  std::snprintf(key, sizeof key, "%s%u", name, index);
  std::snprintf(number, sizeof number, "%u", value);
  return add_param(body, key, number);
}

// Where the instance of this home listens; loopback when it listens on
// all addresses.
bool instance_address(sockaddr_in* addr) {
  char ip[48];
  reg_listen_ip(ip, sizeof ip);
  if (ip[0] == 0 || std::strcmp(ip, "0.0.0.0") == 0) std::snprintf(ip, sizeof ip, "127.0.0.1");
  *addr = sockaddr_in{};
  addr->sin_family = AF_INET;
  addr->sin_port = htons(static_cast<uint16_t>(reg_listen_port()));
  return inet_pton(AF_INET, ip, &addr->sin_addr) == 1;
}

// Deadlines are ticks; the wait is by wrap-around difference.
bool wait_for(int fd, short events, uint32_t deadline) {
  for (;;) {
    int32_t left = static_cast<int32_t>(deadline - tick_now());
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, left);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

bool send_all(int fd, const char* data, size_t n, uint32_t deadline) {
  while (n > 0) {
    if (!wait_for(fd, POLLOUT, deadline)) return false;
    ssize_t sent = send(fd, data, n, MSG_NOSIGNAL);
    if (sent < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (sent <= 0) return false;
    data += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

// Length of the body the head announces, or -1.
long announced_length(const char* head, size_t head_len) {
  for (size_t i = 0; i + 15 < head_len; ++i)
    if ((i == 0 || head[i - 1] == '\n') && strncasecmp(head + i, "content-length:", 15) == 0)
      return std::strtol(head + i + 15, nullptr, 10);
  return -1;
}

// The status line and the first line of the body of the last reply that
// was not a 200, for the message ("" while every panel answer was one).
char refusal[240] = "";

void note_refusal(const char* head, size_t head_len, const char* body, size_t body_len) {
  size_t status = 0;
  while (status < head_len && head[status] != '\r' && head[status] != '\n') ++status;
  size_t line = 0;
  while (line < body_len && line < 120 && body[line] != '\r' && body[line] != '\n') ++line;
  std::snprintf(refusal, sizeof refusal, "%.*s%s%.*s",
                static_cast<int>(status < 100 ? status : 100), head, line > 0 ? ": " : "",
                static_cast<int>(line), body);
}

// One request to the panel; the body of a 200 reply in out. False when no
// instance answers, or when it answers with another status (kept in
// `refusal`).
bool panel_request(const char* method, const char* file, const text* body, text& out) {
  sockaddr_in addr{};
  if (!instance_address(&addr)) return false;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  const uint32_t deadline = tick_now() + REPLY_TIMEOUT_MS;
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ||
            (errno == EINPROGRESS && wait_for(fd, POLLOUT, deadline));
  int error = 0;
  socklen_t size = sizeof error;
  ok = ok && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
  char head[512];
  char host[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
  const size_t body_len = body != nullptr ? body->len : 0;
  int n = std::snprintf(head, sizeof head,
                        "%s /%s/%s HTTP/1.1\r\nHost: %s:%u\r\nConnection: close\r\n"
                        "Content-Type: application/x-www-form-urlencoded\r\n"
                        "Content-Length: %zu\r\n\r\n",
                        method, reg_root(), file, host, ntohs(addr.sin_port), body_len);
  ok = ok && n > 0 && static_cast<size_t>(n) < sizeof head &&
       send_all(fd, head, static_cast<size_t>(n), deadline) &&
       (body_len == 0 || send_all(fd, body->c_str(), body_len, deadline));
  text reply;
  long length = -1;
  size_t body_at = 0;
  while (ok) {
    char chunk[16384];
    if (!wait_for(fd, POLLIN, deadline)) break;
    ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0 || !reply.add(chunk, static_cast<size_t>(got)) || reply.len > REPLY_MAX) break;
    if (body_at == 0) {
      const char* end = std::strstr(reply.c_str(), "\r\n\r\n");
      if (end == nullptr) continue;
      body_at = static_cast<size_t>(end - reply.c_str()) + 4;
      length = announced_length(reply.c_str(), body_at);
    }
    if (length >= 0 && reply.len - body_at >= static_cast<size_t>(length)) break;
  }
  close(fd);
  // "HTTP/1.x 200": read from the bytes themselves (an empty reply has none).
  const bool status_ok =
      reply.data != nullptr && reply.len >= 12 && std::memcmp(reply.data + 8, " 200", 4) == 0;
  if (ok && body_at != 0 && !status_ok) {
    // The panel answered, but not with what was asked: its own words.
    note_refusal(reply.c_str(), body_at, reply.c_str() + body_at, reply.len - body_at);
    return false;
  }
  if (!ok || body_at == 0) return false;
  size_t take = reply.len - body_at;
  if (length >= 0 && static_cast<size_t>(length) < take) take = static_cast<size_t>(length);
  return out.add(reply.c_str() + body_at, take);
}

// A command's reply: "ajax_callback("name",VALUE);"; the value in out.
bool command(const text& body, const char* expected_name, text& value) {
  text reply;
  if (!panel_request("POST", "ajax", &body, reply)) return false;
  char prefix[80];
  std::snprintf(prefix, sizeof prefix, "ajax_callback(\"%s\",", expected_name);
  const char* r = reply.c_str();
  size_t plen = std::strlen(prefix);
  if (std::strncmp(r, prefix, plen) != 0) return false;
  const char* end = std::strrchr(r, ')');
  if (end == nullptr || end < r + plen) return false;
  return value.add(r + plen, static_cast<size_t>(end - (r + plen)));
}

int no_instance() {
  if (refusal[0] != 0) {
    std::fprintf(stderr, "merovane ctl: the panel refused the request (%s)\n", refusal);
    return CTL_REFUSED;
  }
  std::fprintf(stderr, "merovane ctl: no instance answers at the address of the registry file\n");
  return CTL_NO_INSTANCE;
}

int refused(const char* what) {
  std::fprintf(stderr, "merovane ctl: %s\n", what);
  return CTL_REFUSED;
}

void dotted(uint32_t ip, char* out, size_t capacity) {
  std::snprintf(out, capacity, "%u.%u.%u.%u", ip & 0xFF, (ip >> 8) & 0xFF, (ip >> 16) & 0xFF,
                ip >> 24);
}

// Dotted text to the stored number (first octet in the low byte).
bool ip_number(const char* text, size_t n, uint32_t* ip) {
  char buf[20];
  if (n == 0 || n >= sizeof buf) return false;
  std::memcpy(buf, text, n);
  buf[n] = 0;
  in_addr a{};
  if (inet_pton(AF_INET, buf, &a) != 1) return false;
  *ip = a.s_addr;  // network order read as a number: first octet lowest
  return true;
}

// "address:port" into number and port.
bool address_port(const char* s, uint32_t* ip, uint32_t* port) {
  const char* colon = std::strrchr(s, ':');
  if (colon == nullptr || !ip_number(s, static_cast<size_t>(colon - s), ip)) return false;
  char* end = nullptr;
  unsigned long p = std::strtoul(colon + 1, &end, 10);
  if (end == colon + 1 || *end != 0 || p < 1 || p > 65535) return false;
  *port = static_cast<uint32_t>(p);
  return true;
}

// ---- url

int ctl_url() {
  char address[256];
  panel_address(address, sizeof address);
  std::printf("%s\n", address);
  return CTL_DONE;
}

// ---- status: the rows of the status page's table

// Text of one cell: tags dropped, the usual entities decoded, blanks squeezed.
void cell_text(const char* from, const char* to, char* out, size_t capacity) {
  size_t n = 0;
  bool in_tag = false;
  for (const char* p = from; p < to && n + 1 < capacity; ++p) {
    if (*p == '<') in_tag = true;
    if (in_tag) {
      if (*p == '>') in_tag = false;
      continue;
    }
    struct entity {
      const char* name;
      char c;
    };
    static constexpr entity ENTITIES[] = {
        {"&nbsp;", ' '}, {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}};
    char c = *p;
    for (const entity& e : ENTITIES) {
      size_t len = std::strlen(e.name);
      if (static_cast<size_t>(to - p) >= len && std::strncmp(p, e.name, len) == 0) {
        c = e.c;
        p += len - 1;
        break;
      }
    }
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    if (c == ' ' && (n == 0 || out[n - 1] == ' ')) continue;
    out[n++] = c;
  }
  while (n > 0 && out[n - 1] == ' ') --n;
  out[n] = 0;
}

void json_string(const char* s) {
  std::putchar('"');
  for (const char* p = s; *p; ++p) {
    if (*p == '"' || *p == '\\')
      std::printf("\\%c", *p);
    else if (static_cast<unsigned char>(*p) < 0x20)
      std::printf("\\u%04x", *p);
    else
      std::putchar(*p);
  }
  std::putchar('"');
}

constexpr int STATUS_COLUMNS = 16;
constexpr size_t CELL_MAX = 256;

// The cells of the row starting at `row` (up to its "</tr>" or the next "<tr").
int row_cells(const char* row, const char* row_end, char cells[][CELL_MAX]) {
  int count = 0;
  const char* p = row;
  while (count < STATUS_COLUMNS) {
    const char* td = std::strstr(p, "<td");
    const char* th = std::strstr(p, "<th");
    const char* cell = td == nullptr ? th : (th == nullptr || td < th ? td : th);
    if (cell == nullptr || cell >= row_end) break;
    const char* open_end = std::strchr(cell, '>');
    if (open_end == nullptr || open_end >= row_end) break;
    const char* close = std::strstr(open_end, "</t");
    if (close == nullptr || close > row_end) close = row_end;
    cell_text(open_end + 1, close, cells[count], CELL_MAX);
    ++count;
    p = close;
  }
  return count;
}

// The check pass as the program reports it; `front`: "all", "new" or "".
struct pass_report {
  long active, passes, done, working, remaining, running, elapsed, eta, sites, proxies, usable,
      links, due;
  char mode[16];
  char line[200];
};

bool ask_progress(const char* front, pass_report& r);
void print_first_steps(const pass_report& r);

int ctl_status(bool json) {
  text page;
  if (!panel_request("GET", "netstatus.html", nullptr, page)) return no_instance();
  pass_report pass{};
  if (!json && ask_progress("", pass)) {
    std::printf("%s\n", pass.line);
    print_first_steps(pass);
  }
  static char header[STATUS_COLUMNS][CELL_MAX];
  static char cells[STATUS_COLUMNS][CELL_MAX];
  int header_count = 0;
  bool first_row = true;
  if (json) std::printf("[");
  const char* p = page.c_str();
  while ((p = std::strstr(p, "<tr")) != nullptr) {
    const char* next = std::strstr(p + 3, "<tr");
    const char* end = std::strstr(p, "</tr>");
    if (end == nullptr || (next != nullptr && next < end))
      end = next != nullptr ? next : p + std::strlen(p);
    const bool is_header = std::strncmp(std::strstr(p, ">") + 1, "<th", 3) == 0;
    int count = row_cells(p, end, is_header ? header : cells);
    p = end;
    if (is_header) {
      header_count = count;
      if (!json) {
        for (int i = 0; i < count; ++i) std::printf("%s%s", i ? "\t" : "", header[i]);
        std::printf("\n");
      }
      continue;
    }
    if (json) {
      std::printf("%s{", first_row ? "" : ",");
      for (int i = 0; i < count; ++i) {
        if (i > 0) std::putchar(',');
        char fallback[16];
        std::snprintf(fallback, sizeof fallback, "column%d", i);
        json_string(i < header_count ? header[i] : fallback);
        std::putchar(':');
        json_string(cells[i]);
      }
      std::printf("}");
    } else {
      for (int i = 0; i < count; ++i) std::printf("%s%s", i ? "\t" : "", cells[i]);
      std::printf("\n");
    }
    first_row = false;
  }
  if (json) std::printf("]\n");
  return CTL_DONE;
}

// ---- proxies

using proxy_row = ctl_proxy_row;

const char* proxy_state(const proxy_row& r) {
  if (r.blocked != 0) return "blocked";
  if (r.type == 0) return "unchecked";
  if (r.type & PT_NOT_WORKING) return "dead";
  return "working";
}

void type_names(uint32_t type, char* out, size_t capacity) {
  out[0] = 0;
  size_t n = 0;
  for (const name_value& s : SCHEMES)
    if ((type & s.value) && n + 8 < capacity)
      n += static_cast<size_t>(std::snprintf(out + n, capacity - n, "%s%s", n ? "," : "", s.name));
  if (n == 0) std::snprintf(out, capacity, "-");
}

// The unblocked list, then (with_blocked) the blocked one, in one call of
// fn per proxy. 3 when no instance answers.
template <class F>
int all_proxies(F fn, bool with_blocked = true) {
  for (const char* blocked : {"0", "1"}) {
    if (blocked[0] == '1' && !with_blocked) break;
    text body, value;
    if (!add_param(body, "type", "load_proxy") || !add_param(body, "blocked", blocked) ||
        !add_param(body, "order", "rank"))
      return refused("out of memory");
    if (!command(body, "load_proxy", value)) return no_instance();
    if (!ctl_proxy_rows(std::string_view(value.c_str(), value.len), fn))
      return refused("the proxy list reply is not understood");
  }
  return CTL_DONE;
}

int ctl_proxies(bool json) {
  bool first = true;
  if (json) std::printf("[");
  int rc = all_proxies([&](const proxy_row& r) {
    char ip[20], types[40];
    dotted(r.ip, ip, sizeof ip);
    type_names(r.type, types, sizeof types);
    if (json)
      std::printf("%s{\"address\":\"%s:%u\",\"type\":\"%s\",\"state\":\"%s\",\"rank\":%ld}",
                  first ? "" : ",", ip, r.port, types, proxy_state(r), r.rank);
    else
      std::printf("%s:%u %s %s %ld\n", ip, r.port, types, proxy_state(r), r.rank);
    first = false;
  });
  if (json && rc == CTL_DONE) std::printf("]\n");
  return rc;
}

// ---- import

// Encoded list bytes per upload: the panel takes bodies up to 1 MiB.
constexpr size_t UPLOAD_PART_MAX = 900u << 10;
constexpr size_t LIST_LINE_MAX = 64u << 10;

// What the instance said of an uploaded list (all its parts).
struct upload_counts {
  int count, added, skipped;
};

// Sends one part of the list; adds its counts. False after telling why
// (the exit status in *rc).
bool upload_part(const text& encoded, upload_counts& counts, int* rc) {
  text body, value;
  if (!add_param(body, "type", "upload_proxy") || !body.add("&list=") ||
      !body.add(encoded.c_str(), encoded.len)) {
    *rc = refused("out of memory");
    return false;
  }
  if (!command(body, "upload_proxy", value)) {
    *rc = no_instance();
    return false;
  }
  if (std::strncmp(value.c_str(), "{error:", 7) == 0) {
    *rc = refused(value.c_str());
    return false;
  }
  int part_count = 0, part_added = 0;
  if (std::sscanf(value.c_str(), "{count:%d, added:%d}", &part_count, &part_added) != 2) {
    *rc = refused("the upload reply is not understood");
    return false;
  }
  counts.count += part_count;
  counts.added += part_added;
  const char* skipped = std::strstr(value.c_str(), "skipped:");
  if (skipped != nullptr) counts.skipped += std::atoi(skipped + 8);
  return true;
}

// A list goes in parts the panel takes, cut at line ends; each part waits
// for the import of the one before.
struct list_upload {
  text part;
  upload_counts counts{};
  size_t read = 0;
  int rc = CTL_DONE;

  bool line(const char* bytes, size_t n) {
    if (n > LIST_LINE_MAX) {
      rc = refused("the list holds a line longer than 64 KiB");
      return false;
    }
    text encoded;
    if (!add_encoded(encoded, bytes, n)) {
      rc = refused("out of memory");
      return false;
    }
    read += n;
    if (part.len > 0 && part.len + encoded.len > UPLOAD_PART_MAX) {
      if (!upload_part(part, counts, &rc)) return false;
      part.clear();
    }
    if (part.add(encoded.c_str(), encoded.len)) return true;
    rc = refused("out of memory");
    return false;
  }
  // CTL_DONE with the counts, or the exit status of the failure.
  int finish() {
    if (rc != CTL_DONE) return rc;
    if (read == 0) return refused("the list is empty");
    if (part.len > 0 && !upload_part(part, counts, &rc)) return rc;
    return CTL_DONE;
  }
};

// Uploads a proxy list held in memory as the panel's paste area does;
// CTL_DONE with the counts, or the exit status of the failure (told on
// standard error).
int upload_list(const text& list, upload_counts& counts) {
  list_upload up;
  for (size_t at = 0; at < list.len;) {
    const void* nl = std::memchr(list.c_str() + at, '\n', list.len - at);
    const size_t end = nl != nullptr
                           ? static_cast<size_t>(static_cast<const char*>(nl) - list.c_str()) + 1
                           : list.len;
    if (!up.line(list.c_str() + at, end - at)) return up.rc;
    at = end;
  }
  const int rc = up.finish();
  counts = up.counts;
  return rc;
}

// A list of any size from a file or standard input.
int ctl_import(const char* file) {
  FILE* in = std::strcmp(file, "-") == 0 ? stdin : std::fopen(file, "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "merovane ctl: cannot read \"%s\": %s\n", file, std::strerror(errno));
    return CTL_REFUSED;
  }
  list_upload up;
  static char line[LIST_LINE_MAX + 2];
  bool going = true;
  while (going && std::fgets(line, sizeof line, in) != nullptr)
    going = up.line(line, std::strlen(line));
  const bool failed = std::ferror(in) != 0;
  if (in != stdin) std::fclose(in);
  if (!going) return up.rc;
  if (failed) return refused("the list cannot be read");
  const int rc = up.finish();
  if (rc != CTL_DONE) return rc;
  std::printf("%d proxies read, %d new\n", up.counts.count, up.counts.added);
  return CTL_DONE;
}

// ---- set

// The value of member `name` in the settings object, as written there
// (quotes removed); false when absent.
bool settings_member(const char* object, const char* name, char* out, size_t capacity) {
  size_t n = std::strlen(name);
  for (const char* p = object; (p = std::strstr(p, name)) != nullptr; p += n) {
    bool starts = p == object || p[-1] == '{' || p[-1] == ' ' || p[-1] == ',';
    if (!starts || p[n] != ':') continue;
    const char* v = p + n + 1;
    const char* end;
    if (*v == '"') {
      ++v;
      end = v;
      while (*end && *end != '"') end += (*end == '\\' && end[1]) ? 2 : 1;
    } else {
      end = v;
      while (*end && *end != ',' && *end != '}') ++end;
    }
    std::snprintf(out, capacity, "%.*s", static_cast<int>(end - v), v);
    return true;
  }
  return false;
}

// A value as the settings keep it: line breaks (written "\\n" in the
// object) and runs of blanks count as one space, none at the ends.
void squeeze(const char* in, char* out, size_t capacity) {
  size_t n = 0;
  bool blank = true;
  for (const char* p = in; *p && n + 1 < capacity; ++p) {
    bool is_blank = *p == ' ' || *p == '\t' || *p == '\n' || *p == '\r';
    if (p[0] == '\\' && p[1] == 'n') {
      is_blank = true;
      ++p;
    }
    if (is_blank) {
      if (!blank) out[n++] = ' ';
      blank = true;
      continue;
    }
    out[n++] = *p;
    blank = false;
  }
  while (n > 0 && out[n - 1] == ' ') --n;
  out[n] = 0;
}

bool same_setting(const char* stored, const char* given) {
  char a[1024], b[1024];
  squeeze(stored, a, sizeof a);
  squeeze(given, b, sizeof b);
  return std::strcmp(a, b) == 0;
}

int ctl_set(int argc, char** argv) {
  if (argc < 1) return refused("set needs NAME=VALUE");
  text body, value;
  if (!add_param(body, "type", "save_settings")) return refused("out of memory");
  for (int i = 0; i < argc; ++i) {
    const char* eq = std::strchr(argv[i], '=');
    if (eq == nullptr || eq == argv[i]) {
      std::fprintf(stderr, "merovane ctl: \"%s\" is not NAME=VALUE\n", argv[i]);
      return CTL_REFUSED;
    }
    char name[64];
    std::snprintf(name, sizeof name, "%.*s", static_cast<int>(eq - argv[i]), argv[i]);
    // Lists of lines may be given on one line, separated by ';'.
    if (std::strcmp(name, "check_sites") == 0)
      for (char* p = argv[i] + (eq - argv[i]) + 1; *p; ++p)
        if (*p == ';') *p = '\n';
    if (!add_param(body, name, eq + 1)) return refused("out of memory");
  }
  if (!command(body, "settings", value)) return no_instance();
  // Each name must now hold its value: a name the program does not know is
  // not stored, and says so.
  int rc = CTL_DONE;
  for (int i = 0; i < argc; ++i) {
    const char* eq = std::strchr(argv[i], '=');
    char name[64], stored[1024] = "";
    std::snprintf(name, sizeof name, "%.*s", static_cast<int>(eq - argv[i]), argv[i]);
    if (!settings_member(value.c_str(), name, stored, sizeof stored) ||
        !same_setting(stored, eq + 1)) {
      std::fprintf(stderr, "merovane ctl: \"%s\" was not taken%s%s\n", name,
                   stored[0] ? "; it holds " : "", stored);
      rc = CTL_REFUSED;
    } else {
      std::printf("%s=%s\n", name, stored);
    }
  }
  return rc;
}

// ---- chain

struct link {
  uint32_t selection, flags, ip, port;
  bool signs_in;  // the link names a user and password
};

// "socks5://host:port" and the like, or "pick:fastest[:socks5,http]".
bool parse_link(const char* s, link* l, const char** why) {
  if (std::strncmp(s, "pick:", 5) == 0) {
    const char* how = s + 5;
    const char* colon = std::strchr(how, ':');
    size_t how_len = colon != nullptr ? static_cast<size_t>(colon - how) : std::strlen(how);
    l->selection = 0;
    for (const name_value& p : PICKS)
      if (std::strlen(p.name) == how_len && std::strncmp(how, p.name, how_len) == 0)
        l->selection = p.value;
    *why = "pick needs random, fastest, recent or rank";
    if (l->selection == 0) return false;
    l->flags = colon == nullptr ? TYPE_PROTOCOLS : 0;
    for (const char* t = colon != nullptr ? colon + 1 : nullptr; t != nullptr && *t;) {
      const char* comma = std::strchr(t, ',');
      size_t len = comma != nullptr ? static_cast<size_t>(comma - t) : std::strlen(t);
      uint32_t bit = 0;
      for (const name_value& p : SCHEMES)
        if (std::strlen(p.name) == len && std::strncmp(t, p.name, len) == 0) bit = p.value;
      *why = "the protocols of a pick are socks4, socks5, http and https";
      if (bit == 0) return false;
      l->flags |= bit;
      t = comma != nullptr ? comma + 1 : t + len;
    }
    l->flags |= PT_ANONYMOUS;
    l->ip = l->port = 0;
    return true;
  }
  const char* sep = std::strstr(s, "://");
  *why = "a link is socks5://, socks4://, http://, https://host:port or pick:...";
  if (sep == nullptr) return false;
  l->flags = 0;
  for (const name_value& p : SCHEMES)
    if (std::strlen(p.name) == static_cast<size_t>(sep - s) &&
        std::strncmp(s, p.name, static_cast<size_t>(sep - s)) == 0)
      l->flags = p.value;
  if (l->flags == 0) return false;
  const char* rest = sep + 3;
  // user:pass@ is stored with the proxy (as an import stores it), not in
  // the chain table: the link names the proxy by its address and port.
  const char* at = std::strrchr(rest, '@');
  l->signs_in = at != nullptr;
  if (at != nullptr) {
    const char* colon = std::strchr(rest, ':');
    *why = "a user name and password are written user:pass@ before the address";
    if (colon == nullptr || colon == rest || colon > at) return false;
    rest = at + 1;
  }
  char hostport[64];
  std::snprintf(hostport, sizeof hostport, "%s", rest);
  size_t n = std::strlen(hostport);
  if (n > 0 && hostport[n - 1] == '/') hostport[n - 1] = 0;
  *why = "a fixed proxy is an IPv4 address and a port (1-65535)";
  l->selection = SELECT_FIXED;
  return address_port(hostport, &l->ip, &l->port);
}

// The links that sign in go to the instance as a proxy list first, so that
// their proxies hold the user and password before the chain names them.
int store_sign_ins(int argc, char** argv) {
  text list;
  int lines = 0;
  for (int i = 0; i < argc; ++i) {
    link l{};
    const char* why = "";
    if (!parse_link(argv[i], &l, &why) || !l.signs_in) continue;
    if (!list.add(argv[i]) || !list.add("\n")) return refused("out of memory");
    ++lines;
  }
  if (lines == 0) return CTL_DONE;
  upload_counts counts{};
  const int rc = upload_list(list, counts);
  if (rc != CTL_DONE) return rc;
  if (counts.skipped > 0 || counts.count != lines)
    return refused("a link's user name or password was not taken (see the import rules)");
  return CTL_DONE;
}

int ctl_chain(int argc, char** argv) {
  if (argc < 1) return refused("chain needs at least one link");
  static_assert(MAX_CHAIN_LINKS == 29, "the message names the limit");
  if (argc > MAX_CHAIN_LINKS) return refused("a chain holds at most 29 links");
  text body, value;
  char count[8];
  std::snprintf(count, sizeof count, "%d", argc);
  if (!add_param(body, "type", "save_settings") || !add_param(body, "num", count))
    return refused("out of memory");
  for (int i = 0; i < argc; ++i) {
    link l{};
    const char* why = "";
    if (!parse_link(argv[i], &l, &why)) {
      std::fprintf(stderr, "merovane ctl: link \"%s\": %s\n", argv[i], why);
      return CTL_REFUSED;
    }
    const unsigned at = static_cast<unsigned>(i);
    if (!add_number_param(body, "selection", at, l.selection) ||
        !add_number_param(body, "flags", at, l.flags) || !add_number_param(body, "ip", at, l.ip) ||
        !add_number_param(body, "port", at, l.port))
      return refused("out of memory");
  }
  const int stored = store_sign_ins(argc, argv);
  if (stored != CTL_DONE) return stored;
  if (!command(body, "settings", value)) return no_instance();
  // The panel leaves out a link it refuses, and says why.
  const char* why = std::strstr(value.c_str(), "refused:\"");
  if (why != nullptr) {
    why += 9;
    const char* end = std::strchr(why, '"');
    std::fprintf(stderr, "merovane ctl: %.*s\n", static_cast<int>(end != nullptr ? end - why : 0),
                 why);
    return CTL_REFUSED;
  }
  std::printf("chain of %d link%s saved\n", argc, argc == 1 ? "" : "s");
  return CTL_DONE;
}

// ---- check

int recheck(uint32_t ip, uint32_t port) {
  text body, value;
  char ip_text[16], port_text[8];
  std::snprintf(ip_text, sizeof ip_text, "%u", ip);
  std::snprintf(port_text, sizeof port_text, "%u", port);
  if (!add_param(body, "type", "recheck_proxy") || !add_param(body, "ip", ip_text) ||
      !add_param(body, "port", port_text))
    return refused("out of memory");
  return command(body, "ping", value) ? CTL_DONE : CTL_NO_INSTANCE;
}

long member_number(const char* object, const char* name) {
  char value[32] = "";
  return settings_member(object, name, value, sizeof value) ? std::strtol(value, nullptr, 10) : 0;
}

bool ask_progress(const char* front, pass_report& r) {
  text body, value;
  if (!add_param(body, "type", "check_progress")) return false;
  if (front[0] != 0 && !add_param(body, "front", front)) return false;
  if (!command(body, "check_progress", value)) return false;
  const char* v = value.c_str();
  r = pass_report{};
  static constexpr struct {
    const char* name;
    long pass_report::*field;
  } numbers[] = {{"active", &pass_report::active},
                 {"passes", &pass_report::passes},
                 {"done", &pass_report::done},
                 {"working", &pass_report::working},
                 {"remaining", &pass_report::remaining},
                 {"running", &pass_report::running},
                 {"elapsed", &pass_report::elapsed},
                 {"eta", &pass_report::eta},
                 {"sites", &pass_report::sites},
                 {"proxies", &pass_report::proxies},
                 {"usable", &pass_report::usable},
                 {"links", &pass_report::links},
                 {"due", &pass_report::due}};
  for (const auto& n : numbers) r.*(n.field) = member_number(v, n.name);
  settings_member(v, "mode", r.mode, sizeof r.mode);
  settings_member(v, "line", r.line, sizeof r.line);
  return true;
}

// What a first run still lacks, and the command that gives it.
void print_first_steps(const pass_report& r) {
  if (r.proxies == 0)
    std::printf("No proxies yet: add a list with \"merovane ctl import FILE\".\n");
  else if (r.usable == 0 && r.active == 0)
    std::printf("No working proxy yet: \"merovane ctl check\" checks them all now.\n");
  if (r.links == 0) std::printf("No chain set: set one with \"merovane ctl chain pick:random\".\n");
  if (std::strcmp(r.mode, "reach") == 0)
    std::printf("Checks: reachability only; set a checker service to grade anonymity.\n");
  else if (std::strcmp(r.mode, "wait") == 0)
    std::printf("Checks: waiting for the checker service to answer.\n");
}

void print_progress(const pass_report& r, bool terminal) {
  if (!terminal) {
    std::printf("%s\n", r.line);
    std::fflush(stdout);
    return;
  }
  const long total = r.done + r.remaining;
  const int width = 30;
  const int filled = total > 0 ? static_cast<int>(r.done * width / total) : 0;
  char bar[width + 1];
  for (int i = 0; i < width; ++i) bar[i] = i < filled ? '#' : '.';
  bar[width] = 0;
  std::printf("\r[%s] %s\033[K", bar, r.line);
  std::fflush(stdout);
}

// Puts the proxies in front (all of them, or the new ones) and follows the
// pass to its end.
int check_pass(bool all) {
  pass_report r{};
  if (!ask_progress(all ? "all" : "new", r)) return no_instance();
  if (r.due == 0 && r.active == 0) {
    std::printf("nothing to check\n");
    return CTL_DONE;
  }
  const bool terminal = isatty(STDOUT_FILENO) != 0;
  // A pass that began (and may have ended) since the proxies were put in front.
  const long passes_before = r.active != 0 ? r.passes - 1 : r.passes;
  bool seen = r.active != 0;
  uint32_t last_line = tick_now();
  for (int waited = 0;; ++waited) {
    if (seen && r.active == 0) break;
    const bool no_sites = std::strcmp(r.mode, "reach") == 0 && r.sites == 0;
    if (!seen && (waited >= 20 || (no_sites && waited >= 6))) {
      std::printf("checks have not started: %s\n",
                  no_sites ? "no check site has an address (setting \"check_sites\")"
                  : std::strcmp(r.mode, "wait") == 0 ? "waiting for the checker service"
                                                     : "no proxy is due");
      return CTL_REFUSED;
    }
    if (terminal || tick_now() - last_line >= 5000u) {
      if (r.active != 0) print_progress(r, terminal);
      last_line = tick_now();
    }
    usleep(terminal ? 250000 : 500000);
    if (!ask_progress("", r)) return no_instance();
    seen = seen || r.active != 0 || r.passes > passes_before;
  }
  if (terminal) std::printf("\n");
  std::printf("%ld checked: %ld working, %ld not working\n", r.done, r.working, r.done - r.working);
  return CTL_DONE;
}

int ctl_check(int argc, char** argv) {
  if (argc >= 1 && argv[0][0] != '-') {
    uint32_t ip = 0, port = 0;
    if (!address_port(argv[0], &ip, &port)) return refused("check takes address:port");
    int rc = recheck(ip, port);
    if (rc == CTL_NO_INSTANCE) return no_instance();
    std::printf("%s queued for a check\n", argv[0]);
    return rc;
  }
  return check_pass(!(argc >= 1 && std::strcmp(argv[0], "--new") == 0));
}

bool has_flag(int argc, char** argv, const char* flag) {
  for (int i = 0; i < argc; ++i)
    if (std::strcmp(argv[i], flag) == 0) return true;
  return false;
}

}  // namespace

int ctl_main(int argc, char** argv) {
  if (argc < 1 || argv[0] == nullptr) return refused("a command is needed (see merovane --help)");
  const char* cmd = argv[0];
  const bool json = has_flag(argc - 1, argv + 1, "--json");
  if (reg_root()[0] == 0) {
    // No token: no instance was ever set up in this home, or its registry
    // file cannot be read by this user.
    char registry[600];
    if (!path_registry_file(registry, sizeof registry)) registry[0] = 0;
    std::fprintf(stderr, "merovane ctl: no panel token in the registry file \"%s\"\n", registry);
    return CTL_NO_INSTANCE;
  }
  if (std::strcmp(cmd, "url") == 0) return ctl_url();
  if (std::strcmp(cmd, "status") == 0) return ctl_status(json);
  if (std::strcmp(cmd, "proxies") == 0) return ctl_proxies(json);
  if (std::strcmp(cmd, "import") == 0)
    return argc >= 2 ? ctl_import(argv[1]) : refused("import needs FILE or -");
  if (std::strcmp(cmd, "set") == 0) return ctl_set(argc - 1, argv + 1);
  if (std::strcmp(cmd, "chain") == 0) return ctl_chain(argc - 1, argv + 1);
  if (std::strcmp(cmd, "check") == 0) return ctl_check(argc - 1, argv + 1);
  std::fprintf(stderr, "merovane ctl: unknown command \"%s\" (see merovane --help)\n", cmd);
  return CTL_REFUSED;
}
