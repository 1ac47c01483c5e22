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
#include "startup/ctl_check.h"
#include "startup/ctl_client.h"
#include "startup/ctl_rows.h"
#include "startup/ctl_rules.h"
#include "startup/ctl_user.h"
#include "startup/runmodes.h"
#include "util/registry.h"

using namespace ctl;

namespace {

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

int ctl_status(bool json) {
  text page;
  if (!panel_request("GET", "netstatus.html", nullptr, page)) return no_instance();
  if (!json) ctl_print_pass();
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
  if (std::strcmp(cmd, "user") == 0) return ctl_user(argc - 1, argv + 1);
  if (std::strcmp(cmd, "rules") == 0) return ctl_rules(argc - 1, argv + 1);
  std::fprintf(stderr, "merovane ctl: unknown command \"%s\" (see merovane --help)\n", cmd);
  return CTL_REFUSED;
}
