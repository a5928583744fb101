// Inside the OS stand-in: a registered module and its resource lookups.
#ifndef TOLVEX_PLATFORM_OS_MODULE_H
#define TOLVEX_PLATFORM_OS_MODULE_H
#include <string>

#include "platform/os/HostOs.h"

struct OsModule_ {
  std::string path;
  const OsResourceTable* table = nullptr;
};

namespace tolvex::os {

// Null when the module, its table or the resource is missing.
const OsDialogTemplate* findDialog(OsModule module, uint32_t id);
const OsBitmapResource* findBitmap(OsModule module, uint32_t id);
const char* findString(OsModule module, uint32_t id);
// The module registered for the library file `path` (the same file under any
// name), or null.
OsModule findModuleOf(const char* path);

}  // namespace tolvex::os
#endif
