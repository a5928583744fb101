// The slow merge: ignores the dirty flags when it pairs items and compares
// both lists item by item, letting the configured method decide every
// difference. The handheld list is the source; only the desktop list is
// changed, apart from the handheld's purge.
//
// The method never decides against the user's latest work. Work is a live
// item whose content was edited since the last HotSync (`dirtyContent`; a
// move alone is not an edit) or, on the desktop, a new item (`uniqueID` 0).
// - Work that one side alone holds stays: a desktop-only item is retained
//   and a handheld-only item copied to the desktop under every method. Clean
//   one-sided items are deleted or dropped as the method says.
// - An item on both sides that only one side edited takes that side's
//   version whatever the method. An item deleted on one side counts as not
//   edited there, so one the other side edited is kept, edited (a desktop
//   item comes back as a copy of the handheld version, in front of the
//   deleted one). Edited on both sides or on neither, the method decides.
// - Before a desktop item goes with its subtree (deleted, or replaced by
//   "Clobber desktop"), the items below it that must stay are taken out:
//   those the handheld keeps live elsewhere, desktop work and, below a
//   deleted item, items the handheld edited or that the merge itself put
//   there from where the desktop held them live. Desktop work that the
//   rebuild of a clobbered item from the handheld would lose (new, or edited
//   on the desktop alone) goes below its new copy; everything else moves out
//   beside the item. What both sides deleted stays deleted in what is taken
//   out.
// - A copy of a live item that finds no referent goes to the end of the
//   list instead of being dropped.
// Lists with different identity stamps were not last synchronized with each
// other, so an item that one side alone holds may be one the other side never
// had: no item goes for being on one side only (it is retained or copied
// under every method), and items without an ID twin first pair by content.
// Where the method alone would have lost work, the log says what was done
// instead; other merges log as the method always did.
#include "libsync/ContentPairs.h"
#include "libsync/EngineSteps.h"
#include "libsync/SyncContext.h"

