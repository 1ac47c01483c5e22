// Proxy list import: one pass over free text, every dotted address with a
// following port becomes a proxy unless the table holds it already.
#include "maintenance/import.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "chain/negotiate.h"
#include "db/db.h"
#include "engine/loop.h"
#include "maintenance/checkqueue.h"
#include "util/ascii.h"
#include "util/literal.h"
#include "util/text.h"

namespace {

// Reads a dotted address at p: digits and dots only, exactly three dots, a
// digit after the last one, each part kept in 8 bits. On success sets addr
// (first octet in the low byte) and end. On failure sets next to the first
// position after p where a read can succeed (every position in between
// would fail the same way), so a long run of digits is scanned once.
bool read_dotted(const char* p, uint32_t* addr, const char** end, const char** next) {
  const char* run_end = p;
  int dots = 0;
  while (ascii_is_digit(*run_end) || *run_end == '.') {
    if (*run_end == '.') ++dots;
    ++run_end;
  }
  bool ends_in_digit = run_end > p && ascii_is_digit(run_end[-1]);
  if (dots == 3 && ends_in_digit) {
    uint32_t parts[4] = {0, 0, 0, 0};
    int part = 0;
    for (const char* q = p; q < run_end; ++q) {
      if (*q == '.')
        ++part;
      else
        parts[part] = (parts[part] * 10 + static_cast<uint32_t>(*q - '0')) & 0xFF;
    }
    *addr = parts[0] | parts[1] << 8 | parts[2] << 16 | parts[3] << 24;
    *end = run_end;
    return true;
  }
  if (dots > 3 && ends_in_digit) {
    // The first start with exactly three dots left is just after dot (dots - 3).
    int skip = dots - 3;
    const char* q = p;
    while (skip > 0) {
      if (*q == '.') --skip;
      ++q;
    }
    *next = q;
  } else {
    *next = run_end > p ? run_end : p + 1;
  }
  return false;
}

// Pairs are stored in transactions of this many, so a long list costs a
// few commits instead of one per line (and a few log pages per batch).
constexpr int IMPORT_BATCH = 1000;

// What an import did, and the open batch of writes.
struct import_counts {
  int count;
  int added;
  int with_credentials;
  int skipped_scheme;
  int skipped_address;
  int skipped_credentials;
  int in_batch;     // writes in the open batch
  int batch_added;  // rows the open batch added, counted once it commits
  bool open;        // a transaction is open
};

// Rows are written in transactions of IMPORT_BATCH; rows of a batch that
// could not be committed are not counted. The database lock is free again
// between batches.
void batch_open(import_counts& c) {
  if (!c.open && c.in_batch == 0) c.open = db_begin();
}

void batch_close(import_counts& c) {
  if (!c.open || db_commit()) c.added += c.batch_added;
  c.open = false;
  c.batch_added = 0;
  c.in_batch = 0;
}

void batch_row(import_counts& c, bool added) {
  if (added) ++c.batch_added;
  if (++c.in_batch >= IMPORT_BATCH) batch_close(c);
}

bool proxy_known(uint32_t addr, uint16_t port) {
  char* known = db_query_text("", "", MV_LIT("SELECT count(*) FROM proxy WHERE ip=%u AND port=%d"),
                              addr, port);
  const bool present = known != nullptr && parse_decimal(known) != 0;
  free(known);
  return present;
}

void add_pair(uint32_t addr, uint16_t port, void* user) {
  import_counts& counts = *static_cast<import_counts*>(user);
  batch_open(counts);
  // Our own listener is never a proxy: a chain through it would loop.
  const bool added = !chain_hop_is_us(addr, port) && !proxy_known(addr, port) &&
                     db_exec(MV_LIT("INSERT INTO proxy(ip,port) VALUES(%u,%d)"), addr, port) != 0;
  batch_row(counts, added);
}

// A proxy line with its sign-in: a new proxy, or new credentials for a
// known one (its earlier refusal forgotten). Its scheme is kept as the
// protocol the checker tries first.
void add_line(const proxy_line& line, import_counts& counts) {
  counts.count += 1;
  if (line.user_length > 0) counts.with_credentials += 1;
  batch_open(counts);
  if (chain_hop_is_us(line.addr, line.port)) {
    batch_row(counts, false);
    return;
  }
  if (!proxy_known(line.addr, line.port)) {
    batch_row(counts, db_exec(MV_LIT("INSERT INTO proxy(ip,port,auth_user,auth_pass,scheme) "
                                     "VALUES(%u,%d,%Q,%Q,%d)"),
                              line.addr, line.port, line.user, line.pass, line.protocol) != 0);
    return;
  }
  if (line.protocol != 0)
    db_exec(MV_LIT("UPDATE proxy SET scheme=%d WHERE ip=%u AND port=%d"), line.protocol, line.addr,
            line.port);
  if (line.user_length > 0)
    db_exec(MV_LIT("UPDATE proxy SET auth_user=%Q,auth_pass=%Q,auth_refused=0 WHERE ip=%u AND "
                   "port=%d"),
            line.user, line.pass, line.addr, line.port);
  batch_row(counts, false);
}

struct scheme_name {
  const char* name;
  uint16_t protocol;
};
constexpr scheme_name SCHEMES[] = {{"socks4", PT_SOCKS4}, {"socks4a", PT_SOCKS4},
                                   {"socks5", PT_SOCKS5}, {"socks5h", PT_SOCKS5},
                                   {"http", PT_HTTP},     {"https", PT_HTTPS}};

// Decodes %XX in [p, end) into out (capacity PROXY_LOGIN_MAX); false when
// an escape is broken, a byte is 0, or the text does not fit.
bool decode_part(const char* p, const char* end, char* out, uint8_t* length) {
  size_t n = 0;
  while (p < end) {
    int c = static_cast<unsigned char>(*p++);
    if (c == '%') {
      const int high = end - p < 2 ? -1 : ascii_hex_value(static_cast<unsigned char>(p[0]));
      const int low = end - p < 2 ? -1 : ascii_hex_value(static_cast<unsigned char>(p[1]));
      if (high < 0 || low < 0) return false;
      c = high * 16 + low;
      p += 2;
    }
    if (c == 0 || n + 1 >= PROXY_LOGIN_MAX) return false;
    out[n++] = static_cast<char>(c);
  }
  out[n] = 0;
  *length = static_cast<uint8_t>(n);
  return true;
}

}  // namespace

