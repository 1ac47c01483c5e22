// Refusal pages: the HTML templates of the pages the server answers with
// instead of closing silently (wrong SOCKS destination, data that is not
// HTTP, missing panel file, request for this machine), their placeholders,
// and the minimal HTTP response head shared with the panel server.
#pragma once

#include <cstddef>

#include "engine/slot.h"

constexpr size_t ERROR_PAGE_SIZE = 8192;    // page buffer, head + body + foot
constexpr size_t RESPONSE_HEAD_SIZE = 512;  // output of http_response_head

// Template ids.
constexpr int PAGE_WRONG_SOCKS = 10;    // body: refused SOCKS request
constexpr int PAGE_NOT_HTTP = 11;       // body: data that does not look like HTTP
constexpr int PAGE_NOT_FOUND = 12;      // body: panel file not found
constexpr int PAGE_TOP = 13;            // first part of every page
constexpr int PAGE_FOOT = 14;           // last part of every page
constexpr int PAGE_LOCALHOST = 15;      // body: request for this machine
constexpr int PAGE_NO_DATABASE = 16;    // body: the database is not open
constexpr int PAGE_BAD_GATEWAY = 17;    // body: the chain could not be built (@WHY)
constexpr int PAGE_BLOCKED = 18;        // body: a rule blocks the destination (@WHY)
constexpr int PAGE_DIRECT_FAILED = 19;  // body: a direct connection failed (@WHY)

// Text of a template, or null for an unknown id.
const char* error_template(int id);

// Writes a response head into out (RESPONSE_HEAD_SIZE bytes): status 200,
// the content type ("text/html" when null; any "text" type gets
// "; charset=utf-8"), HTTP/1.0 with Content-Length and "close" for a length
// above 0, HTTP/1.1 without length and "keep-alive" for length 0.
void http_response_head(const char* content_type, int content_length, char* out);

// Builds the page of template `id` into page (capacity bytes, normally
// ERROR_PAGE_SIZE) and returns its length. `in` (may be null) feeds @DUMP
// and @HDR; `fields` (may be null) feeds @ADDR and @PORT.
size_t error_page_build(char* page, size_t capacity, const stream* in, int id,
                        const conn_slot* fields);

// Queues "HTTP/1.0 502 Bad Gateway" and its page on slot `index`: `why`
// (plain text, escaped here) names the hop that failed and how.
void send_bad_gateway(int index, const char* why, const conn_slot* fields);

// Queues "HTTP/1.0 " status (e.g. "403 Forbidden") and the page of
// template id, its @WHY replaced by `why` (plain text, escaped here).
void send_refusal_page(int index, const char* status, int id, const char* why,
                       const conn_slot* fields);

// Builds the page and queues head and page on slot `index`. Leaves the
// slot's kind alone; the caller decides what follows.
void send_error_page(const stream* in, int index, int id, const conn_slot* fields);
