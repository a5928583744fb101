#include "platform/hotsync/FolderCopy.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace tolvex::host {
namespace {

std::string failed(const std::string& what, const std::string& path) {
  return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

// Names in `folder`, "." and ".." aside; false when it cannot be listed.
bool namesIn(const std::string& folder, std::vector<std::string>* names) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return false;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  ::closedir(dir);
  return true;
}

// Whether a relative link target, read from a folder `depth` levels below the
// copied folder, climbs out of it.
bool climbsOut(const std::string& target, int depth) {
  size_t start = 0;
  while (start <= target.size()) {
    size_t end = target.find('/', start);
    if (end == std::string::npos) end = target.size();
    const std::string part = target.substr(start, end - start);
    if (part == "..") {
      if (--depth < 0) return true;
    } else if (!part.empty() && part != ".") {
      ++depth;
    }
    start = end + 1;
  }
  return false;
}

bool copyBytes(int in, int out) {
  for (;;) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0);
    if (n == 0) return true;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
    break;  // not between these files: copy through a buffer from where it stopped
  }
  std::vector<char> buffer(size_t{1} << 16);
  for (;;) {
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno != EINTR) return false;
      if (w > 0) done += w;
    }
  }
}

// The mode and times of `st` on the entry `path` (not followed).
bool keepModeAndTimes(const std::string& path, const struct stat& st, bool link) {
  if (!link && ::chmod(path.c_str(), st.st_mode & 07777) != 0) return false;
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace

bool FolderCopier::copy(const std::string& from, const std::string& to, std::string* error) {
  struct stat st;
  if (::stat(from.c_str(), &st) != 0) {
    *error = failed("read", from);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    *error = failed("copy", from);
    return false;
  }
  return copyFolder(from, to, st, 0, error);
}

bool FolderCopier::copyFolder(const std::string& from, const std::string& to, const struct stat& st, int depth,
                              std::string* error) {
  if (::mkdir(to.c_str(), 0700) != 0) {
    *error = failed("make", to);
    return false;
  }
  std::vector<std::string> names;
  if (!namesIn(from, &names) && errno != EACCES) {
    *error = failed("read the folder", from);
    return false;
  }
  for (const std::string& name : names) {
    if (!copyEntry(from + "/" + name, to + "/" + name, depth, error)) return false;
  }
  // Last, so that a folder without write permission could still be filled.
  if (!keepModeAndTimes(to, st, false)) {
    *error = failed("set the mode of", to);
    return false;
  }
  return true;
}

bool FolderCopier::copyEntry(const std::string& from, const std::string& to, int depth, std::string* error) {
  struct stat st;
  if (::lstat(from.c_str(), &st) != 0) {
    *error = failed("read", from);
    return false;
  }
  if (S_ISDIR(st.st_mode)) return copyFolder(from, to, st, depth + 1, error);
  if (S_ISLNK(st.st_mode)) return copyLink(from, to, st, depth, error);
  if (S_ISREG(st.st_mode)) return copyFile(from, to, st, error);
  if (::mkfifo(to.c_str(), 0600) != 0 || !keepModeAndTimes(to, st, false)) {
    *error = failed("make", to);
    return false;
  }
  return true;
}

bool FolderCopier::copyFile(const std::string& from, const std::string& to, const struct stat& st,
                            std::string* error) {
  const auto identity = std::make_pair(st.st_dev, st.st_ino);
  if (st.st_nlink > 1) {
    auto earlier = copied_.find(identity);
    if (earlier != copied_.end()) {
      if (::link(earlier->second.c_str(), to.c_str()) == 0) return true;
      *error = failed("make", to);
      return false;
    }
  }
  const int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (in < 0 && errno != EACCES) {
    *error = failed("read", from);
    return false;
  }
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = out >= 0 && (in < 0 || copyBytes(in, out));
  if (!ok) *error = failed(out < 0 ? "make" : "copy to", to);
  if (in >= 0) ::close(in);
  if (out >= 0 && ::close(out) != 0 && ok) {
    *error = failed("copy to", to);
    ok = false;
  }
  if (ok && !keepModeAndTimes(to, st, false)) {
    *error = failed("set the mode of", to);
    ok = false;
  }
  if (ok && st.st_nlink > 1) copied_[identity] = to;
  return ok;
}

bool FolderCopier::copyLink(const std::string& from, const std::string& to, const struct stat& st, int depth,
                            std::string* error) {
  std::vector<char> buffer(PATH_MAX + 1);
  const ssize_t n = ::readlink(from.c_str(), buffer.data(), buffer.size());
  if (n < 0 || static_cast<size_t>(n) >= buffer.size()) {
    *error = failed("read the link", from);
    return false;
  }
  std::string target(buffer.data(), static_cast<size_t>(n));
  if (!target.empty() && target[0] != '/' && climbsOut(target, depth)) {
    target = from.substr(0, from.rfind('/')) + "/" + target;
  }
  if (::symlink(target.c_str(), to.c_str()) != 0 || !keepModeAndTimes(to, st, true)) {
    *error = failed("make the link", to);
    return false;
  }
  return true;
}

bool removeTreeExcept(const std::string& path, const std::string& keep) {
  if (path == keep) return false;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0;
  if ((st.st_mode & S_IRWXU) != S_IRWXU) ::chmod(path.c_str(), st.st_mode | S_IRWXU);
  std::vector<std::string> names;
  namesIn(path, &names);
  bool whole = true;
  for (const std::string& name : names) whole = removeTreeExcept(path + "/" + name, keep) && whole;
  return whole && ::rmdir(path.c_str()) == 0;
}

}  // namespace tolvex::host