line_form parse_proxy_line(const char* p, const char* end, proxy_line& out) {
  out = proxy_line{};
  while (p < end && ascii_is_blank(*p)) ++p;
  while (end > p && ascii_is_blank(end[-1])) --end;
  const char* at = nullptr;
  const char* scheme_end = nullptr;
  for (const char* q = p; q < end; ++q) {
    if (*q == '@') at = q;
    if (scheme_end == nullptr && q + 2 < end && q[0] == ':' && q[1] == '/' && q[2] == '/')
      scheme_end = q;
  }
  // Free text (a page, a sentence) is not a proxy line even when it holds
  // an address behind a link or a mail address.
  for (const char* q = p; q < end; ++q)
    if (*q == ' ' || *q == '\t' || *q == '<' || *q == '>' || *q == '"' || *q == '\'')
      return line_form::plain;
  if (at == nullptr && scheme_end == nullptr) return line_form::plain;
  if (scheme_end != nullptr && (at == nullptr || scheme_end < at)) {
    const size_t n = static_cast<size_t>(scheme_end - p);
    bool known = false;
    for (const scheme_name& s : SCHEMES) {
      if (strlen(s.name) == n && strncasecmp(p, s.name, n) == 0) {
        out.protocol = s.protocol;
        known = true;
      }
    }
    if (!known) return line_form::bad_scheme;
    p = scheme_end + 3;
  }
  if (at != nullptr) {
    const char* colon = static_cast<const char*>(memchr(p, ':', static_cast<size_t>(at - p)));
    if (colon == nullptr || colon == p) return line_form::bad_credentials;
    if (!decode_part(p, colon, out.user, &out.user_length) ||
        !decode_part(colon + 1, at, out.pass, &out.pass_length))
      return line_form::bad_credentials;
    p = at + 1;
  }
  if (end > p && end[-1] == '/') --end;  // "socks5://1.2.3.4:1080/"
  char host[32];
  const char* colon = static_cast<const char*>(memchr(p, ':', static_cast<size_t>(end - p)));
  if (colon == nullptr || colon - p >= static_cast<long>(sizeof host))
    return line_form::bad_address;
  memcpy(host, p, static_cast<size_t>(colon - p));
  host[colon - p] = 0;
  in_addr parsed{};
  if (inet_pton(AF_INET, host, &parsed) != 1) return line_form::bad_address;
  uint32_t port = 0;
  const char* q = colon + 1;
  for (; q < end && ascii_is_digit(*q) && port <= 65535; ++q)
    port = port * 10 + static_cast<uint32_t>(*q - '0');
  if (q != end || port == 0 || port > 65534) return line_form::bad_address;
  out.addr = parsed.s_addr;
  out.port = static_cast<uint16_t>(port);
  return line_form::proxy;
}

