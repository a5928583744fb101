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

// Results of a list's synchronization: 0 when the list is in step or was
// left alone on request, else negative.
constexpr int32_t kHandheldListUnreadable = -11;  // the handheld list could not be read at all
constexpr int32_t kListNotInSync = -12;           // the list could not be brought in step

std::unique_ptr<ItemList> readDesktopList(const RunEnv& env, const std::string& path);
// 0, or kListNotInSync when the desktop file cannot be read or the list
// could not be built on the handheld or saved back.
int32_t copyDesktopToHandheld(const RunEnv& env, const std::string& name, bool ignoreUpload);
// 0 (also when the list's sync-request flag is clear), kHandheldListUnreadable,
// or kListNotInSync when it could not be read whole, rebuilt or written.
// `beforeReplace` runs once the new desktop file is written whole, just
// before it replaces the old one (the backup roll goes there).
int32_t copyHandheldToDesktop(const RunEnv& env, const DatabaseEntry& entry, const std::string& folder,
                              const std::function<void()>& beforeReplace = nullptr);

}  // namespace tolvex
#endif
