// Messages for the person running the program: one line each on standard
// error (the journal under systemd), "Merovane: " first. Rate-limited: at
// most a few lines per second; the lines dropped meanwhile are counted and
// reported as one "... N more" line when lines flow again. Kept at every
// log level.
#pragma once

#include <cstdint>

void console_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Lines written and dropped since start (tests).
uint32_t console_written();
uint32_t console_dropped();
