#include "desktop/AtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace tolvex {
namespace {

constexpr size_t kFlushBytes = 64 * 1024;
// Written bytes are handed to the disk every this many, while the file is
// still being written, so that the fsync before the rename finds little left
// to wait for.
constexpr off_t kWritebackBytes = 4 << 20;

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
  written_ += static_cast<off_t>(done);
  if (written_ - handedOn_ >= kWritebackBytes) {
    ::sync_file_range(fd_, handedOn_, written_ - handedOn_, SYNC_FILE_RANGE_WRITE);
    handedOn_ = written_;
  }
  buffer_.clear();
  return true;
}

bool AtomicFile::commit(const std::function<bool()>& beforeReplace) {
  if (fd_ < 0) return false;
  bool ok = !failed_ && flush() && ::fsync(fd_) == 0;
  ok = ::close(fd_) == 0 && ok;
  fd_ = -1;
  if (ok && beforeReplace) ok = beforeReplace();
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

namespace {

// "." <target> ".tmp" <pid> "." <counter>, as open() makes them: the target
// and the process id, or false for any other name.
bool parseTemporaryName(const std::string& name, std::string* target, long* pid) {
  const size_t tmp = name.rfind(".tmp");
  if (name.size() < 2 || name[0] != '.' || tmp == std::string::npos || tmp < 2) return false;
  const size_t dot = name.find('.', tmp + 4);
  auto digits = [](const std::string& s) {
    return !s.empty() && s.size() <= 18 && s.find_first_not_of("0123456789") == std::string::npos;
  };
  if (dot == std::string::npos || !digits(name.substr(tmp + 4, dot - tmp - 4)) || !digits(name.substr(dot + 1)))
    return false;
  *target = name.substr(1, tmp - 1);
  *pid = std::strtol(name.c_str() + tmp + 4, nullptr, 10);
  return *pid > 0;
}

bool processGone(long pid) {
  return pid == static_cast<long>(getpid()) || (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
}

}  // namespace

std::vector<std::string> AtomicFile::abandonedIn(const std::string& folder,
                                                 const std::function<bool(const std::string&)>& ours) {
  std::vector<std::string> out;
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return out;
  while (const dirent* entry = readdir(dir)) {
    std::string target;
    long pid = 0;
    if (parseTemporaryName(entry->d_name, &target, &pid) && ours(target) && processGone(pid))
      out.emplace_back(entry->d_name);
  }
  closedir(dir);
  return out;
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
