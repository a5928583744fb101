#include "conduit/RegistryStore.h"

#include <cstring>

#include "platform/os/HostOs.h"

namespace tolvex {

namespace {

const char* const kKeyPath = "Software\\Marrowind\\Tolvex\\RegBool";

// Opens the key, creating it when missing; null when neither works.
OsRegKey openOrCreate() {
  OsRegKey key = nullptr;
  if (OsRegOpenKey(OS_HKEY_LOCAL_MACHINE, kKeyPath, &key) == OS_REG_OK) return key;
  uint32_t disposition = 0;
  key = nullptr;
  if (OsRegCreateKey(OS_HKEY_LOCAL_MACHINE, kKeyPath, "reg", &key, &disposition) != OS_REG_OK)
    return nullptr;
  if (disposition != OS_REG_CREATED_NEW_KEY && disposition != OS_REG_OPENED_EXISTING_KEY) {
    if (key != nullptr) OsRegCloseKey(key);
    return nullptr;
  }
  return key;
}

}  // namespace

int32_t RegistryStore::readValue(const char* name) {
  OsRegKey key = nullptr;
  if (OsRegOpenKey(OS_HKEY_LOCAL_MACHINE, kKeyPath, &key) != OS_REG_OK) return -1;
  unsigned char data[4] = {0, 0, 0, 0};
  uint32_t type = 0;
  uint32_t size = sizeof data;
  const long result = OsRegQueryValue(key, name, &type, data, &size);
  OsRegCloseKey(key);
  if (result != OS_REG_OK) return -1;
  int32_t value = 0;
  std::memcpy(&value, data, sizeof value);
  return value;
}

bool RegistryStore::writeValue(const char* name, int32_t value) {
  OsRegKey key = openOrCreate();
  if (key == nullptr) return false;
  const bool stored = OsRegSetValue(key, name, OS_REG_DWORD, &value, sizeof value) == OS_REG_OK;
  OsRegCloseKey(key);
  return stored;
}

void RegistryStore::storeUserFolder(RunLog& log, const std::string& folder) {
  log.line("# Store user directory for later conveniance..\n");
  OsRegKey key = nullptr;
  const long opened = OsRegOpenKey(OS_HKEY_LOCAL_MACHINE, kKeyPath, &key);
  if (opened == OS_REG_OK) {
    log.line("#   Win32 UserDir registry entry found and opened.\n");
  } else {
    log.line("#   Win32 UserDir registry entry not found (%d). Creating.\n", static_cast<int>(opened));
    uint32_t disposition = 0;
    key = nullptr;
    const long created =
        OsRegCreateKey(OS_HKEY_LOCAL_MACHINE, kKeyPath, "reg", &key, &disposition);
    if (created == OS_REG_OK && disposition == OS_REG_CREATED_NEW_KEY) {
      log.line("#     Created new registry entry.\n");
    } else if (created == OS_REG_OK && disposition == OS_REG_OPENED_EXISTING_KEY) {
      log.line("#     Opened(Create) registry entry.\n");
    } else {
      log.line("#     Couldn't create registry entry.\n");
      if (created == OS_REG_OK && key != nullptr) OsRegCloseKey(key);
      return;
    }
  }
  const long stored = OsRegSetValue(key, "Flathead", OS_REG_SZ, folder.c_str(),
                                    static_cast<uint32_t>(folder.size() + 1));
  log.line(stored == OS_REG_OK ? "#     Stored to windows registry.\n"
                               : "#     Failed to write to windows registry.\n");
  OsRegCloseKey(key);
}

}  // namespace tolvex
