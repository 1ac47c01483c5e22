#include "chain/errorpage.h"

#include <cstdio>
#include <cstring>

#include "util/literal.h"
#include "util/text.h"

namespace {

constexpr const char* PRODUCT_NAME = "Merovane";

constexpr char page_top[] =
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\"><html>\n"
    "<head>\n"
    "<title>Error :: @PROG</title>\n"
    "<style>\n"
    "a,a:link,a:visited,a:active{color:#0000a0;text-decoration:none; cursor:pointer;}\n"
    "a:hover{color:#ff0000;text-decoration:underline;}\n"
    ".t,a:link.t,a:visited.t,a:hover.t{color:#666666;font-weight:bold;text-decoration:none;}\n"
    "h1,h2{color:#cc0000;}\n"
    "code{color:#666666}\n"
    "</style>\n"
    "</head>\n"
    "<body bgcolor=\"#ffffff\">\n";

constexpr char page_wrong_socks[] =
    "<h2>Unsupported SOCK command.</h2>\n"
    "<p>The command you are trying to execute, is not supported by @LINK.</p>\n"
    "<p>Destination address: <code>@ADDR</code></p>\n"
    "<p>Destination port: <code>@PORT</code></p>\n"
    "<p>Dump: <code>@DUMP</code></p>\n";

constexpr char page_not_http[] =
    "<h2>Wrong HTTP request.</h2>\n"
    "<p>The data received by @LINK does not look like HTTP.</p>\n"
    "<p>HTTP headers received:<br><code>@HDR</code></p>";

constexpr char page_not_found[] =
    "<h2>File not found</h2>\n"
    "<p>Requested file was not found.</p>";

constexpr char page_localhost[] =
    "<h2>Loopback is not alowed</h2>\n"
    "<p>You can not connect to local host.</p><p>If you want to get to control panel, please "
    "double click on @LINK icon on your desktop.</p>";

constexpr char page_no_database[] =
    "<h2>Proxy chains are not available</h2>\n"
    "<p>@LINK cannot open its database, so it has no proxies to carry this request. It tries "
    "again every 15 seconds; see its messages for the reason.</p>";
constexpr char page_bad_gateway[] =
    "<h2>Bad Gateway</h2>\n"
    "<p>@LINK could not reach the destination through its proxy chain: @WHY.</p>\n"
    "<p>Destination: <code>@ADDR</code> port <code>@PORT</code></p>\n";

constexpr char page_blocked[] =
    "<h2>Blocked</h2>\n"
    "<p>@LINK does not connect to this destination: @WHY.</p>\n"
    "<p>Destination: <code>@ADDR</code> port <code>@PORT</code></p>\n";
constexpr char page_direct_failed[] =
    "<h2>Bad Gateway</h2>\n"
    "<p>@LINK could not reach the destination directly: @WHY.</p>\n"
    "<p>Destination: <code>@ADDR</code> port <code>@PORT</code></p>\n";

constexpr char page_foot[] =
    "<br><br><br><br><br><br>\n"
    "<p>Powered by @LINK</p>\n"
    "</body>\n"
    "</html>";

// Texts built from client bytes stop growing once they reach this length;
// one more entity keeps them inside their 512-byte buffers.
constexpr size_t PIECE_LIMIT = 496;
constexpr size_t PIECE_SIZE = 512;

// Appends src to dst (capacity cap), cutting at the capacity.
void append_bounded(char* dst, size_t cap, const char* src) {
  size_t have = strnlen(dst, cap);
  if (have + 1 >= cap) return;
  snprintf(dst + have, cap - have, "%s", src);
}

void build_dump(char* out, const stream* in) {
  size_t w = 0;
  out[0] = 0;
  for (uint32_t i = 0; i < in->len && w < PIECE_LIMIT; ++i) {
    w += static_cast<size_t>(snprintf(out + w, PIECE_SIZE - w, "%02x ", in->data[i]));
  }
}

void build_headers(char* out, const stream* in) {
  size_t w = 0;
  out[0] = 0;
  for (uint32_t i = 0; i < in->len && w < PIECE_LIMIT; ++i) {
    char c = static_cast<char>(in->data[i]);
    const char* rep = nullptr;
    switch (c) {
      case '\r':
        continue;
      case '\n':
        rep = "<br>";
        break;
      case '&':
        rep = "&amp;";
        break;
      case '<':
        rep = "&lt;";
        break;
      case '>':
        rep = "&gt;";
        break;
      // A NUL byte would end the text early; show it like any other byte
      // that cannot be printed.
      case 0:
        rep = "?";
        break;
      default:
        break;
    }
    if (rep != nullptr) {
      size_t n = strlen(rep);
      memcpy(out + w, rep, n);
      w += n;
    } else {
      out[w++] = c;
    }
    out[w] = 0;
  }
}

}  // namespace

const char* error_template(int id) {
  switch (id) {
    case PAGE_WRONG_SOCKS:
      return page_wrong_socks;
    case PAGE_NOT_HTTP:
      return page_not_http;
    case PAGE_NOT_FOUND:
      return page_not_found;
    case PAGE_TOP:
      return page_top;
    case PAGE_FOOT:
      return page_foot;
    case PAGE_LOCALHOST:
      return page_localhost;
    case PAGE_NO_DATABASE:
      return page_no_database;
    case PAGE_BAD_GATEWAY:
      return page_bad_gateway;
    case PAGE_BLOCKED:
      return page_blocked;
    case PAGE_DIRECT_FAILED:
      return page_direct_failed;
    default:
      return nullptr;
  }
}

