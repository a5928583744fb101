#include "common/RunLog.h"

#include <cstdio>
#include <cstring>

namespace tolvex {

void RunLog::line(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vline(format, args);
  va_end(args);
}

void RunLog::vline(const char* format, va_list args) {
  char buffer[512];
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  if (length >= static_cast<int>(sizeof buffer)) {
    // Cut: keep the line end when the whole line had one, and do not split a
    // UTF-8 character in front of it.
    std::string whole(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(whole.data(), whole.size(), format, again);
    if (whole[static_cast<size_t>(length) - 1] == '\n') {
      size_t cut = sizeof buffer - 2;
      while (cut > 0 && (static_cast<unsigned char>(buffer[cut]) & 0xC0) == 0x80) --cut;
      buffer[cut] = '\n';
      buffer[cut + 1] = '\0';
    }
  }
  va_end(again);
  // A title or name may hold line breaks; in the log they would start lines
  // that a reader takes for the conduit's own. The breaks that end it stay.
  if (std::strchr(format, '%')) {
    size_t end = std::strlen(buffer);
    while (end > 0 && (buffer[end - 1] == '\n' || buffer[end - 1] == '\r')) --end;
    for (size_t i = 0; i < end; ++i)
      if (buffer[i] == '\n' || buffer[i] == '\r') buffer[i] = ' ';
  }
  write(buffer);
}

void logLine(const RunEnv& env, const char* format, ...) {
  if (!env.log) return;
  va_list args;
  va_start(args, format);
  env.log->vline(format, args);
  va_end(args);
}

}  // namespace tolvex
