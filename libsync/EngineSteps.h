// Steps shared by the fast and the slow merge. Internal to the engine.
#ifndef TOLVEX_LIBSYNC_ENGINESTEPS_H
#define TOLVEX_LIBSYNC_ENGINESTEPS_H
#include "libsync/SyncContext.h"

namespace tolvex::engine {

// The configured method, with values outside the defined range read as 0.
int32_t effectiveMethod(const SyncContext& context);

// A live desktop item edited since the last HotSync, or new there.
inline bool isDesktopWork(const ListNode& item) {
  return !item.deleted() && (item.dirtyContent() || item.uniqueID() == 0);
}

// A live handheld item edited or added since the last HotSync.
inline bool isHandheldWork(const ListNode& item) { return !item.deleted() && item.dirtyContent(); }

// Logs every deleted desktop item, indented by depth. Changes nothing.
void deletionListing(const ItemList& desktop, const SyncContext& context);

// Moves every live desktop item that stands below a deleted one out beside
// its topmost deleted ancestor, so the purge does not take it.
void keepAlivePass(ItemList& desktop, const SyncContext& context);

// Counterpart of a handheld item on the desktop list (null for none).
ListNode* counterpart(const ItemList& desktop, const ListNode* handheldItem);

// The target gives way to a clean copy of the source, keeping its place,
// its children and its desktop-only identifier.
void replaceByCopy(ListNode* target, const ListNode& source);

// A handheld item takes the texts of the desktop item it paired with by
// content, which it holds in the handheld's form, so the two compare equal
// and the desktop's whole texts survive whichever wins; and the links it
// holds in the handheld's form, through the context.
void takeDesktopTexts(ListNode& handheldItem, const ListNode& desktopItem, const SyncContext& context);

// True when `referent` can take `moving` beside or below it: it exists and is
// not inside the moving item's own subtree (that would make a cycle).
bool usableReferent(const ListNode* referent, const ListNode* moving);

}  // namespace tolvex::engine
#endif
