// Reading and writing one ini file with wxFileConfig without a wxApp: the file
// is parsed from a stream and saved to a temporary file renamed into place,
// so a reader in another process never sees half a file.
// Header-only so each stand-in library carries its own copy.
#ifndef TOLVEX_PLATFORM_INIFILE_H
#define TOLVEX_PLATFORM_INIFILE_H
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <wx/fileconf.h>
#include <wx/log.h>
#include <wx/mstream.h>
#include <wx/wfstream.h>

#include <memory>
#include <string>

namespace tolvex {

// Larger than any state file hotsync writes by far.
constexpr off_t kMaxIniBytes = 4 << 20;

// Reads the file at `path` into `bytes` (empty when it does not exist).
// Answers "" on success, else why it cannot be used: not a regular file (a
// FIFO would stall the reader), larger than kMaxIniBytes, or unreadable.
inline std::string readIniBytes(const std::string& path, std::string* bytes) {
  bytes->clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? std::string() : std::string("cannot be opened: ") + std::strerror(errno);
  struct stat info;
  std::string trouble;
  if (::fstat(fd, &info) != 0) {
    trouble = std::string("cannot be examined: ") + std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    trouble = S_ISDIR(info.st_mode) ? "is a folder, not a file" : "is not a regular file";
  } else if (info.st_size > kMaxIniBytes) {
    trouble = "is larger than 4 MB";
  }
  if (trouble.empty()) bytes->resize(static_cast<size_t>(info.st_size));
  size_t done = 0;
  while (trouble.empty() && done < bytes->size()) {
    const ssize_t n = ::read(fd, bytes->data() + done, bytes->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) trouble = std::string("cannot be read: ") + std::strerror(errno);
    if (n <= 0) break;  // shrank meanwhile: what is there
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  bytes->resize(trouble.empty() ? done : 0);
  return trouble;
}

// Why the file at `path` cannot be used; "" when it can or does not exist.
inline std::string iniTrouble(const std::string& path) {
  std::string bytes;
  return path.empty() ? std::string() : readIniBytes(path, &bytes);
}

// The file's contents; an empty configuration when it does not exist. Null
// when `path` is empty or the file cannot be used (readIniBytes): callers
// then neither use nor write over it.
inline std::unique_ptr<wxFileConfig> loadIni(const std::string& path) {
  if (path.empty()) return nullptr;
  wxLogNull quiet;
  std::string bytes;
  if (!readIniBytes(path, &bytes).empty()) return nullptr;
  wxMemoryInputStream stream(bytes.data(), bytes.size());
  auto config = std::make_unique<wxFileConfig>(stream, wxConvUTF8);
  config->SetExpandEnvVars(false);
  return config;
}

inline bool saveIni(wxFileConfig& config, const std::string& path) {
  wxLogNull quiet;
  std::string temporary = path + ".tmp" + std::to_string(::getpid());
  bool ok;
  {
    wxFileOutputStream out(wxString::FromUTF8(temporary));
    ok = out.IsOk() && config.Save(out, wxConvUTF8) && out.Close();
  }
  if (ok && std::rename(temporary.c_str(), path.c_str()) == 0) return true;
  ::unlink(temporary.c_str());
  return false;
}

}  // namespace tolvex
#endif
