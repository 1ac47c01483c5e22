#include "platform/stop.h"

std::atomic<uint32_t> stop_flag{0};
