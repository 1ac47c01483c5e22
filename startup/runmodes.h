// The entry point: command-line switches and help, the four run modes
// (uninstall, foreground, service, launcher), the single-instance lock,
// the stop signals and the one shutdown sequence every mode ends with.
#pragma once

#include <cstddef>

enum class run_mode { uninstall, foreground, service, launcher };

// Mode of a command line: switches are case-insensitive substrings
// anywhere, looked for in the order "/uninstall", "/run", "/srv".
run_mode mode_of(const char* command_line);

// What --help / -h / --version ask for, before any mode is chosen.
enum class info_request { none, help, version };
info_request info_of(int argc, char** argv);

// The arguments after the program name joined by single spaces (the
// program's own path is left out: a directory named ".../run/..." must
// not choose a mode). Returns false when they do not fit.
bool command_line_of(int argc, char** argv, char* out, size_t capacity);

// The panel address "http://localhost:<port>/<root>/".
void panel_address(char* out, size_t capacity);

// The whole program; returns the process exit code.
int program_main(int argc, char** argv);
