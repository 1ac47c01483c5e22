// Service-manager notification: one datagram ("READY=1", "STOPPING=1") to
// the Unix socket named by $NOTIFY_SOCKET; an '@' first character names the
// abstract namespace.
#pragma once

// True when the datagram was sent; false when NOTIFY_SOCKET is not set or
// the socket cannot be reached.
bool notify_send(const char* state);
