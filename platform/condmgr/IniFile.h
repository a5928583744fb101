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

#include <wx/fileconf.h>
#include <wx/log.h>
#include <wx/mstream.h>
#include <wx/wfstream.h>

#include <memory>
#include <string>

namespace tolvex {

// Larger than any state file hotsync writes by far.
constexpr off_t kMaxIniBytes = 4 << 20;

// The file's contents; an empty configuration when it does not exist. Null
// when `path` is empty or the file cannot be used: not a regular file (a
// FIFO would stall the reader), larger than kMaxIniBytes, or unreadable.
// Callers then neither use nor write over it.
inline std::unique_ptr<wxFileConfig> loadIni(const std::string& path) {
  if (path.empty()) return nullptr;
  wxLogNull quiet;
  std::string bytes;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno != ENOENT) return nullptr;
  if (fd >= 0) {
    struct stat info;
    bool usable = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kMaxIniBytes;
    if (usable) bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (usable && done < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      usable = n >= 0;
      if (n <= 0) break;  // shrank meanwhile: what is there
      done += static_cast<size_t>(n);
    }
    ::close(fd);
    if (!usable) return nullptr;
    bytes.resize(done);
  }
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
