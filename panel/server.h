// The panel's HTTP server: parses panel requests under the secret path,
// serves the embedded files, the icon, the about page and the network
// status page, keeps flow connections open as push channels, and hands
// POST requests to "ajax" to the command interface.
#pragma once

#include <cstddef>
#include <cstdint>

struct param_spans;

// Requests above this size (head, or declared body) are refused.
constexpr uint32_t PANEL_REQUEST_LIMIT = 1u << 20;

// What a served request leaves in the slot's route area (status page).
struct panel_slot_record {
  char method[32];
  char file[96];
  uint8_t state;       // PANEL_SLOT_*
  uint8_t kept;        // requests answered on a kept connection
  uint8_t keep_after;  // the waiting request asked to keep the connection
  uint32_t serial;     // of the upload the slot waits for
};
constexpr uint8_t PANEL_SLOT_FRESH = 0;    // just handed over
constexpr uint8_t PANEL_SLOT_READING = 1;  // reading requests
constexpr uint8_t PANEL_SLOT_DONE = 2;     // answered and closing, or a push channel
constexpr uint8_t PANEL_SLOT_WAITING = 3;  // an upload is imported; its reply follows

// Attaches the panel's kinds (web, web_push) and the push keep-alive.
void panel_attach();

// Serves the complete request at the start of a panel slot's input: a
// request naming nothing served gets a 404. Returns non-zero when a flow
// channel was opened (the slot then becomes 0xFFB5).
int panel_request(int index);
// The same with the host name the client named (null: none); it makes the
// redirect to the panel path absolute.
int panel_request_from(int index, const char* host);

// Serves one parsed request; 1 when a flow channel was opened, 2 when the
// reply follows later (an upload being imported).
int panel_route(const char* method, const char* file, int index, const param_spans* spans);

// Resource types of the embedded files.
constexpr int RESOURCE_HTML = 23;

// Content type of a file by the texts in its name (null: the default text/html).
const char* panel_content_type(const char* name);
// malloc'd copy of an embedded file followed by 16 zero bytes, or null.
uint8_t* panel_resource(const char* name, int type, size_t* size);
// malloc'd single-image icon file of that size from the program icon, or null.
uint8_t* panel_icon(int width, int height, size_t* size);
// malloc'd "<script ...>I(n,\"a.b.c.d\");</script>\n" for the public address.
char* panel_address_line();
// malloc'd about page.
char* panel_about_page();
