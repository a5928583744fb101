#include "desktop/AtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace tolvex {
namespace {

constexpr size_t kFlushBytes = 64 * 1024;
// A file that grows past this is written on by a thread of its own, so that
// copying the bytes into the system goes on beside making the next ones.
constexpr size_t kWriteBehindBytes = 1 << 20;
// The buffers such a thread is handed: fewer, larger hand-overs.
constexpr size_t kWriteBehindBuffer = 128 * 1024;
// Written bytes are handed to the disk every this many while the file is
// still being written, so that the fsync before the rename has little left.
constexpr off_t kWritebackBytes = 4 << 20;

// All of `size` bytes to `fd`; false on any failure.
bool writeAll(int fd, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

std::string nameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// Writes the buffers handed to it, in order, on its own thread; at most
// kPending wait, so the file's bytes are never held much beyond a buffer.
class AtomicFile::WriteBehind {
 public:
  explicit WriteBehind(int fd) : fd_(fd), spare_(withRoom(kPending + 2)), thread_([this] { run(); }) {}
  ~WriteBehind() { finish(); }
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;

  // Takes `bytes`, leaving in it an empty buffer to fill next.
  void hand(std::string& bytes) {
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [this] { return pending_.size() < kPending; });
    pending_.push_back(std::move(bytes));
    bytes = spare_.empty() ? std::string() : std::move(spare_.back());
    if (!spare_.empty()) spare_.pop_back();
    bytes.clear();
    work_.notify_one();
  }
  bool failed() const { return failed_.load(std::memory_order_relaxed); }
  // Writes what was handed and ends the thread; false when a write failed.
  bool finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
      work_.notify_one();
    }
    if (thread_.joinable()) thread_.join();
    return !failed();
  }

 private:
  static constexpr size_t kPending = 2;
  // Room for every buffer there can be, so that the thread never allocates
  // (out of memory there would end the program).
  static std::vector<std::string> withRoom(size_t count) {
    std::vector<std::string> out;
    out.reserve(count);
    return out;
  }
  void run() {
    off_t written = 0, handedOn = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      work_.wait(lock, [this] { return done_ || !pending_.empty(); });
      if (pending_.empty()) return;
      std::string bytes = std::move(pending_.front());
      pending_.pop_front();
      lock.unlock();
      if (!failed() && !writeAll(fd_, bytes.data(), bytes.size())) failed_ = true;
      written += static_cast<off_t>(bytes.size());
      if (written - handedOn >= kWritebackBytes) {
        ::sync_file_range(fd_, handedOn, written - handedOn, SYNC_FILE_RANGE_WRITE);
        handedOn = written;
      }
      lock.lock();
      spare_.push_back(std::move(bytes));
      room_.notify_one();
    }
  }

  const int fd_;
  std::mutex mutex_;
  std::condition_variable work_, room_;
  std::deque<std::string> pending_;
  std::vector<std::string> spare_;
  bool done_ = false;
  std::atomic<bool> failed_{false};
  std::thread thread_;  // last: it starts once the rest is ready
};

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {}

AtomicFile::~AtomicFile() { discard(); }

bool AtomicFile::open() {
  if (fd_ >= 0) return true;
  std::string folder = folderOf(path_);
  if (folder != "." && folder.back() != '/') folder += '/';
  if (folder == ".") folder = "";
  // Files are opened from more than one thread (a list drafted beside the
  // run's notes).
  static std::atomic<unsigned> counter{0};
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
  if (buffer_.size() < (behind_ ? kWriteBehindBuffer : kFlushBytes)) return;
  if (behind_ && behind_->failed()) {
    failed_ = true;
    return;
  }
  if (!flush()) failed_ = true;
}

bool AtomicFile::flush() {
  if (!behind_ && flushed_ + buffer_.size() >= kWriteBehindBytes) {
    try {
      behind_ = std::make_unique<WriteBehind>(fd_);
    } catch (const std::system_error&) {
      // No thread to be had: this file is written here, as a small one is.
    }
  }
  flushed_ += buffer_.size();
  if (behind_) {
    if (!buffer_.empty()) behind_->hand(buffer_);
    buffer_.reserve(kWriteBehindBuffer + kFlushBytes);
    return true;
  }
  const bool ok = writeAll(fd_, buffer_.data(), buffer_.size());
  buffer_.clear();
  return ok;
}

bool AtomicFile::commit(const std::function<bool()>& beforeReplace) {
  if (fd_ < 0) return false;
  bool ok = !failed_ && flush();
  if (behind_) ok = behind_->finish() && ok;
  behind_.reset();
  ok = ok && ::fsync(fd_) == 0;
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
  behind_.reset();  // its writes end before the file closes
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
