// The server as start-up runs it: every subsystem attached to the engine in
// one place, the database opened (and retried), the listener created (and
// retried), the listening line, and the engine loop until the stop flag.
#pragma once

// Attaches every subsystem's kinds, hooks and periodic work to the engine,
// replacing whatever was attached before (tests call it to start afresh).
void server_attach_all();

// Opens the database when it is not open yet (the engine calls it every
// 15 s); tells the outage once on stderr, and its end. False while it
// cannot be opened.
bool server_database_retry();

// Body of the engine thread; returns once stop_flag is set.
void server_run();
