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
#include "outline/RebuildRecord.h"

namespace tolvex {

// Results of a list's synchronization: 0 when the list is in step or was
// left alone on request, else negative.
constexpr int32_t kHandheldListUnreadable = -11;  // the handheld list could not be read at all
constexpr int32_t kListNotInSync = -12;           // the list could not be brought in step

// Every reading of a desktop list file goes through here: null, with the
// reader's explanation in `message`, when the file cannot be read.
//
// A unique ID stands for one handheld item, yet a file edited by hand (an
// item block copied and changed) can give it to several items. Paired with
// one of them, the handheld item could be written over an item that is not
// its own. So items sharing an ID go to the handheld as new items (ID 0,
// edited): all of them when they differ, all but the first when they are
// exact copies, for then whatever the merge does to the first, the others
// hold the same. The environment's log hears one warning line for the list.
std::unique_ptr<ItemList> loadDesktopList(const RunEnv& env, const std::string& path, std::string& message);
// The same for a merge; logs why a file could not be read.
std::unique_ptr<ItemList> readDesktopList(const RunEnv& env, const std::string& path);
// 0, or kListNotInSync when the desktop file cannot be read or the list
// could not be built on the handheld or saved back.
int32_t copyDesktopToHandheld(const RunEnv& env, const std::string& name, bool ignoreUpload);
// 0 (also when the list's sync-request flag is clear), kHandheldListUnreadable,
// or kListNotInSync when it could not be read whole, rebuilt or written.
// `beforeReplace` runs once the new desktop file is written whole, just
// before it replaces the old one (the backup roll goes there).
// `interrupted`: the record of a rebuild of this list that was cut short
// (the desktop file unchanged since), so that the desktop's full texts are
// kept across the new IDs that rebuild gave the handheld.
int32_t copyHandheldToDesktop(const RunEnv& env, const DatabaseEntry& entry, const std::string& folder,
                              const std::function<void()>& beforeReplace = nullptr,
                              const RebuildRecord* interrupted = nullptr);

}  // namespace tolvex
#endif