#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tolvex {
namespace {

using engine::counterpart;
using engine::effectiveMethod;
using engine::isDesktopWork;
using engine::isHandheldWork;
using engine::replaceByCopy;
using engine::usableReferent;


constexpr const char* kNotTogether = "#       Lists not last synced together. Retain %s-only item.\n";

// The live items of both sides without an ID twin pair by content; each
// desktop item of a pair takes its twin's ID, so the passes meet the two as
// twins. A handheld ID held twice pairs only its first item.
void pairForeignItems(ItemList& desktop, ItemList& handheld, const SyncContext& context) {
  engineLine(context, "# Lists of different identity: DT(%u) HH(%u).\n", desktop.uniqueTime(), handheld.uniqueTime());
  std::vector<ListNode*> desktopOnly, handheldOnly;
  ItemList::forEach(desktop.head(), WalkScope::kSubtree, [&](ListNode* item) {
    if (!item->deleted() && !handheld.findByUniqueId(item->uniqueID())) desktopOnly.push_back(item);
    return true;
  });
  ItemList::forEach(handheld.head(), WalkScope::kSubtree, [&](ListNode* item) {
    uint32_t id = item->uniqueID();
    if (!item->deleted() && id != 0 && !desktop.findByUniqueId(id) && handheld.findByUniqueId(id) == item)
      handheldOnly.push_back(item);
    return true;
  });
  std::vector<ListNode*> twins = engine::pairByContent(handheldOnly, desktopOnly, context);
  size_t paired = 0;
  for (size_t i = 0; i < twins.size(); ++i) {
    if (!twins[i]) continue;
    engine::takeDesktopTexts(*handheldOnly[i], *twins[i], context);
    twins[i]->setUniqueID(handheldOnly[i]->uniqueID());
    ++paired;
  }
  engineLine(context, "#   Items paired by content: %zu\n", paired);
  engineLine(context, "#\n");
}

void desktopOnlyPass(ItemList& desktop, const ItemList& handheld, bool foreign, const SyncContext& context) {
  int32_t method = effectiveMethod(context);
  ItemList::forEach(desktop.head(), WalkScope::kSubtree, [&](ListNode* item) {
    if (handheld.findByUniqueId(item->uniqueID())) return true;
    engineLine(context, "#   Item on desktop only: %s\n", item->title().c_str());
    engineLine(context, "#     Configured: %s\n", collisionMethodName(method));
    switch (method) {
      case kHhOverDt:
        if (isDesktopWork(*item)) {
          engineLine(context, "#       Retain desktop-only item.\n");
          break;
        }
        if (foreign && !item->deleted()) {
          engineLine(context, kNotTogether, "desktop");
          break;
        }
        engineLine(context, "#       Delete desktop-only item.\n");
        item->setDeleted(true);
        break;
      case kDtOverHh:
      case kKeepDuplicate:
        engineLine(context, "#       Retain desktop-only item.\n");
        break;
      case kByTime:
        engineLine(context, "!!!!!!!!!!!! SLOW TIME NYI !!!!!!!!!!!!!!!!!!\n");
        break;
      default:
        break;
    }
    return true;
  });
}

// A clean copy of `source` where it stands on the handheld. Without a
// referent the copy of a live item goes to the end of the list; that of a
// deleted one is dropped. Answers the placed copy, if any.
ListNode* copyToDesktop(ItemList& desktop, const ListNode& source, const SyncContext& context) {
  auto copy = desktop.copyOf(source, true);
  ListNode* placed = copy.get();
  if (source.prev()) {
    engineLine(context, "#       Copy to desktop as sibling.\n");
    if (ListNode* referent = counterpart(desktop, source.prev())) {
      referent->insertAfter(std::move(copy));
      return placed;
    }
  } else if (ListNode* parent = source.parent()) {
    engineLine(context, "#       Copy to desktop as child.\n");
    if (ListNode* referent = counterpart(desktop, parent)) {
      referent->insertFirstChild(std::move(copy));
      return placed;
    }
  } else {
    engineLine(context, "#       Copy to desktop as list head.\n");
    desktop.pushFront(std::move(copy));
    return placed;
  }
  if (source.deleted()) {
    engineLine(context, "#       BAD REFERENT!\n");
    return nullptr;
  }
  engineLine(context, "#       ERROR: Bad referent. Copy to end.\n");
  desktop.pushBack(std::move(copy));
  return placed;
}

// kOneSided: an item of one side only, of lists not last synced together.
enum class Stays { kNo, kMovedOut, kWork, kOneSided };

// The desktop as the merge began, by ID: the items that stood live below no
// deleted item, and the desktop work; for lists not last synced together
// (`foreign`), every ID it held. Copies that the merge puts in their place
// keep their standing.
using IdSet = std::unordered_set<uint32_t>;
struct DesktopBefore {
  IdSet heldLive, work, held;
  bool foreign = false;
};

DesktopBefore desktopBefore(const ItemList& desktop, bool foreign) {
  DesktopBefore before;
  before.foreign = foreign;
  struct Row { const ListNode* item; bool belowDeleted; };
  std::vector<Row> rows;
  if (desktop.head()) rows.push_back({desktop.head(), false});
  while (!rows.empty()) {
    auto [item, belowDeleted] = rows.back();
    rows.pop_back();
    if (item->next()) rows.push_back({item->next(), belowDeleted});
    if (isDesktopWork(*item)) before.work.insert(item->uniqueID());
    if (foreign) before.held.insert(item->uniqueID());
    belowDeleted = belowDeleted || item->deleted();
    if (!belowDeleted) before.heldLive.insert(item->uniqueID());
    if (item->firstChild()) rows.push_back({item->firstChild(), belowDeleted});
  }
  return before;
}

// Whether handheld items stand in the subtree of `root` (none when it is
// null). The answer is kept for every item passed on the way up, so asking
// for every item of a deep branch costs its length, not its length squared.
class RebuiltSubtree {
 public:
  explicit RebuiltSubtree(const ListNode* root) : root_(root) {}
  bool contains(const ListNode* item) {
    if (!root_) return false;
    bool inside = false;
    for (const ListNode* at = item; at; at = at->parent()) {
      if (at == root_) {
        inside = true;
        break;
      }
      if (auto known = known_.find(at); known != known_.end()) {
        inside = known->second;
        break;
      }
      passed_.push_back(at);
    }
    for (const ListNode* at : passed_) known_.emplace(at, inside);
    passed_.clear();
    return inside;
  }

