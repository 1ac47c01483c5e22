#include "log/console.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/clock.h"

namespace {
constexpr uint32_t WINDOW_MS = 1000;
constexpr uint32_t LINES_PER_WINDOW = 5;

std::mutex console_lock;
uint32_t window_start = 0;
uint32_t window_lines = 0;
uint32_t pending_dropped = 0;
uint32_t total_written = 0;
uint32_t total_dropped = 0;

// Opens a new window when the current one is over; true when a line may go.
bool take_turn(uint32_t now) {
  if (window_lines == 0 || now - window_start >= WINDOW_MS) {
    window_start = now;
    window_lines = 0;
    if (pending_dropped > 0) {
      fprintf(stderr, "Merovane: ... %u more\n", pending_dropped);
      pending_dropped = 0;
      ++window_lines;
    }
  }
  if (window_lines >= LINES_PER_WINDOW) return false;
  ++window_lines;
  return true;
}
}  // namespace

void console_line(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> hold(console_lock);
  if (!take_turn(tick_now())) {
    ++pending_dropped;
    ++total_dropped;
    return;
  }
  fprintf(stderr, "Merovane: %s\n", text);
  fflush(stderr);
  ++total_written;
}

uint32_t console_written() {
  std::lock_guard<std::mutex> hold(console_lock);
  return total_written;
}

uint32_t console_dropped() {
  std::lock_guard<std::mutex> hold(console_lock);
  return total_dropped;
}
