// The run's progress window: list name, action, latest log line, a bar and
// the conduit version, with a Cancel button. Every operation does nothing
// while there is no window. Owned by the ConduitRun; caller's thread only.
#ifndef TOLVEX_CONDUIT_PROGRESSWINDOW_H
#define TOLVEX_CONDUIT_PROGRESSWINDOW_H
#include "platform/os/HostOs.h"

namespace tolvex {

class ProgressWindow {
 public:
  enum : uint32_t { kLine1 = 1018, kLine2 = 1019, kLogLine = 1020, kBar = 1021, kVersion = 1022 };

  ProgressWindow() = default;
  ~ProgressWindow() { destroy(); }
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;

  void create(const char* version);
  // A null text leaves that line as it is.
  void setTexts(const char* line1, const char* line2, const char* logLine);
  void setRange(int count);
  void setPosition(int index);
  // Looks for a Cancel press once; a pressed Cancel closes the window.
  bool cancelRequested();
  void clearCancel() { cancelled_ = false; }
  void destroy();
  bool exists() const { return window_ != nullptr; }

 private:
  OsProgress window_ = nullptr;
  bool cancelled_ = false;
};

}  // namespace tolvex
#endif
