// The conduit's registry key "Software\Marrowind\Tolvex\RegBool" under
// HKEY_LOCAL_MACHINE: the action settings and the user folder.
#ifndef TOLVEX_CONDUIT_REGISTRYSTORE_H
#define TOLVEX_CONDUIT_REGISTRYSTORE_H
#include <cstdint>
#include <string>

#include "common/RunLog.h"

namespace tolvex {

class RegistryStore {
 public:
  // The value, or -1 when the key cannot be opened or the value read.
  static int32_t readValue(const char* name);
  // Creates the key when needed; false when the value could not be stored.
  static bool writeValue(const char* name, int32_t value);
  // Stores the folder as "Flathead", logging each step.
  static void storeUserFolder(RunLog& log, const std::string& folder);
};

}  // namespace tolvex
#endif
