// The panel's command interface: parameters of POST requests to "ajax"
// (finding, URL decoding, numbers), the commands that read and change the
// proxy list, the chain and the settings, and their one-line script replies.
#pragma once

#include <cstddef>
#include <cstdint>

// A run of name=value items inside the request bytes (not NUL-terminated).
struct param_span {
  const char* data;
  size_t len;
};

// Span 0 is the query string, span 1 the POST body.
struct param_spans {
  param_span span[2];
};

// Raw value of a parameter (the body's value wins over the query's); false
// when absent.
bool param_find(const param_spans& spans, const char* name, const char** value, size_t* length);
// URL-decoded value, at most size - 2 characters and a NUL; true when present.
bool param_text(const char* name, size_t size, const param_spans& spans, char* buffer);
// Leading decimal digits of the decoded value; 0 when absent or not a digit.
uint32_t param_number(const char* name, const param_spans& spans);

// Decodes "+", "%XX" and "%uXXXX" (as "?") from src up to its NUL into dest,
// writing at most n - 1 characters and a NUL. Returns the length written.
size_t url_decode(const char* src, char* dest, size_t n);
// Drops leading and trailing blanks and squeezes inner runs to one space.
void blank_normalize(char* text);

// Row layouts shared with the panel script:
//   "load_proxy" rows: ip, port, type, blocked, rank, t_ok, n_err, timeout, host
//   chain rows of the settings object: position, selection, flags, ip, port
// "order" of "load_proxy" accepts one of the list columns, optionally followed
// by ASC or DESC (any case); anything else lists without ordering.

// The decoded "list" of an "upload_proxy" request (malloc'd), or null when
// it has none.
char* upload_text(const param_spans& spans);

// The reply script for a command request, or null (the caller then sends
// the ping reply). malloc'd.
char* panel_ajax(const param_spans& spans);
// The reply script "ajax_callback("type",value);" of a command's value
// (taken and freed; null gives null). malloc'd.
char* ajax_script(const char* type, char* value);
// The reply value of one command, or null; may rewrite type (64 bytes).
char* panel_command(char* type, const param_spans& spans);

// WHERE and ORDER BY texts of the proxy list, from the list filters; order
// is used only when it names a known column (optionally ASC or DESC).
void proxy_list_where(int filter, int live, int dead, int blocked, int anon, char* out,
                      size_t size);
void proxy_list_order(const char* order, char* out, size_t size);
