// Diagnostic log (one file per proxied connection, named by its serial,
// written at "log_level" 2 or more) and the monthly traffic file (one line
// per finished chain at level 1 or more).
#pragma once

#include <cstdint>

void log_line(int index, const char* format, ...) __attribute__((format(printf, 2, 3)));
void log_dump(int index, const void* bytes, uint32_t count, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
int log_level_get();
// Chain text, bytes received, bytes sent (the line prints sent first).
void traffic_record(const char* chain_text, uint32_t received, uint32_t sent);
