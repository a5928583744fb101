// Which item of one side of a list, after a run, is which item before it.
//
// Item IDs cannot tell: every rebuild of a handheld database gives every item
// a new ID, and the desktop file saved after it carries the new IDs. So live
// items are paired by what they hold and where they stand, in passes from the
// surest to the loosest; within a pass, candidates pair up in outline order,
// so the answer is the same for the same two views:
//   1. the same title path (the titles from the top row down) and content;
//   2. the same content anywhere (an item that moved);
//   3. the same title path (an item edited in place);
//   4. the same title under the paired parent (edited below a renamed parent);
//   5. the same creation time under the paired parent (a renamed item);
//   6. the same title and creation time anywhere (edited and moved);
//   7. the same creation time between the same paired neighbours under the
//      paired parent (renamed in place, with no creation time to go by).
// What stays unpaired before was deleted; after, added. A pair whose content
// differs was changed; one that left its paired parent, or whose order among
// its siblings changed (beyond the fewest moves that explain it), was moved.
//
// Plain functions over values; one thread.
#ifndef TOLVEX_PLATFORM_HOTSYNC_ITEMMATCH_H
#define TOLVEX_PLATFORM_HOTSYNC_ITEMMATCH_H
#include <cstddef>
#include <string>
#include <vector>

#include "platform/hotsync/ListSnapshot.h"

namespace tolvex::host {

constexpr size_t kUnpaired = SIZE_MAX;

struct ItemChange {
  enum Kind { kAdded, kChanged, kMoved, kDeleted };
  Kind kind;
  size_t before = kUnpaired;  // index in the view before, kUnpaired when added
  size_t after = kUnpaired;   // index in the view after, kUnpaired when deleted
};

struct SideChanges {
  size_t added = 0, changed = 0, moved = 0, deleted = 0;
  // For every item of `after`, its pair in `before`, or kUnpaired.
  std::vector<size_t> pairOf;
  // One entry per change (a changed and moved item has two), in outline
  // order: those of `after` first, then the deletions.
  std::vector<ItemChange> items;

  bool any() const { return added + changed + moved + deleted > 0; }
};

SideChanges compareSides(const std::vector<ItemView>& before, const std::vector<ItemView>& after);

// The titles from the top row down to `index` (empty ones when `side` keeps
// no titles).
std::vector<std::string> titlesTo(const SideView& side, size_t index);
// The same joined: "Garden › Flowers › Dahlias".
std::string titlePath(const SideView& side, size_t index);

}  // namespace tolvex::host
#endif
