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

// Takes from an existing file or directory of ours every permission bit
// outside `allowed` (0600 for a file, 0700 for a directory), so that one
// created earlier with looser modes becomes private. Symbolic links and
// entries of other owners are left alone. True when the entry exists and
// keeps no bit outside `allowed`.
bool path_keep_private(const char* path, mode_t allowed);

// Copies the directory part of path (without the trailing '/') into out.
bool path_parent(const char* path, char* out, size_t capacity);