 private:
  const ListNode* root_;
  std::unordered_map<const ListNode*, bool> known_;
  std::vector<const ListNode*> passed_;
};

// Whether a desktop item below one that goes must stay. `rebuilt` is the
// handheld item whose subtree takes the place of the one that goes (for a
// deleted item, its handheld twin). An item stays when the handheld keeps
// its twin live outside that subtree (when `clobbering`, also a deleted
// desktop item: it still serves as a referent) and when it is desktop work
// (when `clobbering`, only work the rebuild would lose). Below a deleted
// item (`before` given) it also stays when it was desktop work before a
// copy took its place, when the handheld edited its twin, or when the merge
// brought it there from where the desktop held it live. A deleted twin
// keeps nothing. For lists not last synced together (`foreign`), a live
// desktop item without a twin stays, and so does, below a deleted item, a
// copy of a handheld item the desktop did not hold.
Stays staysBelowDoomed(const ListNode& item, const ItemList& handheld, RebuiltSubtree& rebuilt, bool clobbering,
                       bool foreign, const DesktopBefore* before) {
  const ListNode* twin = handheld.findByUniqueId(item.uniqueID());
  bool liveTwin = twin && !twin->deleted();
  if (liveTwin && (clobbering || !item.deleted()) && !rebuilt.contains(twin)) return Stays::kMovedOut;
  if (foreign && clobbering && !twin && !item.deleted()) return Stays::kOneSided;
  if (clobbering) {
    // The rebuild brings the handheld version, which is as good unless the
    // desktop alone edited the item.
    bool lostByRebuild = !liveTwin || (!isHandheldWork(*twin) && item.compareContent(*twin) != 0);
    return isDesktopWork(item) && lostByRebuild ? Stays::kWork : Stays::kNo;
  }
  if (item.deleted()) return Stays::kNo;
  if (isDesktopWork(item) || before->work.count(item.uniqueID())) return Stays::kWork;
  if (!liveTwin) return Stays::kNo;
  if (isHandheldWork(*twin)) return Stays::kWork;
  if (foreign && !before->held.count(item.uniqueID())) return Stays::kOneSided;
  return before->heldLive.count(item.uniqueID()) ? Stays::kMovedOut : Stays::kNo;
}

// An item that stays takes its subtree out from under a deleted item; the
// items in it that the handheld deleted were deleted on the desktop too
// (with the item above), so they stay deleted unless they are desktop work.
void keepDeletedBelow(ListNode* stays, const ItemList& handheld) {
  ItemList::forEach(stays->firstChild(), WalkScope::kSubtree, [&](ListNode* item) {
    const ListNode* twin = handheld.findByUniqueId(item->uniqueID());
    if (twin && twin->deleted() && !isDesktopWork(*item)) item->setDeleted(true);
    return true;
  });
}

// The desktop items below `doomed` that must stay, in pre-order, each with
// its reason. An item that stays takes its subtree along, so the walk does
// not look inside it; what the desktop deleted with an item above it stays
// deleted there.
std::vector<std::pair<ListNode*, Stays>> itemsThatStay(ListNode* doomed, const ItemList& handheld,
                                                       const ListNode* rebuilt, bool clobbering, bool foreign,
                                                       const DesktopBefore* before = nullptr) {
  std::vector<std::pair<ListNode*, Stays>> stay;
  RebuiltSubtree inRebuilt(rebuilt);
  struct Row { ListNode* item; bool belowDeleted; };
  std::vector<Row> rows;
  bool doomedDeleted = false;
  for (const ListNode* up = doomed; up && !doomedDeleted; up = up->parent()) doomedDeleted = up->deleted();
  if (doomed->firstChild()) rows.push_back({doomed->firstChild(), doomedDeleted});
  while (!rows.empty()) {
    auto [row, belowDeleted] = rows.back();
    rows.pop_back();
    // The row's later siblings wait below its children, so the walk stays in pre-order.
    if (row->next()) rows.push_back({row->next(), belowDeleted});
    Stays why = staysBelowDoomed(*row, handheld, inRebuilt, clobbering, foreign, before);
    if (why == Stays::kNo) {
      if (row->firstChild()) rows.push_back({row->firstChild(), belowDeleted || row->deleted()});
      continue;
    }
    if (belowDeleted) keepDeletedBelow(row, handheld);
    stay.push_back({row, why});
  }
  return stay;
}

// The purge takes every deleted desktop item with its subtree; the items in
// it that must stay move out first, whole and in order, to just after it.
// The position pass later puts those the handheld holds where it has them.
// An item's next sibling is read after the item is handled, so the
// moved-out items are visited too.
void keepMovedOutOfDeleted(ItemList& desktop, const ItemList& handheld, const DesktopBefore& before,
                           const SyncContext& context) {
  std::vector<ListNode*> rows;
  if (desktop.head()) rows.push_back(desktop.head());
  while (!rows.empty()) {
    ListNode* item = rows.back();
    rows.pop_back();
    if (item->deleted()) {
      ListNode* anchor = item;
      const ListNode* twin = handheld.findByUniqueId(item->uniqueID());
      for (auto [stays, why] : itemsThatStay(item, handheld, twin, false, before.foreign, &before)) {
        const char* line = why == Stays::kMovedOut   ? "#   Keep moved-out item: %s\n"
                           : why == Stays::kOneSided ? "#   Keep handheld-only item: %s\n"
                                                     : "#   Keep new or edited item: %s\n";
        engineLine(context, line, stays->title().c_str());
        anchor->placeAfter(stays);
        anchor = stays;
      }
    }
    if (item->next()) rows.push_back(item->next());
    if (item->firstChild()) rows.push_back(item->firstChild());
  }
}

// "Clobber desktop": the desktop item and its subtree give way to a copy of
// the handheld item, whose handheld subtree the pass then copies below it.
// Items the handheld keeps outside that subtree move out beside the desktop
// item first; desktop work (and, for lists not last synced together, every
// desktop-only item) goes below the copy (to the end of the list when the
// copy of a deleted item found no place).
void clobberDesktop(ItemList& desktop, const ItemList& handheld, ListNode* target, const ListNode& source,
                    bool foreign, const SyncContext& context) {
  std::vector<std::pair<std::unique_ptr<ListNode>, Stays>> work;
  ListNode* anchor = target;
  for (auto [stays, why] : itemsThatStay(target, handheld, &source, true, foreign)) {
    if (why == Stays::kMovedOut) {
      engineLine(context, "#       Keep moved-out item: %s\n", stays->title().c_str());
      anchor->placeAfter(stays);
      anchor = stays;
    } else {
      engineLine(context, why == Stays::kOneSided ? "#       Keep desktop-only item: %s\n"
                                                  : "#       Keep new or edited item: %s\n",
                 stays->title().c_str());
      work.emplace_back(stays->unlink(), why);
    }
  }
  // The copies of the handheld subtree that follow take the released items' memory.
  desktop.recycle(target->unlink());
  ListNode* copy = copyToDesktop(desktop, source, context);
  // Below the copy of a deleted item the purge keeps desktop work but not
  // what the desktop alone holds: that goes beside the copy instead.
  ListNode* beside = copy && copy->deleted() ? copy : nullptr;
  ListNode* last = nullptr;
  for (auto& [item, why] : work) {
    ListNode* placed = item.get();
    if (beside && why == Stays::kOneSided) {
      beside->insertAfter(std::move(item));
      beside = placed;
      continue;
    }
    if (last) last->insertAfter(std::move(item));
    else if (copy) copy->insertFirstChild(std::move(item));
    else desktop.pushBack(std::move(item));
    last = placed;
  }
}

// The handheld edited an item the desktop deleted: a copy of the handheld
// version goes in front of the deleted item, which is left to the purge
// with the rest of what the desktop deleted below it (whatever must stay
// there is kept before the purge).
void reviveEdited(ItemList& desktop, ListNode* target, const ListNode& source) {
  auto copy = source.clone(true);
  copy->copyLocalIdFrom(*target);
  if (ListNode* before = target->prev()) before->insertAfter(std::move(copy));
  else if (ListNode* parent = target->parentLink()) parent->insertFirstChild(std::move(copy));
  else desktop.pushFront(std::move(copy));
}

// Which side alone edited an item since the last HotSync.
enum class EditedOn { kNeitherOrBoth, kDesktop, kHandheld };

EditedOn editedOn(const ListNode& desktopItem, const ListNode& handheldItem) {
  bool desktopEdit = isDesktopWork(desktopItem), handheldEdit = isHandheldWork(handheldItem);
  if (desktopEdit == handheldEdit) return EditedOn::kNeitherOrBoth;
  return desktopEdit ? EditedOn::kDesktop : EditedOn::kHandheld;
}

void differingItem(ItemList& desktop, const ItemList& handheld, ListNode* target, const ListNode& source,
                   int32_t method, bool foreign, const SyncContext& context) {
  engineLine(context, "#   Item on both HH and DT: %s\n", source.title().c_str());
  engineLine(context, "#     Item different on both sides.\n");
  engineLine(context, "#       Configured: %s\n", collisionMethodName(method));
  // One side's edit wins where the method would replace it or keep the
  // older version beside it (a copy of a deleted item is purged anyway).
  EditedOn edited = editedOn(*target, source);
  if (edited == EditedOn::kDesktop &&
      (method == kHhOverDt || (method == kKeepDuplicate && !source.deleted()))) {
    engineLine(context, "#       Edited on desktop only. Keep desktop.\n");
    return;
  }
  if (edited == EditedOn::kHandheld && method != kHhOverDt) {
    engineLine(context, "#       Edited on handheld only. Take handheld.\n");
    if (target->deleted()) reviveEdited(desktop, target, source);
    else replaceByCopy(target, source);
    return;
  }
  switch (method) {
    case kHhOverDt:
      engineLine(context, "#       Clobber desktop.\n");
      clobberDesktop(desktop, handheld, target, source, foreign, context);
      break;
    case kDtOverHh:
      engineLine(context, "#       Clobber handheld.\n");
      break;
    case kByTime:
      engineLine(context, "!!!!!!!!!!!! SLOW TIME NYI 3 !!!!!!!!!!!!!!!!!!\n");
      break;
    case kKeepDuplicate:
      engineLine(context, "#       Keep and duplicate.\n");
      copyToDesktop(desktop, source, context);
      break;
    default:
      break;
  }
}

// Equal content, but the desktop deleted the item the handheld edited.
void revivedItem(ItemList& desktop, ListNode* target, const ListNode& source, const SyncContext& context) {
  engineLine(context, "#   Item on both HH and DT: %s\n", source.title().c_str());
  engineLine(context, "#     Deleted on desktop, edited on handheld. Keep.\n");
  reviveEdited(desktop, target, source);
}

void handheldOnlyItem(ItemList& desktop, const ListNode& source, int32_t method, bool foreign,
                      const SyncContext& context) {
  engineLine(context, "#   Item on handheld only: %s\n", source.title().c_str());
  engineLine(context, "#     Configured: %s\n", collisionMethodName(method));
  const bool methodCopies = method == kHhOverDt || method == kKeepDuplicate;
  if (isHandheldWork(source) && !methodCopies) {
    engineLine(context, "#       Retain handheld-only item.\n");
    copyToDesktop(desktop, source, context);
    return;
  }
  if (foreign && !source.deleted() && !methodCopies) {
    engineLine(context, kNotTogether, "handheld");
    copyToDesktop(desktop, source, context);
    return;
  }
  switch (method) {
    case kHhOverDt:
    case kKeepDuplicate:
      copyToDesktop(desktop, source, context);
      break;
    case kDtOverHh:
      engineLine(context, "#       Delete and ignore.\n");
      break;
    case kByTime:
      engineLine(context, "!!!!!!!!!!!! SLOW TIME NYI 2 !!!!!!!!!!!!!!!!!!\n");
      break;
    default:
      break;
  }
}

void handheldPass(ItemList& desktop, ItemList& handheld, bool foreign, const SyncContext& context) {
  int32_t method = effectiveMethod(context);
  ItemList::forEach(handheld.head(), WalkScope::kSubtree, [&](ListNode* source) {
    ListNode* target = counterpart(desktop, source);
    if (!target) {
      handheldOnlyItem(desktop, *source, method, foreign, context);
    } else if (source->compareContent(*target) != 0) {
      differingItem(desktop, handheld, target, *source, method, foreign, context);
    } else if (target->deleted() && isHandheldWork(*source)) {
      revivedItem(desktop, target, *source, context);
    }
    return true;
  });
}

// Moves a desktop item to where its handheld twin stands (only when `move`;
// otherwise the same lines are logged and nothing changes). A referent inside
// the item's own subtree would make a cycle and counts as missing.
bool relocateToHandheldPlace(ItemList& desktop, const ItemList& handheld, ListNode* item, bool move,
                             const SyncContext& context) {
  const ListNode* twin = handheld.findByUniqueId(item->uniqueID());
  if (!twin) return true;
  if (twin->prev()) {
    engineLine(context, "#   Relocate to sibling: %s\n", item->title().c_str());
    ListNode* referent = counterpart(desktop, twin->prev());
    if (usableReferent(referent, item)) {
      if (move) referent->placeAfter(item);
      return true;
    }
  } else if (const ListNode* parent = twin->parent()) {
    engineLine(context, "#   Relocate to child: %s\n", item->title().c_str());
    ListNode* referent = counterpart(desktop, parent);
    if (usableReferent(referent, item)) {
      if (move) referent->placeAsFirstChild(item);
      return true;
    }
  } else {
    return true;
  }
  engineLine(context, "#     BAD REFERENT.\n");
  return true;
}

}  // namespace

