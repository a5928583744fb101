// What a list rebuild remembers so that a run cut short between the handheld
// rebuild and the desktop save can still merge the desktop edits made since.
//
// A rebuild gives every item a new unique ID and the list a new identity,
// while the desktop file keeps the old ones, and the user may go on editing
// it. The record keeps (1) the desktop list as the run read it: per item, in
// pre-order, its ID, a fingerprint of its content and its place (parent and
// previous sibling, as indices into that list); and (2) per item written to
// the handheld, in pre-order, its new ID, the desktop item it came from (or
// its old ID when it came from the handheld only) and whether the run changed
// its content or its place. With both, a later run puts the two sides back on
// common ground under the IDs the desktop file knows: each desktop item dirty
// where it differs from what the run read, each handheld item dirty where the
// run changed it. An ordinary fast merge then does the rest.
// Plain values; single-threaded.
#ifndef TOLVEX_OUTLINE_REBUILDRECORD_H
#define TOLVEX_OUTLINE_REBUILDRECORD_H
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "outline/ItemList.h"

namespace tolvex {

// A place index: an item of the desktop list, or one of these.
constexpr int32_t kNoItem = -1;       // top level / first in its row
constexpr int32_t kForeignItem = -2;  // an item the desktop list did not hold

struct DesktopItem {
  uint32_t id = 0;
  uint64_t fingerprint = 0;
  int32_t parent = kNoItem;
  int32_t prev = kNoItem;
};

struct WrittenItem {
  uint32_t newId = 0;
  int32_t origin = kForeignItem;  // index of the desktop item it came from
  uint32_t oldId = 0;             // its ID before the rebuild
  bool contentChanged = false;
  bool placeChanged = false;
};

struct RebuildRecord {
  std::vector<DesktopItem> desktop;
  std::vector<WrittenItem> written;
};

// Everything the handheld and the desktop file hold of an item, except its
// ID, its dirty flags and the desktop's own localID.
uint64_t contentFingerprint(const ListNode& item);

// The desktop list as read, taken before anything changes it. It refers to
// the list's items, so it must not outlive the list.
class DesktopSnapshot {
 public:
  DesktopSnapshot() = default;  // there was no desktop list
  explicit DesktopSnapshot(const ItemList& list);

  const std::vector<DesktopItem>& items() const { return items_; }
  // The desktop item `item` is or was copied from (the same item, else the
  // first with its ID), or kForeignItem.
  int32_t originOf(const ListNode* item) const;
  // The desktop item that `item` is itself, or kForeignItem.
  int32_t sameAs(const ListNode* item) const;

 private:
  int32_t placeOf(const ListNode* item) const;
  std::vector<DesktopItem> items_;
  struct Node {
    int32_t index;
    uint32_t generation;
  };
  std::unordered_map<const ListNode*, Node> byNode_;
  std::unordered_map<uint32_t, int32_t> byId_;
};

// Before the list is written: per item in pre-order, where it came from and
// whether the run changed it. After: newIds fills in the handheld's IDs.
std::vector<WrittenItem> describeWritten(const DesktopSnapshot& before, const ItemList& list);
void fillNewIds(std::vector<WrittenItem>& written, const ItemList& list);

// Gives each item of `desktop` (the file the interrupted run read, as it
// still stands) that the run wrote to the handheld unchanged the ID it holds
// there now, and every other item none: the rebuild gave the handheld new
// IDs, so only then can an item find its handheld twin by ID.
void keyAsWritten(const RebuildRecord& record, ItemList& desktop);

// Re-keys and re-flags the desktop list as edited since and the handheld
// list as rebuilt (and maybe edited since) for a fast merge, as described
// above; the handheld list takes the desktop list's identity.
void prepareReplay(const RebuildRecord& record, ItemList& desktop, ItemList& handheld);

}  // namespace tolvex
#endif
