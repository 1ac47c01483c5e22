// Reachability checks: while no checker service answers, a proxy is checked
// by fetching a known page through it. Owns the "check_sites" list (one site
// a line, "http://HOST[:PORT]/PATH WORD": the page and a word it must hold),
// the addresses of its hosts, the page request and the page test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

constexpr int CHECK_SITES_MAX = 8;
constexpr size_t CHECK_SITE_HOST_SIZE = 128;
constexpr size_t CHECK_SITE_PATH_SIZE = 256;
constexpr size_t CHECK_SITE_WORD_SIZE = 64;
// The most of a page read before it is judged.
constexpr uint32_t CHECK_PAGE_LIMIT = 65536;

struct check_site {
  char host[CHECK_SITE_HOST_SIZE];
  char path[CHECK_SITE_PATH_SIZE];  // starts with '/'
  char word[CHECK_SITE_WORD_SIZE];
  uint16_t port;
  uint32_t addr;  // network byte order; 0 while unknown
};

// Reads a list (lines separated by newlines or ';'); entries that are not
// of the form are skipped. The number of sites read. `bad_line` (when not
// null) receives the number (1-based) of the first line that was refused,
// 0 when none was.
int check_sites_parse(std::string_view text, check_site* out, int capacity, int* bad_line);
// The built-in list: the chain test's sites.
const char* check_sites_default();

// Loads the setting when it changed (a look at most once a pass) and asks
// for the addresses of named hosts. The number of sites whose address is
// known, ready for use.
int check_sites_ready();
// The next ready site, in turn; -1 when none is.
int check_site_pick();
const check_site* check_site_at(int site);
// Forgets the list and the addresses (a reload, tests).
void check_sites_reset();

// The page request of a site: the absolute URL as the target (for a plain
// HTTP proxy) or the path; `extra` (a header line with its CRLF, or "") goes
// after the Host line. Its length, 0 when it did not fit.
size_t check_site_request(const check_site& site, bool absolute, std::string_view extra, char* out,
                          size_t capacity);
// Judges what was read of an answer: passed (a 2xx status and the word in
// the body), failed (any other status, or the page ended without the word),
// or more is needed.
enum class page_verdict { more, passed, failed };
page_verdict check_site_judge(const check_site& site, const uint8_t* data, size_t length,
                              bool ended);
