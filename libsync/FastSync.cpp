// The fast merge: trusts the dirty flags of both sides. The handheld list is
// the source; only the desktop list is changed, apart from the handheld's own
// flags and its purge.
//
// Its rows keep the user's latest work without help: an item edited on one
// side and deleted on the other stays, edited ("Swap" keeps the desktop
// edit, "Copy" puts the handheld edit in place of the deleted desktop
// item); an edit on one side only replaces the clean other side; only an
// item edited on both sides goes to the method. A deletion reaches the
// desktop as a flag, and before the purge every live item below a deleted
// one moves out beside it, whatever put it there, so an edit or a new item
// below a deleted ancestor survives. A new item without a referent goes to
// the end of the list.
#include "libsync/EngineSteps.h"
#include "libsync/SyncContext.h"

namespace tolvex {
namespace {

using engine::counterpart;
using engine::effectiveMethod;
using engine::replaceByCopy;
using engine::usableReferent;

// Puts `copy` (a clean copy of the source) where the source stands on the
// handheld, falling back to the end of the desktop list.
void placeNewItem(ItemList& desktop, const ListNode& source, std::unique_ptr<ListNode> copy,
                  const SyncContext& context) {
  if (source.prev()) {
    engineLine(context, "#       Will be copied as sibling.\n");
    if (ListNode* referent = counterpart(desktop, source.prev())) {
      engineLine(context, "#         Referent: %s\n", referent->title().c_str());
      referent->insertAfter(std::move(copy));
      return;
    }
  } else if (ListNode* parent = source.parent()) {
    engineLine(context, "#       Will be copied as child.\n");
    if (ListNode* referent = counterpart(desktop, parent)) {
      engineLine(context, "#         Referent: %s\n", referent->title().c_str());
      referent->insertFirstChild(std::move(copy));
      return;
    }
  } else {
    engineLine(context, "#       Will be copied as new list head.\n");
    copy->setList(&desktop);
    desktop.pushFront(std::move(copy));
    return;
  }
  engineLine(context, "#       ERROR: Bad referent. Copy to end.\n");
  copy->setList(&desktop);
  desktop.pushBack(std::move(copy));
}

void resolveContentCollision(ListNode* target, const ListNode& source, const SyncContext& context) {
  int32_t method = effectiveMethod(context);
  engineLine(context, "#       Configured: %s\n", collisionMethodName(method));
  switch (method) {
    case kHhOverDt:
      replaceByCopy(target, source);
      break;
    case kByTime:
      engineLine(context, "!!!!!!!!!!!! FAST TIME NYI !!!!!!!!!!!!!!!!!!\n");
      break;
    case kKeepDuplicate:
      target->insertAfter(source.clone(true));
      break;
    default:
      break;
  }
}

void syncDirtyItem(ItemList& desktop, const ListNode& source, const SyncContext& context) {
  engineLine(context, "# Found dirty item: %s\n", source.title().c_str());
  ListNode* target = counterpart(desktop, &source);
  if (target) {
    engineLine(context, "#   Found corresponding item. Sync: %s\n", target->title().c_str());
    if (source.deleted()) {
      if (target->deleted()) {
        engineLine(context, "#     Both sides are deleted. Ignoring for now.\n");
      } else if (target->dirtyContent()) {
        engineLine(context, "#     Source deleted. Target alive+mod. Swap.\n");
      } else {
        engineLine(context, "#     Source deleted. Target alive. Delete.\n");
        target->setDeleted(true);
        target->setDirtyContent(true);
      }
    } else if (target->deleted()) {
      engineLine(context, "#     Source modified, target deleted. Copy.\n");
      replaceByCopy(target, source);
    } else if (target->dirtyContent()) {
      engineLine(context, "#     Both sides dirty. Collision resolution.\n");
      resolveContentCollision(target, source, context);
    } else {
      engineLine(context, "#     Source modified. Target clean. Clobber.\n");
      replaceByCopy(target, source);
    }
    return;
  }
  engineLine(context, "#   No corresponding item found.\n");
  if (source.deleted()) {
    engineLine(context, "#     Source item is deleted, so ignore for now.\n");
  } else {
    engineLine(context, "#     Source item is new (and not deleted). Copy.\n");
    placeNewItem(desktop, source, source.clone(true), context);
  }
  engineLine(context, "#   Done.\n");
}

// The handheld list does not change during this pass, so one pre-order walk
// meets the dirty items in the order a search from the top would.
void contentPass(ItemList& desktop, ItemList& handheld, const SyncContext& context) {
  ItemList::forEach(handheld.head(), WalkScope::kSubtree, [&](ListNode* source) {
    if (source->dirtyContent()) {
      syncDirtyItem(desktop, *source, context);
      source->setDirtyContent(false);
    }
    return true;
  });
}

// Moves `target` so that it stands where `source` stands on the handheld.
void relocate(ItemList& desktop, ListNode* target, const ListNode& source, const SyncContext& context) {
  if (source.prev()) {
    ListNode* referent = counterpart(desktop, source.prev());
    if (usableReferent(referent, target)) {
      engineLine(context, "#     Move as sibling of: %s\n", referent->title().c_str());
      referent->placeAfter(target);
      return;
    }
  } else if (ListNode* parent = source.parent()) {
    ListNode* referent = counterpart(desktop, parent);
    if (usableReferent(referent, target)) {
      engineLine(context, "#     Move as child of: %s\n", referent->title().c_str());
      referent->placeAsFirstChild(target);
      return;
    }
  } else {
    engineLine(context, "#     Becomes new head of list!\n");
    desktop.placeFirst(target);
    return;
  }
  engineLine(context, "#     BAD REFERENT!\n");
}

void syncMovedItem(ItemList& desktop, const ListNode& source, const SyncContext& context) {
  engineLine(context, "# Found dirtypos item: %s\n", source.title().c_str());
  ListNode* target = counterpart(desktop, &source);
  if (!target) {
    engineLine(context, "#   Move to below a deleted/missing item. Lost.\n");
    return;
  }
  engineLine(context, "#   Matched: %s\n", target->title().c_str());
  if (!target->dirtyPosition()) {
    engineLine(context, "#   Source moved; target not moved. Move target.\n");
    relocate(desktop, target, source, context);
  } else {
    engineLine(context, "#   Both sides moved; collision management.\n");
    int32_t method = effectiveMethod(context);
    engineLine(context, "#     Configured: %s\n", collisionMethodName(method));
    if (method == kHhOverDt || method == kDtOverHh) {
      engineLine(context, "#     Method applies to moves as well. Whew.\n");
      if (method == kHhOverDt) relocate(desktop, target, source, context);
    } else if (method == kByTime || method == kKeepDuplicate) {
      engineLine(context, "#     Method n/a to moves. Trusting desktop.\n");
    }
  }
  target->setDirtyPosition(false);
}

// As with the content pass, the handheld list keeps its shape here.
void movePass(ItemList& desktop, ItemList& handheld, const SyncContext& context) {
  ItemList::forEach(handheld.head(), WalkScope::kSubtree, [&](ListNode* source) {
    if (source->dirtyPosition()) {
      syncMovedItem(desktop, *source, context);
      source->setDirtyPosition(false);
    }
    return true;
  });
}

}  // namespace

namespace engine {

// Live items below a deleted one move out beside its topmost deleted
// ancestor, so the purge does not take them. The walk continues in
// pre-order of the changed tree, which is where a walk restarted from the
// top would find its first move: nothing before the moved item changes.
void keepAlivePass(ItemList& desktop, const SyncContext& context) {
  struct Row {
    ListNode* item;       // item of this row being visited or below which we are
    ListNode* deletedTop; // topmost deleted ancestor of this row, if any
  };
  std::vector<Row> rows;
  if (desktop.head()) rows.push_back({desktop.head(), nullptr});
  while (!rows.empty()) {
    Row& row = rows.back();
    ListNode* item = row.item;
    if (!item) {
      rows.pop_back();
      if (!rows.empty()) rows.back().item = rows.back().item->next();
      continue;
    }
    ListNode* ancestor = row.deletedTop;
    if (ancestor && !item->deleted()) {
      engineLine(context, "#   Alive: %s to move beside %s\n", item->title().c_str(), ancestor->title().c_str());
      row.item = item->next();
      ancestor->placeAfter(item);
      continue;
    }
    if (item->firstChild()) {
      ListNode* below = ancestor ? ancestor : (item->deleted() ? item : nullptr);
      rows.push_back({item->firstChild(), below});
      continue;
    }
    row.item = item->next();
  }
}

}  // namespace engine

int fastSync(ItemList& desktop, ItemList& handheld, SyncContext& context) {
  engineLine(context, "# FAST sync database: Same handheld<->desktop pair\n");
  engineLine(context, "#\n");
  if (!desktop.hasChanges() && !handheld.hasChanges()) {
    engineLine(context, "#   Nothing is dirty on either side. Bailing out.\n");
    engineLine(context, "#\n");
    context.changed = false;
    return 0;
  }
  context.changed = true;

  engineLine(context, "# Looking for dirties on handheld side:\n");
  contentPass(desktop, handheld, context);

  engineLine(context, "#\n");
  engineLine(context, "# Desktop deletion listing:\n");
  engine::deletionListing(desktop, context);
  engineLine(context, "# Done deletion dump.\n");
  engineLine(context, "#\n");

  engineLine(context, "# Some items may need to be kept alive since they will\n");
  engineLine(context, "# move before being deleted from under deleted parents:\n");
  engine::keepAlivePass(desktop, context);
  engineLine(context, "# Done bullet-dodge dump.\n");
  engineLine(context, "#\n");

  engineLine(context, "# Clear desktop dirties.\n");
  desktop.clearAllDirtyContent();
  desktop.purgeDeleted();
  handheld.purgeDeleted();

  engineLine(context, "#\n");
  engineLine(context, "# Looking for undeleted moved items on handheld side:\n");
  movePass(desktop, handheld, context);
  engineLine(context, "# Clear desktop positional dirties.\n");
  desktop.clearAllDirtyPosition();

  engineLine(context, "#\n");
  engineLine(context, "# Done synch of this file.\n");
  return 0;
}

}  // namespace tolvex