void http_response_head(const char* content_type, int content_length, char* out) {
  if (out == nullptr) return;
  if (content_type == nullptr || content_type[0] == 0) content_type = "text/html";
  char type[RESPONSE_HEAD_SIZE];
  if (text_find(content_type, "text") != nullptr) {
    snprintf(type, sizeof type, "%s; %s=%s", content_type, "charset", "utf-8");
  } else {
    snprintf(type, sizeof type, "%s", content_type);
  }
  int n = snprintf(out, RESPONSE_HEAD_SIZE, "HTTP/1.%d 200 Ok\r\nContent-Type: %s\r\n",
                   content_length == 0 ? 1 : 0, type);
  if (n < 0 || static_cast<size_t>(n) >= RESPONSE_HEAD_SIZE) n = RESPONSE_HEAD_SIZE - 1;
  if (content_length > 0) {
    int m = snprintf(out + n, RESPONSE_HEAD_SIZE - n, "Content-Length: %d\r\n", content_length);
    n += m;
    if (n < 0 || static_cast<size_t>(n) >= RESPONSE_HEAD_SIZE) n = RESPONSE_HEAD_SIZE - 1;
  }
  snprintf(out + n, RESPONSE_HEAD_SIZE - n, "Connection: %s\r\n\r\n",
           content_length == 0 ? "keep-alive" : "close");
}

size_t error_page_build(char* page, size_t capacity, const stream* in, int id,
                        const conn_slot* fields) {
  if (page == nullptr || capacity < 2) return 0;
  memset(page, 0, capacity);
  append_bounded(page, capacity, page_top);
  if (const char* body = error_template(id); body != nullptr && id != PAGE_TOP && id != PAGE_FOOT)
    append_bounded(page, capacity, body);
  append_bounded(page, capacity, page_foot);

  text_replace_all(page, capacity, "@PROG", PRODUCT_NAME);
  // The "File not found" page is served under the panel path: following the
  // product link must not hand that path to the site in a Referer.
  char link[PIECE_SIZE];
  snprintf(link, sizeof link,
           MV_LIT("<a href=\"%s\" target=\"_blank\" rel=\"noreferrer noopener\">%s</a>"),
           MV_LIT("https://talvesk.example/merovane/"), PRODUCT_NAME);
  text_replace_all(page, capacity, "@LINK", link);

  if (fields != nullptr) {
    char host[DEST_HOST_SIZE];
    snprintf(host, sizeof host, "%s", fields->dest_host);
    char addr[DEST_HOST_SIZE * 6];
    if (host[0] == 0) {
      snprintf(addr, sizeof addr, "%s", "<i>unknown</i>");
    } else {
      text_escape_html(addr, sizeof addr, host);
    }
    text_replace_all(page, capacity, "@ADDR", addr);
    char port[24];
    if (fields->dest_port == 0) {
      snprintf(port, sizeof port, "%s", "<i>unknown</i>");
    } else {
      snprintf(port, sizeof port, "%d", fields->dest_port);
    }
    text_replace_all(page, capacity, "@PORT", port);
  }

  if (in != nullptr) {
    char piece[PIECE_SIZE];
    if (text_find(page, "@DUMP") != nullptr) {
      build_dump(piece, in);
      text_replace_all(page, capacity, "@DUMP", piece);
    }
    if (text_find(page, "@HDR") != nullptr) {
      build_headers(piece, in);
      text_replace_all(page, capacity, "@HDR", piece);
    }
  }
  return strnlen(page, capacity);
}

void send_error_page(const stream* in, int index, int id, const conn_slot* fields) {
  char page[ERROR_PAGE_SIZE];
  size_t len = error_page_build(page, sizeof page, in, id, fields);
  char head[RESPONSE_HEAD_SIZE];
  http_response_head(nullptr, static_cast<int>(len), head);
  slot_send(index, head, static_cast<int>(strlen(head)));
  slot_send(index, page, static_cast<int>(len));
}

void send_bad_gateway(int index, const char* why, const conn_slot* fields) {
  send_refusal_page(index, MV_LIT("502 Bad Gateway"), PAGE_BAD_GATEWAY, why, fields);
}

void send_refusal_page(int index, const char* status, int id, const char* why,
                       const conn_slot* fields) {
  char page[ERROR_PAGE_SIZE];
  size_t len = error_page_build(page, sizeof page, nullptr, id, fields);
  char escaped[PIECE_SIZE * 2];
  text_escape_html(escaped, sizeof escaped, why != nullptr ? why : "");
  text_replace_all(page, sizeof page, "@WHY", escaped);
  len = strnlen(page, sizeof page);
  char head[RESPONSE_HEAD_SIZE];
  const int n = snprintf(head, sizeof head,
                         MV_LIT("HTTP/1.0 %s\r\nContent-Type: text/html; "
                                "charset=utf-8\r\nContent-Length: %u\r\nConnection: close\r\n\r\n"),
                         status, static_cast<unsigned>(len));
  if (n <= 0 || static_cast<size_t>(n) >= sizeof head) return;
  slot_send(index, head, n);
  slot_send(index, page, static_cast<int>(len));
}
