// Diagnostic log (one file per proxied connection, named by its serial,
// written at "log_level" 2 or more) and the monthly traffic file (one line
// per finished chain at level 1 or more).
#pragma once

#include <cstddef>
#include <cstdint>

// Hands the engine its diagnostic line hooks (start-up calls this once).
void log_attach();

void log_line(int index, const char* format, ...) __attribute__((format(printf, 2, 3)));
void log_dump(int index, const void* bytes, uint32_t count, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
int log_level_get();
// Chain text, bytes received, bytes sent (the line prints sent first).
void traffic_record(const char* chain_text, uint32_t received, uint32_t sent);

// The cached "log_dir" (re-read at most every 30 s; "" when unset).
const char* log_dir_get();
// Makes the next use of "log_level" and "log_dir" read them again (tests).
void log_settings_forget();
// Puts values into both caches as if just read (tests without a database);
// they hold until the next 30 s re-read.
void log_settings_override(int level, const char* dir);

// The dump block of log_dump for count bytes: text or 16-bytes-a-line
// binary form, trimmed, followed by CR LF CR LF. Writes at most capacity - 1
// characters and a NUL; returns the length, or 0 when it does not fit.
size_t log_format_dump(const void* bytes, uint32_t count, char* out, size_t capacity);
// Capacity log_format_dump needs for count bytes (terminator included).
size_t log_dump_capacity(uint32_t count);
