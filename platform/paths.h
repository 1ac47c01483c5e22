// Where the program keeps its files on this machine: the registry file, the
// common data folder, the single-instance lock file, the service unit
// directory and the program's own path. MEROVANE_HOME moves all of them.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Every function writes a NUL-terminated path of at most capacity - 1 bytes
// and returns false (with an empty output) when no path can be given or it
// does not fit.
bool path_registry_file(char* out, size_t capacity);
bool path_common_data(char* out, size_t capacity);
bool path_lock_file(char* out, size_t capacity);
bool path_unit_dir(char* out, size_t capacity);
bool path_program(char* out, size_t capacity);

// True when the program runs as root (system-wide locations and service).
bool path_system_wide();

// Creates the directory and any missing parents; the last level gets mode.
// True when the directory exists afterwards.
bool path_make_dirs(const char* dir, mode_t mode);

// Copies the directory part of path (without the trailing '/') into out.
bool path_parent(const char* path, char* out, size_t capacity);