namespace {

// The tolerant scan from p on, stopping after `most` pairs; p is left where
// the scan goes on. Returns the pairs found.
int scan_from(const char*& p, int lower_limit, void (*found)(uint32_t, uint16_t, void*), void* user,
              int most) {
  int count = 0;
  while (*p && count < most) {
    uint32_t addr;
    const char* end;
    const char* next;
    if (!read_dotted(p, &addr, &end, &next)) {
      p = next;
      continue;
    }
    // Separators of any kind, markup and leading zeros of the port are passed over.
    const char* q = end;
    while (*q && !(*q >= '1' && *q <= '9')) ++q;
    if (*q == 0) {
      p = q;
      break;
    }
    uint32_t other;
    const char* other_end;
    const char* ignored;
    if (read_dotted(q, &other, &other_end, &ignored)) {
      p = q;  // an address without a port: the next address starts here
      continue;
    }
    const char* digits = q;
    uint32_t port = 0;
    while (ascii_is_digit(*q)) {
      if (port <= 65535) port = port * 10 + static_cast<uint32_t>(*q - '0');
      ++q;
    }
    if (port == 0 || port > 65534 || (lower_limit && port < 80)) {
      p = digits;
      continue;
    }
    ++count;
    if (found != nullptr) found(addr, static_cast<uint16_t>(port), user);
    p = q;
  }
  return count;
}

}  // namespace

int import_scan(const char* text, int lower_limit, void (*found)(uint32_t, uint16_t, void*),
                void* user) {
  if (text == nullptr) return 0;
  const char* p = text;
  return scan_from(p, lower_limit, found, user, INT32_MAX);
}

