// The slow merge: ignores the dirty flags and compares both lists item by
// item, letting the configured method decide every difference. The handheld
// list is the source; only the desktop list is changed, apart from the
// handheld's purge.
#include "libsync/EngineSteps.h"
#include "libsync/SyncContext.h"

#include <vector>

namespace tolvex {
namespace {

using engine::counterpart;
using engine::effectiveMethod;
using engine::usableReferent;

void desktopOnlyPass(ItemList& desktop, const ItemList& handheld, const SyncContext& context) {
  int32_t method = effectiveMethod(context);
  ItemList::forEach(desktop.head(), WalkScope::kSubtree, [&](ListNode* item) {
    if (handheld.findByUniqueId(item->uniqueID())) return true;
    engineLine(context, "#   Item on desktop only: %s\n", item->title().c_str());
    engineLine(context, "#     Configured: %s\n", collisionMethodName(method));
    switch (method) {
      case kHhOverDt:
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

// A clean copy of `source` where it stands on the handheld; without a
// referent the copy is dropped.
void copyToDesktop(ItemList& desktop, const ListNode& source, const SyncContext& context) {
  auto copy = source.clone(true);
  copy->setList(&desktop);
  if (source.prev()) {
    engineLine(context, "#       Copy to desktop as sibling.\n");
    if (ListNode* referent = counterpart(desktop, source.prev())) {
      referent->insertAfter(std::move(copy));
      return;
    }
  } else if (ListNode* parent = source.parent()) {
    engineLine(context, "#       Copy to desktop as child.\n");
    if (ListNode* referent = counterpart(desktop, parent)) {
      referent->insertFirstChild(std::move(copy));
      return;
    }
  } else {
    engineLine(context, "#       Copy to desktop as list head.\n");
    desktop.pushFront(std::move(copy));
    return;
  }
  engineLine(context, "#       BAD REFERENT!\n");
}

// Desktop items below `doomed` whose handheld twins stand outside `kept`'s
// subtree (anywhere, when `kept` is null) are not rebuilt from the handheld
// when `doomed` goes with its subtree, so they would be lost from both sides.
// They are moved out, whole and in order, to just after `doomed`; the
// position pass later puts them where the handheld has them. Deleted items
// are moved out only with `withDeleted` (they still serve as referents of
// the copies that follow); otherwise the walk looks inside them.
void keepMovedOutItems(ListNode* doomed, const ItemList& handheld, const ListNode* kept, bool withDeleted,
                       const char* format, const SyncContext& context) {
  std::vector<ListNode*> keep;
  std::vector<ListNode*> rows;
  if (doomed->firstChild()) rows.push_back(doomed->firstChild());
  while (!rows.empty()) {
    ListNode* row = rows.back();
    rows.pop_back();
    // The row's later siblings wait below its children, so the walk stays in pre-order.
    if (row->next()) rows.push_back(row->next());
    const ListNode* twin = handheld.findByUniqueId(row->uniqueID());
    if (twin && (withDeleted || !row->deleted()) && !twin->isWithinSubtreeOf(kept)) keep.push_back(row);
    else if (row->firstChild()) rows.push_back(row->firstChild());
  }
  ListNode* anchor = doomed;
  for (ListNode* item : keep) {
    engineLine(context, format, item->title().c_str());
    anchor->insertAfter(item->unlink());
    anchor = item;
  }
}

// The purge takes every deleted desktop item with its subtree; items in it
// that the handheld keeps outside the deleted item's twin are moved out
// first. An item's next sibling is read after the item is handled, so the
// moved-out items are visited too.
void keepMovedOutOfDeleted(ItemList& desktop, const ItemList& handheld, const SyncContext& context) {
  std::vector<ListNode*> rows;
  if (desktop.head()) rows.push_back(desktop.head());
  while (!rows.empty()) {
    ListNode* item = rows.back();
    rows.pop_back();
    if (item->deleted())
      keepMovedOutItems(item, handheld, handheld.findByUniqueId(item->uniqueID()), false,
                        "#   Keep moved-out item: %s\n", context);
    if (item->next()) rows.push_back(item->next());
    if (item->firstChild()) rows.push_back(item->firstChild());
  }
}

void differingItem(ItemList& desktop, const ItemList& handheld, ListNode* target, const ListNode& source,
                   int32_t method, const SyncContext& context) {
  engineLine(context, "#   Item on both HH and DT: %s\n", source.title().c_str());
  engineLine(context, "#     Item different on both sides.\n");
  engineLine(context, "#       Configured: %s\n", collisionMethodName(method));
  switch (method) {
    case kHhOverDt:
      engineLine(context, "#       Clobber desktop.\n");
      keepMovedOutItems(target, handheld, &source, true, "#       Keep moved-out item: %s\n", context);
      target->unlink().reset();
      copyToDesktop(desktop, source, context);
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

void handheldOnlyItem(ItemList& desktop, const ListNode& source, int32_t method, const SyncContext& context) {
  engineLine(context, "#   Item on handheld only: %s\n", source.title().c_str());
  engineLine(context, "#     Configured: %s\n", collisionMethodName(method));
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

void handheldPass(ItemList& desktop, ItemList& handheld, const SyncContext& context) {
  int32_t method = effectiveMethod(context);
  ItemList::forEach(handheld.head(), WalkScope::kSubtree, [&](ListNode* source) {
    ListNode* target = counterpart(desktop, source);
    if (!target) {
      handheldOnlyItem(desktop, *source, method, context);
    } else if (source->compareContent(*target) != 0) {
      differingItem(desktop, handheld, target, *source, method, context);
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
      if (move) referent->insertAfter(item->unlink());
      return true;
    }
  } else if (const ListNode* parent = twin->parent()) {
    engineLine(context, "#   Relocate to child: %s\n", item->title().c_str());
    ListNode* referent = counterpart(desktop, parent);
    if (usableReferent(referent, item)) {
      if (move) referent->insertFirstChild(item->unlink());
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

  engineLine(context, "# Looking for desktop-only items:\n");
  desktopOnlyPass(desktop, handheld, context);

  engineLine(context, "#\n");
  engineLine(context, "# Looking for handheld or different both-side items:\n");
  handheldPass(desktop, handheld, context);

  keepMovedOutOfDeleted(desktop, handheld, context);
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
