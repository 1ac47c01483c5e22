// Replies of header-echo checker services other than our own reply block:
// "NAME = value" lines (CGI names, possibly inside an HTML page) and a JSON
// object with "origin" (the address the request came from) and "headers".
// Both readers hand over the address as "REMOTE_ADDR" and every header that
// can reveal a proxy as "HTTP_<NAME>"; nothing else of such a reply is used.
// Owns the list of revealing header names.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t ECHO_TAG_SIZE = 64;     // longest item name kept, NUL included
constexpr size_t ECHO_VALUE_SIZE = 512;  // longest item value kept, NUL included

// Called once per item found; ctx is the reader's caller's.
using echo_item_fn = void (*)(const char* tag, const char* value, void* ctx);

// Reads "NAME = value" lines from the body (HTML tags count as line ends).
// Returns the number of items handed over.
int echo_read_lines(const uint8_t* body, size_t length, echo_item_fn fn, void* ctx);
// Reads a JSON object from the body. Returns the number of items handed
// over; 0 when the body is not such an object.
int echo_read_json(const uint8_t* body, size_t length, echo_item_fn fn, void* ctx);

// True for a header name in CGI form (upper case, "_" for "-", without the
// "HTTP_" prefix) that can reveal a proxy or the address of its user.
bool echo_header_reveals(const char* name);

// Start of the body after the HTTP head, or `bytes` itself when there is no
// status line in front.
const uint8_t* echo_body(const uint8_t* bytes, size_t length);
