#include "desktop/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tolvex {

int openRegularFile(const std::string& path, std::string* why, uint64_t* size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *why = std::strerror(errno);
    return -1;
  }
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    *why = "not a regular file";
    return -1;
  }
  if (size) *size = static_cast<uint64_t>(info.st_size);
  return fd;
}

bool readRegularFile(const std::string& path, uint64_t limit, std::string* bytes, std::string* why) {
  uint64_t size = 0;
  const int fd = openRegularFile(path, why, &size);
  if (fd < 0) return false;
  if (size > limit) {
    ::close(fd);
    *why = "larger than " + std::to_string(limit) + " bytes";
    return false;
  }
  bytes->resize(static_cast<size_t>(size));
  const long got = readUpTo(fd, bytes->data(), bytes->size());  // fewer when it shrank meanwhile
  if (got < 0) *why = std::strerror(errno);
  ::close(fd);
  if (got < 0) return false;
  bytes->resize(static_cast<size_t>(got));
  return true;
}

long readUpTo(int fd, char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, buffer + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

}  // namespace tolvex
