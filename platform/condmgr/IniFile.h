// Reading and writing one ini file with wxFileConfig without a wxApp: the file
// is parsed from a stream and saved to a temporary file renamed into place,
// so a reader in another process never sees half a file.
// Header-only so each stand-in library carries its own copy.
#ifndef TOLVEX_PLATFORM_INIFILE_H
#define TOLVEX_PLATFORM_INIFILE_H
#include <stdio.h>
#include <unistd.h>

#include <wx/fileconf.h>
#include <wx/log.h>
#include <wx/mstream.h>
#include <wx/wfstream.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace tolvex {

// The file's contents; an empty configuration when it does not exist.
// Null only when `path` is empty.
inline std::unique_ptr<wxFileConfig> loadIni(const std::string& path) {
  if (path.empty()) return nullptr;
  wxLogNull quiet;
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  if (in) text << in.rdbuf();
  std::string bytes = text.str();
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
