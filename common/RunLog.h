// The run log as lower layers see it: code below conduit/ is handed a RunLog
// and never reaches up for the run. `line` formats printf-style into a 512-byte
// buffer and hands the text to `write`; a longer line is cut to fit, and a cut
// line that ended in "\n" still does, so the next line is never glued on.
#ifndef TOLVEX_COMMON_RUNLOG_H
#define TOLVEX_COMMON_RUNLOG_H
#include <cstdarg>
#include <string>
#include <vector>

namespace tolvex {

class RunLog {
 public:
  virtual ~RunLog() = default;
  // One formatted line, written unchanged.
  virtual void write(const char* text) = 0;
  void line(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void vline(const char* format, va_list args);
};

// Collects lines in memory (tests, and callers that want to look at the text).
class MemoryRunLog : public RunLog {
 public:
  void write(const char* text) override { text_ += text; }
  const std::string& text() const { return text_; }
  void clear() { text_.clear(); }
 private:
  std::string text_;
};

// What the handheld, copy and export code needs of the run: its log and the
// user's desktop folder (ends in "/").
struct RunEnv {
  RunLog* log = nullptr;
  std::string desktopFolder;
};

// One formatted line into the environment's log; nothing when it has none.
void logLine(const RunEnv& env, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace tolvex
#endif
