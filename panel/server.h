// The panel's HTTP server: serves the embedded files under the secret path,
// keeps flow connections open as push channels, dispatches commands.
#pragma once

// Handler of kinds 0xFFB3/0xFFB5 while nothing was sent on the slot; returns
// non-zero when the request was served (the slot then becomes 0xFFB5).
int panel_request(int index);
