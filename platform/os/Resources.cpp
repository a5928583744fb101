// Module registry: each library registers its resource table once when it is
// loaded; the handle stays valid for the life of the process.
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/os/Module.h"

namespace {

std::vector<std::unique_ptr<OsModule_>>& modules() {
  static std::vector<std::unique_ptr<OsModule_>> all;
  return all;
}

}  // namespace

namespace tolvex::os {

const OsDialogTemplate* findDialog(OsModule module, uint32_t id) {
  if (!module || !module->table || !module->table->dialogs) return nullptr;
  for (size_t i = 0; i < module->table->dialogCount; ++i) {
    if (module->table->dialogs[i].id == id) return &module->table->dialogs[i];
  }
  return nullptr;
}

const OsBitmapResource* findBitmap(OsModule module, uint32_t id) {
  if (!module || !module->table || !module->table->bitmaps) return nullptr;
  for (size_t i = 0; i < module->table->bitmapCount; ++i) {
    if (module->table->bitmaps[i].id == id) return &module->table->bitmaps[i];
  }
  return nullptr;
}

const char* findString(OsModule module, uint32_t id) {
  if (!module || !module->table || !module->table->strings) return nullptr;
  for (size_t i = 0; i < module->table->stringCount; ++i) {
    if (module->table->strings[i].id == id) return module->table->strings[i].text;
  }
  return nullptr;
}

OsModule findModuleOf(const char* path) {
  struct stat wanted;
  if (!path || ::stat(path, &wanted) != 0) return nullptr;
  for (auto& module : modules()) {
    struct stat st;
    if (module->path == path) return module.get();
    if (::stat(module->path.c_str(), &st) == 0 && st.st_dev == wanted.st_dev && st.st_ino == wanted.st_ino)
      return module.get();
  }
  return nullptr;
}

}  // namespace tolvex::os

extern "C" {

OsModule OsRegisterModule(const char* libraryPath, const OsResourceTable* table) {
  std::string path = libraryPath ? libraryPath : "";
  for (auto& module : modules()) {
    if (module->path == path) {
      module->table = table;
      return module.get();
    }
  }
  auto module = std::make_unique<OsModule_>();
  module->path = path;
  module->table = table;
  modules().push_back(std::move(module));
  return modules().back().get();
}

const char* OsModulePath(OsModule module) { return module ? module->path.c_str() : ""; }

int OsLoadString(OsModule module, uint32_t id, char* buffer, int size) {
  const char* text = tolvex::os::findString(module, id);
  if (!text || !buffer || size <= 0) {
    if (buffer && size > 0) buffer[0] = '\0';
    return 0;
  }
  size_t length = std::strlen(text);
  if (length > static_cast<size_t>(size - 1)) length = static_cast<size_t>(size - 1);
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  return static_cast<int>(length);
}

}  // extern "C"
