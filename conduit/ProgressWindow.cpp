#include "conduit/ProgressWindow.h"

#include "conduit/Module.h"

namespace tolvex {

void ProgressWindow::create(const char* version) {
  destroy();
  window_ = OsProgressCreate(conduitModule(), kDlgProgress);
  if (window_ != nullptr) OsProgressSetText(window_, kVersion, version);
}

void ProgressWindow::setTexts(const char* line1, const char* line2, const char* logLine) {
  if (window_ == nullptr) return;
  if (line1 != nullptr) OsProgressSetText(window_, kLine1, line1);
  if (line2 != nullptr) OsProgressSetText(window_, kLine2, line2);
  if (logLine != nullptr) OsProgressSetText(window_, kLogLine, logLine);
}

void ProgressWindow::setRange(int count) {
  if (window_ != nullptr && count >= 0) OsProgressSetRange(window_, 0, count);
}

void ProgressWindow::setPosition(int index) {
  if (window_ != nullptr && index >= 0) OsProgressSetPosition(window_, index);
}

bool ProgressWindow::cancelRequested() {
  if (window_ != nullptr && OsProgressCancelled(window_) != 0) {
    // The Cancel button closes the window; later updates find none.
    destroy();
    cancelled_ = true;
  }
  return cancelled_;
}

void ProgressWindow::destroy() {
  if (window_ == nullptr) return;
  OsProgressDestroy(window_);
  window_ = nullptr;
}

}  // namespace tolvex
