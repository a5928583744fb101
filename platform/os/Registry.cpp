// Registry stand-in over $HOTSYNC_HOME/registry.ini. HKEY_LOCAL_MACHINE key
// "Software\Marrowind\Tolvex\RegBool" is the group
// [HKEY_LOCAL_MACHINE/Software/Marrowind/Tolvex/RegBool]; its values are keys in
// it, numbers in decimal and strings as they are. Every call reads the file
// afresh and every change is flushed at once, so other processes see it.
// A value that reads as a decimal number is a DWORD, anything else a string.
#include <wx/fileconf.h>
#include <wx/log.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/condmgr/HotsyncHome.h"
#include "platform/condmgr/IniFile.h"
#include "platform/os/HostOs.h"

struct OsRegKey_ {
  std::string group;  // absolute wxFileConfig path, "/HKEY_LOCAL_MACHINE/Software/..."
};

namespace {

constexpr long kErrorMoreData = 234;

std::string iniPath() { return tolvex::hotsyncHomeFile("registry.ini"); }

std::unique_ptr<wxFileConfig> openRegistry() { return tolvex::loadIni(iniPath()); }

// "Software\\A\\B" under root 1 -> "/HKEY_LOCAL_MACHINE/Software/A/B"; empty when
// the root is unknown or a part is empty or unusable in an ini group name.
std::string groupFor(int root, const char* path) {
  if (root != OS_HKEY_LOCAL_MACHINE || !path) return std::string();
  std::string group = "/HKEY_LOCAL_MACHINE";
  std::string part;
  auto flush = [&]() {
    if (part.empty()) return false;
    group += "/" + part;
    part.clear();
    return true;
  };
  for (const char* p = path; *p; ++p) {
    if (*p == '\\') {
      if (!flush()) return std::string();
    } else if (*p == '/' || *p == '[' || *p == ']' || static_cast<unsigned char>(*p) < 0x20) {
      return std::string();
    } else {
      part += *p;
    }
  }
  if (!part.empty()) flush();
  return group;
}

// Value names become ini keys; the unnamed default value is "@".
wxString entryFor(const OsRegKey_* key, const char* name) {
  std::string n = (name && *name) ? name : "@";
  return wxString::FromUTF8(key->group + "/" + n);
}

bool validName(const char* name) {
  if (!name) return true;
  for (const char* p = name; *p; ++p) {
    if (*p == '/' || *p == '=' || static_cast<unsigned char>(*p) < 0x20) return false;
  }
  return true;
}

bool parseNumber(const std::string& text, uint32_t* value) {
  if (text.empty()) return false;
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  long long n = std::strtoll(begin, &end, 10);
  if (errno != 0 || *end != '\0' || !(std::isdigit(static_cast<unsigned char>(begin[0])) ||
                                       (begin[0] == '-' && text.size() > 1))) {
    return false;
  }
  if (n < INT32_MIN || n > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(n);
  return true;
}

OsRegKey newKey(std::string group) {
  auto key = std::make_unique<OsRegKey_>();
  key->group = std::move(group);
  return key.release();  // owned by the caller until OsRegCloseKey
}

}  // namespace

extern "C" {

long OsRegOpenKey(int root, const char* path, OsRegKey* key) {
  if (!key) return OS_REG_ERROR;
  *key = nullptr;
  std::string group = groupFor(root, path);
  if (group.empty()) return OS_REG_ERROR;
  wxLogNull quiet;
  auto config = openRegistry();
  if (!config) return OS_REG_ERROR;
  if (!config->HasGroup(wxString::FromUTF8(group))) return OS_REG_NOT_FOUND;
  *key = newKey(group);
  return OS_REG_OK;
}

long OsRegCreateKey(int root, const char* path, const char* /*keyClass*/, OsRegKey* key,
                    uint32_t* disposition) {
  if (!key) return OS_REG_ERROR;
  *key = nullptr;
  std::string group = groupFor(root, path);
  if (group.empty()) return OS_REG_ERROR;
  wxLogNull quiet;
  auto config = openRegistry();
  if (!config) return OS_REG_ERROR;
  wxString wxGroup = wxString::FromUTF8(group);
  bool existed = config->HasGroup(wxGroup);
  if (!existed) {
    // An ini group without entries is not written out; a placeholder keeps it.
    if (!config->Write(wxGroup + "/.key", wxString("")) || !tolvex::saveIni(*config, iniPath())) return OS_REG_ERROR;
  }
  if (disposition) *disposition = existed ? OS_REG_OPENED_EXISTING_KEY : OS_REG_CREATED_NEW_KEY;
  *key = newKey(group);
  return OS_REG_OK;
}

long OsRegQueryValue(OsRegKey key, const char* name, uint32_t* type, void* data, uint32_t* size) {
  if (!key || !validName(name)) return OS_REG_ERROR;
  if (data && !size) return OS_REG_ERROR;
  wxLogNull quiet;
  auto config = openRegistry();
  if (!config) return OS_REG_ERROR;
  wxString text;
  if (!config->Read(entryFor(key, name), &text)) return OS_REG_NOT_FOUND;
  std::string utf8 = text.utf8_string();
  uint32_t number = 0;
  bool isNumber = parseNumber(utf8, &number);
  uint32_t needed = isNumber ? 4 : static_cast<uint32_t>(utf8.size() + 1);
  if (type) *type = isNumber ? OS_REG_DWORD : OS_REG_SZ;
  if (!data) {
    if (size) *size = needed;
    return OS_REG_OK;
  }
  if (*size < needed) {
    *size = needed;
    return kErrorMoreData;
  }
  if (isNumber) {
    std::memcpy(data, &number, 4);
  } else {
    std::memcpy(data, utf8.c_str(), needed);
  }
  *size = needed;
  return OS_REG_OK;
}

long OsRegSetValue(OsRegKey key, const char* name, uint32_t type, const void* data, uint32_t size) {
  if (!key || !data || !validName(name)) return OS_REG_ERROR;
  wxString text;
  if (type == OS_REG_DWORD) {
    if (size < 4) return OS_REG_ERROR;
    uint32_t number;
    std::memcpy(&number, data, 4);
    text = wxString::Format("%u", number);
  } else if (type == OS_REG_SZ) {
    // The text ends at its terminator or at `size`, whichever comes first.
    const char* chars = static_cast<const char*>(data);
    size_t length = strnlen(chars, size);
    std::string value(chars, length);
    uint32_t ignored;
    if (parseNumber(value, &ignored)) {
      // Kept as text would read back as a number; refuse rather than change its type.
      return OS_REG_ERROR;
    }
    text = wxString::FromUTF8(value);
  } else {
    return OS_REG_ERROR;
  }
  wxLogNull quiet;
  auto config = openRegistry();
  if (!config) return OS_REG_ERROR;
  if (!config->HasGroup(wxString::FromUTF8(key->group))) return OS_REG_NOT_FOUND;
  if (!config->Write(entryFor(key, name), text) || !tolvex::saveIni(*config, iniPath())) return OS_REG_ERROR;
  return OS_REG_OK;
}

long OsRegCloseKey(OsRegKey key) {
  if (!key) return OS_REG_ERROR;
  std::unique_ptr<OsRegKey_> owned(key);
  return OS_REG_OK;
}

}  // extern "C"
