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

// What the arguments ask for. Accepted are the slash switches (as
// mode_of reads them), the words "run", "service", "uninstall" and
// "install", "--home DIR" (or "--home=DIR"), --help, -h, --version, and
// "ctl" followed by the control command's own arguments.
struct arguments {
  run_mode mode = run_mode::launcher;
  info_request info = info_request::none;
  bool ctl = false;  // "ctl": argv[ctl_first...] are the command's
  int ctl_first = 0;
  const char* home = nullptr;  // "--home DIR"
  int unknown = 0;             // index of the first argument not understood, 0 when none
};
arguments arguments_of(int argc, char** argv);

// The panel address "http://<host>:<port>/<root>/": the listen address, or
// "localhost" when listening on 127.0.0.1 or on all addresses. Without the
// token ("http://<host>:<port>/") when with_token is false.
void panel_address(char* out, size_t capacity, bool with_token = true);

// The whole program; returns the process exit code.
int program_main(int argc, char** argv);
