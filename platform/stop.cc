#include "platform/stop.h"

std::atomic<uint32_t> stop_flag{0};
std::atomic<uint32_t> reload_flag{0};
