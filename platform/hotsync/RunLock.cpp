#include "platform/hotsync/RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tolvex::host {
namespace {

// Without blocking (a FIFO of that name cannot stall us) and never through a
// symbolic link; read-only when the folder cannot be written, since an flock
// needs no write access. Answers kUnwritable when there is no lock file and
// none can be made there: no process of ours can make or replace files in
// such a folder, so it needs no hold.
constexpr int kUnwritable = -2;

int openLockFile(const std::string& path, std::string* error) {
  const int common = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | common, 0644);
  if (fd < 0 && (errno == EACCES || errno == EROFS)) {
    fd = ::open(path.c_str(), O_RDONLY | common);
    if (fd < 0 && errno == ENOENT) return kUnwritable;
  }
  if (fd < 0) {
    *error = "its lock file " + path + " cannot be opened: " + std::strerror(errno);
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *error = "its lock file " + path + " is not a regular file";
    return -1;
  }
  return fd;
}

bool sameFile(int a, int b) {
  struct stat sa, sb;
  return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The process id the holder wrote into the lock file; empty when unknown.
std::string holderOf(int fd) {
  char text[24] = {};
  ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  std::string pid;
  for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i) pid += text[i];
  return pid;
}

void writeHolder(int fd) {
  std::string text = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) {
    ssize_t ignored = ::pwrite(fd, text.data(), text.size(), 0);
    (void)ignored;  // the process id only makes messages clearer
  }
}

}  // namespace

std::unique_ptr<RunLock> RunLock::acquire(const std::vector<LockRequest>& requests, std::string* error) {
  std::unique_ptr<RunLock> lock(new RunLock());
  for (const LockRequest& request : requests) {
    if (request.folder.empty()) continue;  // no such folder (no home): nothing there to protect
    std::string why;
    int fd = openLockFile(request.folder + "/" + kLockFileName, &why);
    if (fd == kUnwritable) continue;
    if (fd < 0) {
      *error = request.what + " " + request.folder + " cannot be locked: " + why;
      return nullptr;
    }
    bool held = false;
    for (int other : lock->files_) held = held || sameFile(fd, other);
    if (held) {
      ::close(fd);
      continue;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int code = errno;
      if (code == EWOULDBLOCK) {
        std::string pid = holderOf(fd);
        *error = request.what + " " + request.folder + " is in use by another hotsync" +
                 (pid.empty() ? std::string() : " (process " + pid + ")");
      } else {
        *error = request.what + " " + request.folder + " cannot be locked: " + std::strerror(code);
      }
      ::close(fd);
      return nullptr;
    }
    writeHolder(fd);
    lock->files_.push_back(fd);
  }
  return lock;
}

RunLock::~RunLock() {
  for (int fd : files_) ::close(fd);  // closing drops the hold
}

}  // namespace tolvex::host
