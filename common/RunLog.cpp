#include "common/RunLog.h"

#include <cstdio>

namespace tolvex {

void RunLog::line(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vline(format, args);
  va_end(args);
}

void RunLog::vline(const char* format, va_list args) {
  char buffer[512];
  std::vsnprintf(buffer, sizeof buffer, format, args);  // cuts at 511 characters
  write(buffer);
}

}  // namespace tolvex
