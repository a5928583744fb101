#include "conduit/SyncLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "conduit/ProgressWindow.h"
#include "platform/os/HostOs.h"

namespace tolvex {

const char* const kConduitVersion = "2.2.0";
const char* const kConduitBuildDate = "Oct 14 2003";
const char* const kConduitBuildTime = "17:10:14";

namespace {
constexpr size_t kBufferBytes = 1 << 16;
uint32_t now() { return static_cast<uint32_t>(std::time(nullptr)); }
}  // namespace

std::string joinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

SyncLog::~SyncLog() {
  if (file_ != nullptr) std::fclose(file_);
}

void SyncLog::open(const std::string& folder) {
  if (file_ != nullptr) close();
  // Missing older logs are normal: the results are not looked at.
  std::remove(joinPath(folder, "lastsync3.txt").c_str());
  std::rename(joinPath(folder, "lastsync2.txt").c_str(), joinPath(folder, "lastsync3.txt").c_str());
  std::rename(joinPath(folder, "lastsync1.txt").c_str(), joinPath(folder, "lastsync2.txt").c_str());
  std::rename(joinPath(folder, "lastsync.txt").c_str(), joinPath(folder, "lastsync1.txt").c_str());
  path_ = joinPath(folder, "lastsync.txt");
  // Always a new file: when the roll above could not move the old log away,
  // a link or a second name of a file elsewhere must not be written through.
  ::unlink(path_.c_str());
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return;
  file_ = ::fdopen(fd, "w");
  if (file_ == nullptr) {
    ::close(fd);
    return;
  }
  // Room for the engine's lines between flushes (see engineLine).
  if (!buffer_) buffer_ = std::make_unique<char[]>(kBufferBytes);
  std::setvbuf(file_, buffer_.get(), _IOFBF, kBufferBytes);
  line("# Log started %u\n", now());
  line("# Conduit Build %s %s %s\n", kConduitVersion, kConduitBuildDate, kConduitBuildTime);
  startTime_ = static_cast<int32_t>(now());
}

void SyncLog::write(const char* text) {
  if (file_ == nullptr) return;
  std::fputs(text, file_);
  std::fflush(file_);
  if (progress_ != nullptr) {
    // The window shows the text after the "# " prefix.
    progress_->setTexts(nullptr, nullptr, std::strlen(text) >= 2 ? text + 2 : "");
  }
}

void SyncLog::close() {
  if (file_ == nullptr) return;
  line("# Log open for %u seconds.\n", now() - static_cast<uint32_t>(startTime_));
  line("# Log finished %u\n", now());
  std::fclose(file_);
  file_ = nullptr;
}

void SyncLog::showInNotepad() const { OsShowLogFile(path_.c_str()); }

}  // namespace tolvex
