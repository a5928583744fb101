#include "desktop/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace tolvex {
namespace {

constexpr size_t kFlushBytes = 64 * 1024;

std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

std::string nameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {}

AtomicFile::~AtomicFile() { discard(); }

bool AtomicFile::open() {
  if (fd_ >= 0) return true;
  std::string folder = folderOf(path_);
  if (folder != "." && folder.back() != '/') folder += '/';
  if (folder == ".") folder = "";
  static unsigned counter = 0;
  // A hidden name that no list file pattern matches.
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof(suffix), ".tmp%ld.%u", static_cast<long>(getpid()), counter++);
    std::string candidate = folder + "." + nameOf(path_) + suffix;
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = fd;
      tempPath_ = candidate;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

void AtomicFile::write(std::string_view text) {
  if (fd_ < 0 || failed_) return;
  buffer_.append(text);
  if (buffer_.size() >= kFlushBytes && !flush()) failed_ = true;
}

bool AtomicFile::flush() {
  size_t done = 0;
  while (done < buffer_.size()) {
    ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  buffer_.clear();
  return true;
}

bool AtomicFile::commit(const std::function<void()>& beforeReplace) {
  if (fd_ < 0) return false;
  bool ok = !failed_ && flush() && ::fsync(fd_) == 0;
  ok = ::close(fd_) == 0 && ok;
  fd_ = -1;
  if (ok && beforeReplace) beforeReplace();
  if (ok) ok = ::rename(tempPath_.c_str(), path_.c_str()) == 0;
  if (!ok) {
    ::unlink(tempPath_.c_str());
    tempPath_.clear();
    return false;
  }
  tempPath_.clear();
  // Make the rename itself durable; the file is in place either way.
  int dir = ::open(folderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

void AtomicFile::discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!tempPath_.empty()) {
    ::unlink(tempPath_.c_str());
    tempPath_.clear();
  }
}

}  // namespace tolvex
