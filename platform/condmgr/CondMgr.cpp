// Conduit Manager stand-in over $HOTSYNC_HOME/conduits.ini:
//
//   [hotsync]
//   path=/usr/local/bin/hotsync
//   [conduits/Qzvm]
//   library=/usr/local/lib/libTolvex2.so
//   folder=Tolvex
//
// Every call reads the file afresh and writes through at once, so the host,
// the conduit and the cleanup program (separate processes) agree.
#include "platform/condmgr/CondMgr.h"

#include <wx/fileconf.h>
#include <wx/log.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/condmgr/HotsyncHome.h"
#include "platform/condmgr/IniFile.h"

namespace {

constexpr const char* kPathKey = "/hotsync/path";
constexpr const char* kConduitsGroup = "/conduits";

std::string iniPath() { return tolvex::hotsyncHomeFile("conduits.ini"); }

std::unique_ptr<wxFileConfig> openConfig() { return tolvex::loadIni(iniPath()); }

// A creator code is four printable characters that can name an ini group.
bool validCreator(const char* creator) {
  if (!creator || std::strlen(creator) != 4) return false;
  for (int i = 0; i < 4; ++i) {
    unsigned char c = static_cast<unsigned char>(creator[i]);
    if (c < 0x21 || c > 0x7E || c == '/' || c == '\\' || c == '[' || c == ']' || c == '=') return false;
  }
  return true;
}

wxString groupOf(const char* creator) { return wxString(kConduitsGroup) + "/" + wxString::FromUTF8(creator); }

// Copies `text` with its terminator; false when it does not fit.
bool copyOut(const wxString& text, char* buffer, int size) {
  wxScopedCharBuffer utf8 = text.utf8_str();
  if (!buffer || size <= 0 || utf8.length() + 1 > static_cast<size_t>(size)) return false;
  std::memcpy(buffer, utf8.data(), utf8.length() + 1);
  return true;
}

}  // namespace

extern "C" {

int CmGetHotSyncExecPath(char* path, int* size) {
  if (!path || !size || *size <= 0) return CONDERR_BAD_ARG;
  wxLogNull quiet;
  auto config = openConfig();
  if (!config) return CONDERR_IO;
  wxString value;
  if (!config->Read(kPathKey, &value) || value.empty()) return CONDERR_NOT_FOUND;
  wxScopedCharBuffer utf8 = value.utf8_str();
  if (utf8.length() + 1 > static_cast<size_t>(*size)) {
    *size = static_cast<int>(utf8.length() + 1);
    return CONDERR_BUFFER_TOO_SMALL;
  }
  std::memcpy(path, utf8.data(), utf8.length() + 1);
  *size = static_cast<int>(utf8.length());
  return CONDERR_NONE;
}

int CmRemoveConduitByCreatorID(const char* creator) {
  if (!validCreator(creator)) return CONDERR_BAD_ARG;
  wxLogNull quiet;
  auto config = openConfig();
  if (!config) return CONDERR_IO;
  if (!config->HasGroup(groupOf(creator))) return CONDERR_NOT_FOUND;
  if (!config->DeleteGroup(groupOf(creator)) || !tolvex::saveIni(*config, iniPath())) return CONDERR_IO;
  return CONDERR_NONE;
}

int CmSetHotSyncExecPath(const char* path) {
  if (!path || !*path) return CONDERR_BAD_ARG;
  wxLogNull quiet;
  auto config = openConfig();
  if (!config) return CONDERR_IO;
  wxString value = wxString::FromUTF8(path);
  wxString old;
  if (config->Read(kPathKey, &old) && old == value) return CONDERR_NONE;
  if (!config->Write(kPathKey, value) || !tolvex::saveIni(*config, iniPath())) return CONDERR_IO;
  return CONDERR_NONE;
}

int CmInstallConduit(const char* creator, const char* libraryPath, const char* folderName) {
  if (!validCreator(creator) || !libraryPath || !*libraryPath) return CONDERR_BAD_ARG;
  wxLogNull quiet;
  auto config = openConfig();
  if (!config) return CONDERR_IO;
  wxString group = groupOf(creator);
  bool ok = config->Write(group + "/library", wxString::FromUTF8(libraryPath)) &&
            config->Write(group + "/folder", wxString::FromUTF8(folderName ? folderName : ""));
  if (!ok || !tolvex::saveIni(*config, iniPath())) return CONDERR_IO;
  return CONDERR_NONE;
}

int CmGetConduitByCreator(const char* creator, char* libraryPath, int libraryPathSize, char* folderName,
                          int folderNameSize) {
  if (!validCreator(creator)) return CONDERR_BAD_ARG;
  wxLogNull quiet;
  auto config = openConfig();
  if (!config) return CONDERR_IO;
  wxString group = groupOf(creator);
  if (!config->HasGroup(group)) return CONDERR_NOT_FOUND;
  wxString library = config->Read(group + "/library", wxString());
  wxString folder = config->Read(group + "/folder", wxString());
  if (libraryPath && !copyOut(library, libraryPath, libraryPathSize)) return CONDERR_BUFFER_TOO_SMALL;
  if (folderName && !copyOut(folder, folderName, folderNameSize)) return CONDERR_BUFFER_TOO_SMALL;
  return CONDERR_NONE;
}

int CmListCreators(char* buf, int size) {
  if (!buf || size <= 0) return CONDERR_BAD_ARG;
  wxLogNull quiet;
  auto config = openConfig();
  if (!config) return CONDERR_IO;
  std::string out;
  int count = 0;
  if (config->HasGroup(kConduitsGroup)) {
    config->SetPath(kConduitsGroup);
    wxString name;
    long cookie = 0;
    for (bool more = config->GetFirstGroup(name, cookie); more; more = config->GetNextGroup(name, cookie)) {
      out += name.utf8_string();
      out += '\n';
      ++count;
    }
  }
  if (out.size() + 1 > static_cast<size_t>(size)) return CONDERR_BUFFER_TOO_SMALL;
  std::memcpy(buf, out.c_str(), out.size() + 1);
  return count;
}

}  // extern "C"
