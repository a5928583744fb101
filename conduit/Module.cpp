#include "conduit/Module.h"

#include <dlfcn.h>

namespace tolvex {

namespace {

OsModule gModule = nullptr;
int gAttachCount = 0;

// The path of the library (or program) holding this code.
const char* ownPath() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&conduitResourceTable), &info) != 0 && info.dli_fname != nullptr)
    return info.dli_fname;
  return "";
}

void registerModule() {
  if (gModule == nullptr) gModule = OsRegisterModule(ownPath(), conduitResourceTable());
}

// Load and unload of the library; only the first load registers the resources.
__attribute__((constructor)) void onAttach() {
  ++gAttachCount;
  registerModule();
}
__attribute__((destructor)) void onDetach() { --gAttachCount; }

}  // namespace

OsModule conduitModule() {
  registerModule();  // in case the OS layer was not ready at load time
  return gModule;
}

}  // namespace tolvex
