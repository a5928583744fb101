// Whole-list copies between the desktop file and the handheld database.
#ifndef TOLVEX_OUTLINE_LISTCOPY_H
#define TOLVEX_OUTLINE_LISTCOPY_H
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/DatabaseEntry.h"
#include "common/RunLog.h"
#include "outline/ItemList.h"

namespace tolvex {

std::unique_ptr<ItemList> readDesktopList(const RunEnv& env, const std::string& path);
// Always 0.
int32_t copyDesktopToHandheld(const RunEnv& env, const std::string& name, bool ignoreUpload);
// 0, -11 (handheld list unreadable) or -12 (desktop file not written).
// `beforeReplace` runs once the new desktop file is written whole, just
// before it replaces the old one (the backup roll goes there).
int32_t copyHandheldToDesktop(const RunEnv& env, const DatabaseEntry& entry, const std::string& folder,
                              const std::function<void()>& beforeReplace = nullptr);

}  // namespace tolvex
#endif
