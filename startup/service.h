// The systemd service: writing, enabling, starting, stopping and removing
// the unit merovane.service, the service main routine that runs the engine,
// and the stop handler that connects SIGTERM with stop_flag.
#pragma once

#include <cstddef>

// Result codes (second result of install and removal).
constexpr int SERVICE_OK = 0;
constexpr int SERVICE_NO_MANAGER = 101;  // systemctl cannot be run, or daemon-reload fails
constexpr int SERVICE_START_FAILED = 102;
constexpr int SERVICE_NOT_CREATED = 103;  // the unit cannot be written or enabled
constexpr int SERVICE_STOP_FAILED = 201;
constexpr int SERVICE_DELETE_FAILED = 202;
constexpr int SERVICE_OPEN_FAILED = 203;  // the unit path exists but is no file
constexpr int SERVICE_NO_MANAGER_RM = 204;

// Service status states as reported.
constexpr int SERVICE_RUNNING = 4;
constexpr int SERVICE_STOPPED = 1;

// Control codes of service_control.
constexpr int SERVICE_CONTROL_STOP = 1;
constexpr int SERVICE_CONTROL_SHUTDOWN = 5;

// Both return the system error (errno or the command's exit status), 0 on
// success, and put the result code into *code.
int service_install(int* code, bool elevation_allowed);
int service_remove(int* code);
void service_main(int argc, char** argv);
void service_control(int control);

// The state last reported (SERVICE_RUNNING / SERVICE_STOPPED, 0 before).
int service_state();

// Text of the unit file for the program at `program`; `home` is the
// MEROVANE_HOME to pass on (null or "" for none). Without a home, a user
// unit passes on config_home and data_home as XDG_CONFIG_HOME and
// XDG_DATA_HOME (null or "" for none), so the service reads the registry
// and data the installing user's programs use. Returns the length, or 0
// when it does not fit or a path cannot be put into a unit.
size_t service_unit_text(char* out, size_t capacity, const char* program, const char* home,
                         bool system_wide, const char* config_home = nullptr,
                         const char* data_home = nullptr);