namespace {

// An import in steps of one batch: the lines in the proxy form first (each
// taken or skipped, then blanked out), then the tolerant scan over what is
// left of the text, across line ends.
struct import_job {
  char* text;  // the malloc'd copy
  const char* at;
  bool scanning;
  int lower_limit;
  import_counts counts;
  import_done_fn done;
  uint64_t ref;
  char label[IMPORT_LABEL_SIZE];
};

bool job_open(import_job& job, const char* text, int lower_limit) {
  job = import_job{};
  const size_t length = text != nullptr ? strlen(text) : 0;
  job.text = static_cast<char*>(malloc(length + 1));
  if (job.text == nullptr) return false;
  if (length > 0) memcpy(job.text, text, length);
  job.text[length] = 0;
  job.at = job.text;
  job.lower_limit = lower_limit;
  return true;
}

// Lines in the proxy form from job.at, at most `most` of them taken.
int take_lines(import_job& job, int most) {
  int taken = 0;
  char* p = job.text + (job.at - job.text);
  while (*p && taken < most) {
    char* end = p;
    while (*end && *end != '\n') ++end;
    proxy_line line{};
    const line_form form = parse_proxy_line(p, end, line);
    if (form == line_form::proxy) {
      add_line(line, job.counts);
      ++taken;
    }
    if (form == line_form::bad_scheme) job.counts.skipped_scheme += 1;
    if (form == line_form::bad_address) job.counts.skipped_address += 1;
    if (form == line_form::bad_credentials) job.counts.skipped_credentials += 1;
    if (form != line_form::plain) memset(p, ' ', static_cast<size_t>(end - p));
    memset(&line, 0, sizeof line);  // no password lingers on the stack
    p = *end ? end + 1 : end;
  }
  job.at = p;
  return taken;
}

// One batch: at most IMPORT_BATCH rows in one transaction. True when the
// import is through.
bool job_step(import_job& job) {
  int rows = 0;
  if (!job.scanning) {
    rows = take_lines(job, IMPORT_BATCH);
    if (*job.at == 0) {
      job.scanning = true;
      job.at = job.text;
    }
  }
  if (job.scanning && rows < IMPORT_BATCH)
    job.counts.count +=
        scan_from(job.at, job.lower_limit, add_pair, &job.counts, IMPORT_BATCH - rows);
  batch_close(job.counts);
  return job.scanning && *job.at == 0;
}

// The summary of a finished import (malloc'd, or null without memory); the
// text is freed and a large import's write-ahead log folded in.
char* job_close(import_job& job) {
  free(job.text);
  job.text = nullptr;
  const import_counts& counts = job.counts;
  if (counts.added >= IMPORT_BATCH) db_checkpoint();
  if (counts.added > 0) check_queue_wake();
  const int skipped = counts.skipped_scheme + counts.skipped_address + counts.skipped_credentials;
  if (counts.with_credentials == 0 && skipped == 0)
    return text_append_format(nullptr, MV_LIT("{count:%d, added:%d}"), counts.count, counts.added);
  return text_append_format(nullptr,
                            MV_LIT("{count:%d, added:%d, credentials:%d, skipped:%d, "
                                   "bad_scheme:%d, bad_address:%d, bad_credentials:%d}"),
                            counts.count, counts.added, counts.with_credentials, skipped,
                            counts.skipped_scheme, counts.skipped_address,
                            counts.skipped_credentials);
}

// Imports waiting or running, oldest first; one batch per engine cycle.
import_job jobs[IMPORT_JOBS];
int job_count = 0;

void run_jobs() {
  if (job_count == 0) return;
  const bool ended = job_step(jobs[0]);
  // New proxies are due at once: their checks start while the rest of a
  // long list goes in.
  if (jobs[0].counts.added > 0) check_queue_wake();
  if (!ended) {
    engine_later(run_jobs);
    return;
  }
  import_job finished = jobs[0];
  memmove(&jobs[0], &jobs[1], sizeof(import_job) * static_cast<size_t>(job_count - 1));
  --job_count;
  if (job_count > 0) engine_later(run_jobs);
  char* summary = job_close(finished);
  if (finished.done != nullptr)
    finished.done(summary, finished.ref, finished.label);
  else
    free(summary);
}

}  // namespace

char* import_proxy_list(const char* text, int lower_limit) {
  import_job job;
  if (!job_open(job, text, lower_limit)) return nullptr;
  while (!job_step(job)) {
  }
  return job_close(job);
}

bool import_start(const char* text, int lower_limit, import_done_fn done, uint64_t ref,
                  const char* label) {
  if (job_count >= IMPORT_JOBS) return false;
  import_job& job = jobs[job_count];
  if (!job_open(job, text, lower_limit)) return false;
  job.done = done;
  job.ref = ref;
  snprintf(job.label, sizeof job.label, "%s", label != nullptr ? label : "");
  if (!engine_later(run_jobs)) {
    free(job.text);
    return false;
  }
  ++job_count;
  return true;
}

int import_pending() {
  return job_count;
}
