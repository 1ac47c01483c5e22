// The program's stop request: set by the signal handlers and the service
// control, read by every loop that must end when the program stops (the
// engine thread, the lookup worker, long database walks).
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<uint32_t> stop_flag;
