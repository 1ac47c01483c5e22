// The program's stop request: set by the signal handlers and the service
// control, read by every loop that must end when the program stops (the
// engine thread, the lookup worker, long database walks). Next to it the
// reload request of SIGHUP, which the engine thread takes up.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<uint32_t> stop_flag;
extern std::atomic<uint32_t> reload_flag;