int slowSync(ItemList& desktop, ItemList& handheld, SyncContext& context) {
  engineLine(context, "# SLOW sync database: Same handheld<->desktop pair\n");
  engineLine(context, "#\n");
  context.changed = true;

  const bool foreign = desktop.uniqueTime() != handheld.uniqueTime();
  if (foreign) pairForeignItems(desktop, handheld, context);
  const DesktopBefore before = desktopBefore(desktop, foreign);
  engineLine(context, "# Looking for desktop-only items:\n");
  desktopOnlyPass(desktop, handheld, foreign, context);

  engineLine(context, "#\n");
  engineLine(context, "# Looking for handheld or different both-side items:\n");
  handheldPass(desktop, handheld, foreign, context);
  desktop.dropRecycled();

  keepMovedOutOfDeleted(desktop, handheld, before, context);
  engineLine(context, "#\n");
  engineLine(context, "# Desktop deletion listing:\n");
  engine::deletionListing(desktop, context);
  engineLine(context, "# Done deletion dump.\n");
  engineLine(context, "#\n");

  desktop.purgeDeleted();
  handheld.purgeDeleted();

  engineLine(context, "# Clear all dirties.\n");
  desktop.clearAllDirtyPosition();
  desktop.clearAllDirtyContent();

  engineLine(context, "#\n");
  engineLine(context, "# Handle position changes:\n");
  int32_t method = effectiveMethod(context);
  if (method == kHhOverDt || method == kDtOverHh) {
    engineLine(context, "#   Configured: %s\n", collisionMethodName(method));
    // Under "DT over HH" the pass only reports; the desktop positions stand.
    bool move = method == kHhOverDt;
    ItemList::forEach(desktop.head(), WalkScope::kSubtree, [&](ListNode* item) {
      return relocateToHandheldPlace(desktop, handheld, item, move, context);
    });
  } else {
    engineLine(context, "#   Configured settings don't assist. Skipping.\n");
  }
  return 0;
}

}  // namespace tolvex
