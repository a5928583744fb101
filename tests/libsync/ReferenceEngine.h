// The merge engine as first written, kept as a reference: every lookup is a
// pre-order walk from the head. Only the differential test uses it.
#ifndef TOLVEX_TESTS_LIBSYNC_REFERENCEENGINE_H
#define TOLVEX_TESTS_LIBSYNC_REFERENCEENGINE_H
#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "libsync/SyncContext.h"

namespace tolvex::reference {

int fastSync(ItemList& desktop, ItemList& handheld, SyncContext& context);
int slowSync(ItemList& desktop, ItemList& handheld, SyncContext& context);
namespace engine {
int32_t effectiveMethod(const SyncContext& context);
void deletionListing(const ItemList& desktop, const SyncContext& context);
void keepAlivePass(ItemList& desktop, const SyncContext& context);
ListNode* counterpart(const ItemList& desktop, const ListNode* handheldItem);
bool usableReferent(const ListNode* referent, const ListNode* moving);
}  // namespace engine

// First match in pre-order, deleted items included.
inline ListNode* walkFind(const ItemList& list, uint32_t id) {
  std::vector<ListNode*> pending{list.head()};
  while (!pending.empty()) {
    ListNode* item = pending.back();
    if (!item) {
      pending.pop_back();
      continue;
    }
    if (item->uniqueID() == id) return item;
    pending.back() = item->next();
    if (item->firstChild()) pending.push_back(item->firstChild());
  }
  return nullptr;
}

// Parent by walking back along the row, and ancestry through it.
inline ListNode* walkParent(const ListNode* item) {
  while (item->prev()) item = item->prev();
  return item->parentLink();
}
inline bool walkWithin(const ListNode* item, const ListNode* ancestor) {
  if (!ancestor) return false;
  for (; item; item = walkParent(item))
    if (item == ancestor) return true;
  return false;
}

// Same content but for the ID, links included, texts and links in the
// context's forms.
inline std::string formedText(bool present, const std::string& text, TextForm form) {
  return form ? form(text) : (present ? "+" : "-") + text;
}
inline std::vector<EabLink> heldLinks(const ListNode& item, const SyncContext& c) {
  std::vector<EabLink> links = item.linkEAB();
  if (c.addressLinksHeld) links.resize(std::min(links.size(), c.addressLinksHeld(item)));
  return links;
}
inline bool sameContent(const ListNode& a, const ListNode& b, const SyncContext& c) {
  return a.progress() == b.progress() && a.checked() == b.checked() && a.priority() == b.priority() &&
         a.hhCreateTime() == b.hhCreateTime() && a.hhStartTime() == b.hhStartTime() &&
         a.hhFinishTime() == b.hhFinishTime() && a.hhTargetTime() == b.hhTargetTime() &&
         a.dispOverride().kind == b.dispOverride().kind && a.dispOverride().value == b.dispOverride().value &&
         formedText(a.hasTitle(), a.title(), c.titleForm) == formedText(b.hasTitle(), b.title(), c.titleForm) &&
         formedText(a.hasNote(), a.note(), c.noteForm) == formedText(b.hasNote(), b.note(), c.noteForm) &&
         a.linkToDo() == b.linkToDo() && a.linkDatebook() == b.linkDatebook() &&
         formedText(a.linkFile().has_value(), a.linkFile().value_or(""), c.linkFileForm) ==
             formedText(b.linkFile().has_value(), b.linkFile().value_or(""), c.linkFileForm) &&
         heldLinks(a, c) == heldLinks(b, c);
}
// For each item of `from`, the first untaken item of `among` with its content.
inline std::vector<ListNode*> contentTwins(const std::vector<ListNode*>& from, std::vector<ListNode*> among,
                                          const SyncContext& c) {
  std::vector<ListNode*> twins;
  for (ListNode* item : from) {
    twins.push_back(nullptr);
    for (ListNode*& candidate : among) {
      if (candidate && sameContent(*item, *candidate, c)) {
        twins.back() = candidate;
        candidate = nullptr;
        break;
      }
    }
  }
  return twins;
}
inline void walkAll(ListNode* row, std::vector<ListNode*>& out) {
  for (; row; row = row->next()) {
    out.push_back(row);
    walkAll(row->firstChild(), out);
  }
}

namespace {

// A new, clean copy of each live item of the row from `source` on, with its
// live subtree, appended below `parent` (at the top of `to` when null).
void copyLiveRow(const ListNode* source, ListNode* parent, ItemList& to) {
  ListNode* last = nullptr;
  for (; source; source = source->next()) {
    if (source->deleted()) continue;
    auto copy = source->clone(true);
    copy->setUniqueID(0);
    copy->setList(&to);
    ListNode* placed = copy.get();
    if (last) last->insertAfter(std::move(copy));
    else if (parent) parent->insertFirstChild(std::move(copy));
    else to.pushBack(std::move(copy));
    last = placed;
    copyLiveRow(source->firstChild(), placed, to);
  }
}

// The losing side's live items in pre-order: each item made or edited since
// the last HotSync (every one of a desktop list waiting for upload) with its
// subtree ('w'), the others alone ('o').
void losingRow(ListNode* item, bool desktopSide, bool waiting, std::vector<std::pair<ListNode*, char>>& out) {
  for (; item; item = item->next()) {
    if (item->deleted()) continue;
    if (waiting || item->dirtyContent() || (desktopSide && item->uniqueID() == 0)) {
      out.push_back({item, 'w'});
    } else {
      out.push_back({item, 'o'});
      losingRow(item->firstChild(), desktopSide, waiting, out);
    }
  }
}

// The work whole, and every other live item the winner does not hold (deleted
// items included) alone, to the end of the winner, or as last child of its
// parent's lone copy.
void keepLosingRow(ListNode* head, bool desktopSide, bool waiting, ItemList& winner, const SyncContext& context) {
  std::vector<std::pair<ListNode*, char>> entries;
  losingRow(head, desktopSide, waiting, entries);
  std::vector<ListNode*> others, held;
  for (auto& [item, kind] : entries)
    if (kind == 'o') others.push_back(item);
  walkAll(winner.head(), held);
  std::vector<ListNode*> twins = contentTwins(others, held, context);
  std::map<const ListNode*, ListNode*> copies;
  size_t other = 0;
  for (auto& [item, kind] : entries) {
    if (kind == 'o') {
      if (ListNode* twin = twins[other++]) {
        if (desktopSide) {
          if (item->hasTitle()) twin->setTitle(item->title());
          else twin->clearTitle();
          if (item->hasNote()) twin->setNote(item->note());
          else twin->clearNote();
          if (context.desktopLinks) context.desktopLinks(*twin, *item);
        }
        continue;
      }
    }
    engineLine(context, kind == 'o' ? "#   Keep item the other side does not hold: %s\n"
                        : waiting   ? "#   Keep item waiting to go to the handheld: %s\n"
                                    : "#   Keep new or edited item: %s\n",
               item->title().c_str());
    auto copy = item->clone(true);
    copy->setUniqueID(0);
    copy->setList(&winner);
    ListNode* placed = copy.get();
    auto parent = copies.find(walkParent(item));
    if (parent == copies.end()) winner.pushBack(std::move(copy));
    else if (!parent->second->firstChild()) parent->second->insertFirstChild(std::move(copy));
    else parent->second->firstChild()->lastSibling()->insertAfter(std::move(copy));
    if (kind == 'w') copyLiveRow(item->firstChild(), placed, winner);
    else copies[item] = placed;
  }
}

// Two lists with different identity stamps share only a name: no item merge,
// the configured side wins whole, keeping the other side's recent work.
void resolveForeignPair(ItemList& desktop, ItemList& handheld, SyncContext& context) {
  engineLine(context, "! File unique: DT(%u) HH(%ul)\n", desktop.uniqueTime(), handheld.uniqueTime());
  engineLine(context,
             "! Collision; it is likely you deleted a file and\n  then created another one with the same name.\n");
  if (context.method == kDtOverHh) {
    engineLine(context, "! Your setting suggests DT over HH. Clobbering!\n");
    context.result = &desktop;
  } else if (context.method == kHhOverDt) {
    engineLine(context, "! Your setting suggests HH over DT. Clobbering!\n");
    context.result = &handheld;
  } else {
    engineLine(context, "! Your setting doesn't help in this situation; assuming!\nHH over DT to resolve. Clobbering!\n");
    context.result = &handheld;
  }
  const bool desktopWins = context.result == &desktop;
  keepLosingRow((desktopWins ? handheld : desktop).head(), !desktopWins, !desktopWins && desktop.uploadFile() != 0,
                *context.result, context);
  context.result->purgeDeleted();
  desktop.clearAllDirtyPosition();
  desktop.clearAllDirtyContent();
  handheld.clearAllDirtyPosition();
  handheld.clearAllDirtyContent();
  context.changed = true;
}

}  // namespace

inline int synchronizeFile(ItemList& desktop, ItemList& handheld, SyncContext& context) {
  engineLine(context, "# Synchronize file: '%s'\n", context.name.c_str());
  engineLine(context, "#   libsync version: %s built: %s\n", "0.7.2", "Oct 14 2003");
  if (walkFind(handheld, 0)) {
    engineLine(context,
               "! WARNING: The handheld data appears to be test data with\n!   invalid Unique-IDs. Ensure "
               "handheld Unique-IDs are\n!    non-zero. Crossing fingers.\n");
  }
  if (context.kind == kSyncFast) {
    if (desktop.uniqueTime() != handheld.uniqueTime()) {
      resolveForeignPair(desktop, handheld, context);
      return 0;
    }
    engineLine(context, "#   Both sides are same file. Will attempt to sync.\n");
    reference::fastSync(desktop, handheld, context);
  } else {
    engineLine(context, "#   Collision test skipped on slow.\n");
    reference::slowSync(desktop, handheld, context);
  }
  context.result = &desktop;
  return 0;
}

namespace engine {

inline int32_t effectiveMethod(const SyncContext& context) {
  return context.method >= 0 && context.method <= 4 ? context.method : kMethodNil;
}

inline void deletionListing(const ItemList& desktop, const SyncContext& context) {
  // Pre-order with the depth of each row on the stack.
  struct Row { const ListNode* item; int depth; };
  std::vector<Row> pending;
  if (desktop.head()) pending.push_back({desktop.head(), 0});
  while (!pending.empty()) {
    Row& row = pending.back();
    const ListNode* item = row.item;
    int depth = row.depth;
    if (!item) {
      pending.pop_back();
      continue;
    }
    row.item = item->next();
    if (item->deleted()) {
      engineLine(context, "# %*s%s%s%s%s\n", 3 * depth, "", item->title().c_str(),
                 item->dirtyContent() ? " <dirtyContent>" : "", " <del>",
                 item->dirtyPosition() ? " <dirtyPos>" : "");
    }
    if (item->firstChild()) pending.push_back({item->firstChild(), depth + 1});
  }
}

inline ListNode* counterpart(const ItemList& desktop, const ListNode* handheldItem) {
  return handheldItem ? walkFind(desktop, handheldItem->uniqueID()) : nullptr;
}

inline bool usableReferent(const ListNode* referent, const ListNode* moving) {
  return referent && !walkWithin(referent, moving);
}

}  // namespace engine

// The fast merge: trusts the dirty flags of both sides. The handheld list is
// the source; only the desktop list is changed, apart from the handheld's own
// flags and its purge.


namespace {

using engine::counterpart;
using engine::effectiveMethod;
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
  } else if (ListNode* parent = walkParent(&source)) {
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

// The target gives way to a clean copy of the source, keeping its place,
// its children and its desktop-only identifier.
void replaceByCopy(ListNode* target, const ListNode& source) {
  auto copy = source.clone(true);
  copy->copyLocalIdFrom(*target);
  target->replaceWith(std::move(copy)).reset();
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
      referent->insertAfter(target->unlink());
      return;
    }
  } else if (ListNode* parent = walkParent(&source)) {
    ListNode* referent = counterpart(desktop, parent);
    if (usableReferent(referent, target)) {
      engineLine(context, "#     Move as child of: %s\n", referent->title().c_str());
      referent->insertFirstChild(target->unlink());
      return;
    }
  } else {
    engineLine(context, "#     Becomes new head of list!\n");
    desktop.pushFront(target->unlink());
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
inline void keepAlivePass(ItemList& desktop, const SyncContext& context) {
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
      ancestor->insertAfter(item->unlink());
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

inline int fastSync(ItemList& desktop, ItemList& handheld, SyncContext& context) {
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

// The slow merge: ignores the dirty flags and compares both lists item by
// item, letting the configured method decide every difference. The handheld
// list is the source; only the desktop list is changed, apart from the
// handheld's purge.


namespace {

using engine::counterpart;
using engine::effectiveMethod;
using engine::usableReferent;

// Work: a live item edited since the last HotSync; on the desktop also a
// new one (ID 0). The reference states each rule as a question about the
// pair of items at hand.
bool desktopEdited(const ListNode* item) {
  return item && !item->deleted() && (item->dirtyContent() || item->uniqueID() == 0);
}
bool handheldEdited(const ListNode* item) { return item && !item->deleted() && item->dirtyContent(); }

// Lists of different identity: live items without an ID twin pair by
// content, the desktop one taking the handheld ID and giving its texts.
void pairForeignItems(ItemList& desktop, ItemList& handheld, const SyncContext& context) {
  engineLine(context, "# Lists of different identity: DT(%u) HH(%u).\n", desktop.uniqueTime(), handheld.uniqueTime());
  std::vector<ListNode*> all, desktopOnly, handheldOnly;
  walkAll(desktop.head(), all);
  for (ListNode* item : all)
    if (!item->deleted() && !walkFind(handheld, item->uniqueID())) desktopOnly.push_back(item);
  all.clear();
  walkAll(handheld.head(), all);
  for (ListNode* item : all) {
    uint32_t id = item->uniqueID();
    if (!item->deleted() && id != 0 && !walkFind(desktop, id) && walkFind(handheld, id) == item)
      handheldOnly.push_back(item);
  }
  std::vector<ListNode*> twins = contentTwins(handheldOnly, desktopOnly, context);
  size_t paired = 0;
  for (size_t i = 0; i < twins.size(); ++i) {
    if (!twins[i]) continue;
    ListNode& h = *handheldOnly[i];
    if (twins[i]->hasTitle()) h.setTitle(twins[i]->title());
    else h.clearTitle();
    if (twins[i]->hasNote()) h.setNote(twins[i]->note());
    else h.clearNote();
    if (context.desktopLinks) context.desktopLinks(h, *twins[i]);
    twins[i]->setUniqueID(h.uniqueID());
    ++paired;
  }
  engineLine(context, "#   Items paired by content: %zu\n", paired);
  engineLine(context, "#\n");
}

void desktopOnlyPass(ItemList& desktop, const ItemList& handheld, const SyncContext& context) {
  int32_t method = effectiveMethod(context);
  bool foreign = desktop.uniqueTime() != handheld.uniqueTime();
  ItemList::forEach(desktop.head(), WalkScope::kSubtree, [&](ListNode* item) {
    if (walkFind(handheld, item->uniqueID())) return true;
    engineLine(context, "#   Item on desktop only: %s\n", item->title().c_str());
    engineLine(context, "#     Configured: %s\n", collisionMethodName(method));
    bool retain = method == kDtOverHh || method == kKeepDuplicate || (method == kHhOverDt && desktopEdited(item));
    if (retain) {
      engineLine(context, "#       Retain desktop-only item.\n");
    } else if (method == kHhOverDt && foreign && !item->deleted()) {
      engineLine(context, "#       Lists not last synced together. Retain desktop-only item.\n");
    } else if (method == kHhOverDt) {
      engineLine(context, "#       Delete desktop-only item.\n");
      item->setDeleted(true);
    } else if (method == kByTime) {
      engineLine(context, "!!!!!!!!!!!! SLOW TIME NYI !!!!!!!!!!!!!!!!!!\n");
    }
    return true;
  });
}

// A clean copy where the source stands on the handheld; the copy of a live
// item without a referent goes to the end, that of a deleted one is dropped.
ListNode* copyToDesktop(ItemList& desktop, const ListNode& source, const SyncContext& context) {
  auto copy = source.clone(true);
  ListNode* raw = copy.get();
  copy->setList(&desktop);
  ListNode* referent = nullptr;
  bool asChild = false;
  if (source.prev()) {
    engineLine(context, "#       Copy to desktop as sibling.\n");
    referent = counterpart(desktop, source.prev());
  } else if (ListNode* parent = walkParent(&source)) {
    engineLine(context, "#       Copy to desktop as child.\n");
    referent = counterpart(desktop, parent);
    asChild = true;
  } else {
    engineLine(context, "#       Copy to desktop as list head.\n");
    desktop.pushFront(std::move(copy));
    return raw;
  }
  if (referent && asChild) {
    referent->insertFirstChild(std::move(copy));
  } else if (referent) {
    referent->insertAfter(std::move(copy));
  } else if (!source.deleted()) {
    engineLine(context, "#       ERROR: Bad referent. Copy to end.\n");
    desktop.pushBack(std::move(copy));
  } else {
    engineLine(context, "#       BAD REFERENT!\n");
    raw = nullptr;
  }
  return raw;
}

// What stays leaves a deleted item with its subtree, in which the items the
// handheld deleted too are marked deleted, desktop work excepted.
void markDeletedBothSides(ListNode* row, const ItemList& handheld) {
  for (; row; row = row->next()) {
    const ListNode* twin = walkFind(handheld, row->uniqueID());
    if (twin && twin->deleted() && !desktopEdited(row)) row->setDeleted(true);
    markDeletedBothSides(row->firstChild(), handheld);
  }
}

// The desktop as the merge began: IDs that stood live below no deleted
// item, and IDs of desktop work.
struct DesktopStart {
  std::set<uint32_t> live, edited, held;
};

void recordStart(const ListNode* row, DesktopStart& start, bool underDeleted) {
  for (; row; row = row->next()) {
    if (desktopEdited(row)) start.edited.insert(row->uniqueID());
    start.held.insert(row->uniqueID());
    if (!underDeleted && !row->deleted()) start.live.insert(row->uniqueID());
    recordStart(row->firstChild(), start, underDeleted || row->deleted());
  }
}

// Below an item that goes (`rebuilt` is the handheld item rebuilt in its
// place, or its twin when it is deleted): which items stay, by a recursive
// pre-order walk that does not enter an item that stays. 'm' moved out
// (the handheld holds its twin live outside `rebuilt`, or, below a deleted
// item, the merge brought it from where the desktop held it live), 'w'
// work (while clobbering, only work the rebuild from the handheld loses).
void collectStaying(ListNode* row, const ItemList& handheld, const ListNode* rebuilt, bool clobbering, bool foreign,
                    const DesktopStart& start, std::vector<std::pair<ListNode*, char>>& out, bool underDeleted) {
  for (; row; row = row->next()) {
    const ListNode* anyTwin = walkFind(handheld, row->uniqueID());
    const ListNode* twin = anyTwin && !anyTwin->deleted() ? anyTwin : nullptr;  // a deleted twin keeps nothing
    uint32_t id = row->uniqueID();
    char why = 0;
    if (twin && (clobbering || !row->deleted()) && !walkWithin(twin, rebuilt)) {
      why = 'm';
    } else if (clobbering && foreign && !anyTwin && !row->deleted()) {
      why = 'o';  // one side's only, of lists not last synced together
    } else if (clobbering) {
      bool rebuildLosesIt = !twin || (!handheldEdited(twin) && row->compareContent(*twin) != 0);
      if (desktopEdited(row) && rebuildLosesIt) why = 'w';
    } else if (!row->deleted()) {
      if (desktopEdited(row) || start.edited.count(id) || handheldEdited(twin)) why = 'w';
      else if (twin && foreign && !start.held.count(id)) why = 'o';
      else if (twin && start.live.count(id)) why = 'm';
    }
    if (!why) {
      collectStaying(row->firstChild(), handheld, rebuilt, clobbering, foreign, start, out,
                     underDeleted || row->deleted());
      continue;
    }
    if (underDeleted) markDeletedBothSides(row->firstChild(), handheld);
    out.push_back({row, why});
  }
}

// Recursive pre-order; the next sibling is read after the item is handled.
void keepMovedOutOfDeleted(ListNode* row, const ItemList& handheld, bool foreign, const DesktopStart& start,
                           const SyncContext& context) {
  for (; row; row = row->next()) {
    if (row->deleted()) {
      std::vector<std::pair<ListNode*, char>> staying;
      collectStaying(row->firstChild(), handheld, walkFind(handheld, row->uniqueID()), false, foreign, start, staying,
                     true);
      ListNode* anchor = row;
      for (auto& [item, why] : staying) {
        engineLine(context, why == 'm'   ? "#   Keep moved-out item: %s\n"
                            : why == 'o' ? "#   Keep handheld-only item: %s\n"
                                         : "#   Keep new or edited item: %s\n",
                   item->title().c_str());
        anchor->insertAfter(item->unlink());
        anchor = item;
      }
    }
    keepMovedOutOfDeleted(row->firstChild(), handheld, foreign, start, context);
  }
}

void clobberDesktop(ItemList& desktop, const ItemList& handheld, ListNode* target, const ListNode& source,
                    const SyncContext& context) {
  std::vector<std::pair<ListNode*, char>> staying;
  bool underDeleted = false;
  for (const ListNode* up = target; up; up = walkParent(up)) underDeleted = underDeleted || up->deleted();
  bool foreign = desktop.uniqueTime() != handheld.uniqueTime();
  collectStaying(target->firstChild(), handheld, &source, true, foreign, {}, staying, underDeleted);
  std::vector<std::pair<std::unique_ptr<ListNode>, char>> work;
  ListNode* anchor = target;
  for (auto& [item, why] : staying) {
    if (why == 'm') {
      engineLine(context, "#       Keep moved-out item: %s\n", item->title().c_str());
      anchor->insertAfter(item->unlink());
      anchor = item;
    } else {
      engineLine(context, why == 'o' ? "#       Keep desktop-only item: %s\n" : "#       Keep new or edited item: %s\n",
                 item->title().c_str());
      work.emplace_back(item->unlink(), why);
    }
  }
  target->unlink().reset();
  ListNode* copy = copyToDesktop(desktop, source, context);
  // One side's only items would go with a deleted copy in the purge: they
  // follow it instead.
  ListNode* after = copy && copy->deleted() ? copy : nullptr;
  ListNode* last = nullptr;
  for (auto& [item, why] : work) {
    ListNode* raw = item.get();
    if (after && why == 'o') {
      after->insertAfter(std::move(item));
      after = raw;
    } else {
      if (!copy) desktop.pushBack(std::move(item));
      else if (!last) copy->insertFirstChild(std::move(item));
      else last->insertAfter(std::move(item));
      last = raw;
    }
  }
}

// A live target takes the handheld content in place; a deleted one stays
// for the purge behind a live copy put just before it.
void takeHandheldVersion(ItemList& desktop, ListNode* target, const ListNode& source) {
  if (!target->deleted()) {
    replaceByCopy(target, source);
    return;
  }
  auto copy = source.clone(true);
  copy->copyLocalIdFrom(*target);
  ListNode* first = target;
  while (first->prev()) first = first->prev();
  if (target->prev()) target->prev()->insertAfter(std::move(copy));
  else if (first->parentLink()) first->parentLink()->insertFirstChild(std::move(copy));
  else desktop.pushFront(std::move(copy));
}

void differingItem(ItemList& desktop, const ItemList& handheld, ListNode* target, const ListNode& source,
                   int32_t method, const SyncContext& context) {
  engineLine(context, "#   Item on both HH and DT: %s\n", source.title().c_str());
  engineLine(context, "#     Item different on both sides.\n");
  engineLine(context, "#       Configured: %s\n", collisionMethodName(method));
  bool dtEdit = desktopEdited(target), hhEdit = handheldEdited(&source);
  // What the method keeps: 'h' the handheld version, 'd' the desktop one,
  // 'b' both (a deleted handheld copy is purged, so only the desktop one).
  char keeps = method == kHhOverDt ? 'h' : method == kKeepDuplicate && !source.deleted() ? 'b' : 'd';
  if (dtEdit && !hhEdit && keeps != 'd') {
    engineLine(context, "#       Edited on desktop only. Keep desktop.\n");
    return;
  }
  if (hhEdit && !dtEdit && keeps != 'h') {
    engineLine(context, "#       Edited on handheld only. Take handheld.\n");
    takeHandheldVersion(desktop, target, source);
    return;
  }
  switch (method) {
    case kHhOverDt:
      engineLine(context, "#       Clobber desktop.\n");
      clobberDesktop(desktop, handheld, target, source, context);
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

void handheldOnlyItem(ItemList& desktop, const ListNode& source, int32_t method, bool foreign,
                      const SyncContext& context) {
  engineLine(context, "#   Item on handheld only: %s\n", source.title().c_str());
  engineLine(context, "#     Configured: %s\n", collisionMethodName(method));
  bool methodCopies = method == kHhOverDt || method == kKeepDuplicate;
  if (!methodCopies && handheldEdited(&source)) {
    engineLine(context, "#       Retain handheld-only item.\n");
    copyToDesktop(desktop, source, context);
  } else if (!methodCopies && foreign && !source.deleted()) {
    engineLine(context, "#       Lists not last synced together. Retain handheld-only item.\n");
    copyToDesktop(desktop, source, context);
  } else if (methodCopies) {
    copyToDesktop(desktop, source, context);
  } else if (method == kDtOverHh) {
    engineLine(context, "#       Delete and ignore.\n");
  } else if (method == kByTime) {
    engineLine(context, "!!!!!!!!!!!! SLOW TIME NYI 2 !!!!!!!!!!!!!!!!!!\n");
  }
}

void handheldPass(ItemList& desktop, ItemList& handheld, const SyncContext& context) {
  int32_t method = effectiveMethod(context);
  ItemList::forEach(handheld.head(), WalkScope::kSubtree, [&](ListNode* source) {
    ListNode* target = counterpart(desktop, source);
    if (!target) {
      handheldOnlyItem(desktop, *source, method, desktop.uniqueTime() != handheld.uniqueTime(), context);
    } else if (source->compareContent(*target) != 0) {
      differingItem(desktop, handheld, target, *source, method, context);
    } else if (target->deleted() && handheldEdited(source)) {
      engineLine(context, "#   Item on both HH and DT: %s\n", source->title().c_str());
      engineLine(context, "#     Deleted on desktop, edited on handheld. Keep.\n");
      takeHandheldVersion(desktop, target, *source);
    }
    return true;
  });
}

// Moves a desktop item to where its handheld twin stands (only when `move`;
// otherwise the same lines are logged and nothing changes). A referent inside
// the item's own subtree would make a cycle and counts as missing.
bool relocateToHandheldPlace(ItemList& desktop, const ItemList& handheld, ListNode* item, bool move,
                             const SyncContext& context) {
  const ListNode* twin = walkFind(handheld, item->uniqueID());
  if (!twin) return true;
  if (twin->prev()) {
    engineLine(context, "#   Relocate to sibling: %s\n", item->title().c_str());
    ListNode* referent = counterpart(desktop, twin->prev());
    if (usableReferent(referent, item)) {
      if (move) referent->insertAfter(item->unlink());
      return true;
    }
  } else if (const ListNode* parent = walkParent(twin)) {
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

inline int slowSync(ItemList& desktop, ItemList& handheld, SyncContext& context) {
  engineLine(context, "# SLOW sync database: Same handheld<->desktop pair\n");
  engineLine(context, "#\n");
  context.changed = true;

  bool foreign = desktop.uniqueTime() != handheld.uniqueTime();
  if (foreign) pairForeignItems(desktop, handheld, context);
  DesktopStart start;
  recordStart(desktop.head(), start, false);
  engineLine(context, "# Looking for desktop-only items:\n");
  desktopOnlyPass(desktop, handheld, context);

  engineLine(context, "#\n");
  engineLine(context, "# Looking for handheld or different both-side items:\n");
  handheldPass(desktop, handheld, context);

  keepMovedOutOfDeleted(desktop.head(), handheld, foreign, start, context);
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


}  // namespace tolvex::reference
#endif
