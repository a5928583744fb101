// The run log "lastsync.txt" in the desktop folder, with the three previous
// runs kept as "lastsync1.txt" to "lastsync3.txt". Every line is flushed at
// once and echoed, without its first two characters, to the progress window.
// Without a log file every line is dropped. Owned by the ConduitRun.
#ifndef TOLVEX_CONDUIT_SYNCLOG_H
#define TOLVEX_CONDUIT_SYNCLOG_H
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "common/RunLog.h"

namespace tolvex {

class ProgressWindow;

extern const char* const kConduitVersion;    // "2.2.0"
extern const char* const kConduitBuildDate;  // "Oct 14 2003"
extern const char* const kConduitBuildTime;  // "17:10:14"

class SyncLog : public RunLog {
 public:
  SyncLog() = default;
  ~SyncLog() override;
  SyncLog(const SyncLog&) = delete;
  SyncLog& operator=(const SyncLog&) = delete;

  // Turns the ring of four logs and starts a new "lastsync.txt".
  void open(const std::string& folder);
  void write(const char* text) override;
  // Writes the closing lines and closes the file.
  void close();
  // Starts the log viewer on the log path without waiting.
  void showInNotepad() const;

  // Where lines are echoed; may be null.
  void setProgressWindow(ProgressWindow* window) { progress_ = window; }
  std::FILE* file() const { return file_; }
  const std::string& path() const { return path_; }

 private:
  // The stream's buffer, which outlives it (the C library takes the size
  // asked for only with a buffer of the caller's own).
  std::unique_ptr<char[]> buffer_;
  std::FILE* file_ = nullptr;
  std::string path_;
  int32_t startTime_ = 0;
  ProgressWindow* progress_ = nullptr;
};

// `folder` joined with `name`, with a "/" between unless the folder ends in one.
std::string joinPath(const std::string& folder, const std::string& name);

}  // namespace tolvex
#endif
