#include "outline/RebuildRecord.h"

#include <array>
#include <bit>
#include <map>
#include <string>
#include <string_view>
#include <unordered_set>

namespace tolvex {
namespace {

// Stand-in IDs above the handheld's 24-bit range: they never meet a real one
// and never reach a file (the merged list is written with fresh IDs).
constexpr uint32_t kFirstStandIn = 0x80000000u;     // desktop items without an ID
constexpr uint32_t kFirstNewStandIn = 0xC0000000u;  // handheld items added since
constexpr uint32_t kMaxHandheldId = 0x00FFFFFFu;

// 64-bit FNV-1a over the bytes of each value as they lie in memory. The
// fingerprints are kept in pending-rebuild files, so this is the function
// for good; a number's high zero bytes are passed over at once (XOR with 0
// changes nothing, so each is one more multiplication by the prime).
class Fingerprint {
 public:
  void add(const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) hash_ = (hash_ ^ p[i]) * kPrime;
  }
  void add(uint64_t value) {
    if constexpr (std::endian::native != std::endian::little) {
      add(&value, sizeof value);
    } else {
      size_t i = 0;
      for (; i < 8 && value != 0; ++i, value >>= 8) hash_ = (hash_ ^ (value & 0xFF)) * kPrime;
      hash_ *= kPrimePowers[8 - i];
    }
  }
  // Present or not, then the length and the bytes.
  void addText(bool present, std::string_view text) {
    add(uint64_t{present});
    if (present) {
      add(uint64_t{text.size()});
      add(text.data(), text.size());
    }
  }
  uint64_t value() const { return hash_; }

 private:
  static constexpr uint64_t kPrime = 1099511628211ull;
  static constexpr std::array<uint64_t, 9> kPrimePowers = [] {
    std::array<uint64_t, 9> powers{};
    powers[0] = 1;
    for (size_t k = 1; k < powers.size(); ++k) powers[k] = powers[k - 1] * kPrime;
    return powers;
  }();
  uint64_t hash_ = 1469598103934665603ull;
};

void forEachItem(const ItemList& list, const std::function<void(ListNode*)>& visit) {
  ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* item) {
    visit(item);
    return true;
  });
}

}  // namespace

uint64_t contentFingerprint(const ListNode& item) {
  Fingerprint f;
  f.addText(item.hasTitle(), item.title());
  f.addText(item.hasNote(), item.note());
  const std::optional<std::string>& file = item.linkFile();
  f.addText(file.has_value(), file ? std::string_view(*file) : std::string_view());
  for (uint64_t v : {uint64_t{item.deleted()}, uint64_t{item.progress()}, uint64_t{item.checked()},
                     uint64_t{item.priority()}, uint64_t{item.autoNumber()}, uint64_t{item.alarmID()},
                     uint64_t{item.expanded()}, uint64_t{item.expandedMemo()}, uint64_t{item.expandedLinks()},
                     uint64_t{item.hhCreateTime()}, uint64_t{item.hhStartTime()}, uint64_t{item.hhFinishTime()},
                     uint64_t{item.hhTargetTime()}, uint64_t{item.dispColour()}, uint64_t{item.dispBold()},
                     uint64_t(int64_t{item.dispOverride().kind}), uint64_t{item.dispOverride().value},
                     uint64_t{item.linkToDo()}, uint64_t{item.linkDatebook()}, uint64_t{item.linkEAB().size()}})
    f.add(v);
  for (const EabLink& link : item.linkEAB()) {
    f.add(uint64_t{link.eabType});
    f.add(uint64_t{link.eabID});
  }
  return f.value();
}

DesktopSnapshot::DesktopSnapshot(const ItemList& list) {
  const size_t count = list.size();
  items_.reserve(count);
  byNode_.reserve(count);
  byId_.reserve(count);
  forEachItem(list, [&](ListNode* item) {
    const int32_t index = static_cast<int32_t>(items_.size());
    byNode_.emplace(item, Node{index, item->generation()});
    if (item->uniqueID() != 0) byId_.emplace(item->uniqueID(), index);
    items_.push_back({item->uniqueID(), contentFingerprint(*item), placeOf(item->parent()), placeOf(item->prev())});
  });
}

int32_t DesktopSnapshot::placeOf(const ListNode* item) const {
  return item ? originOf(item) : kNoItem;
}

int32_t DesktopSnapshot::sameAs(const ListNode* item) const {
  // The same address, unless it now holds another item (a recycled one).
  auto node = byNode_.find(item);
  if (node == byNode_.end() || node->second.generation != item->generation()) return kForeignItem;
  return items_[node->second.index].id == item->uniqueID() ? node->second.index : kForeignItem;
}

int32_t DesktopSnapshot::originOf(const ListNode* item) const {
  if (const int32_t same = sameAs(item); same >= 0) return same;
  if (item->uniqueID() == 0) return kForeignItem;
  auto id = byId_.find(item->uniqueID());
  return id == byId_.end() ? kForeignItem : id->second;
}

std::vector<WrittenItem> describeWritten(const DesktopSnapshot& before, const ItemList& list) {
  // A desktop item still in the list is its own origin; a copy of it kept
  // beside it ("Keep/Duplicate") is, to a later merge, an item of its own.
  std::vector<bool> taken(before.items().size(), false);
  forEachItem(list, [&](ListNode* item) {
    if (const int32_t same = before.sameAs(item); same >= 0) taken[same] = true;
  });
  // One walk in pre-order: an item's parent and previous sibling come before
  // it, so their origins (and whether the previous one moves) are at hand.
  // A merge moves an item alone, not the siblings after it: an item whose
  // previous sibling moves must be moved too, to stay behind it.
  struct Row {
    const ListNode* item;  // the next item of the row
    int32_t parent;        // origin of the row's parent, kNoItem on the top row
    int32_t prev;          // origin of the item before `item`, kNoItem for none
    bool prevMoves;
  };
  std::vector<WrittenItem> out;
  std::vector<Row> rows{{list.head(), kNoItem, kNoItem, false}};
  while (!rows.empty()) {
    Row& row = rows.back();
    const ListNode* item = row.item;
    if (!item) {
      rows.pop_back();
      continue;
    }
    int32_t o = before.sameAs(item);
    if (o < 0) {
      o = before.originOf(item);
      if (o >= 0 && taken[o]) o = kForeignItem;
      if (o >= 0) taken[o] = true;
    }
    WrittenItem w;
    w.origin = o;
    w.oldId = w.origin >= 0 || before.originOf(item) < 0 ? item->uniqueID() : 0;
    if (w.origin < 0) {
      // New to the desktop: copied in by content, then put in place after
      // the items before it have found theirs.
      w.contentChanged = true;
      w.placeChanged = true;
    } else {
      const DesktopItem& was = before.items()[w.origin];
      w.contentChanged = contentFingerprint(*item) != was.fingerprint;
      w.placeChanged = row.parent != was.parent || row.prev != was.prev || (row.prev != kNoItem && row.prevMoves);
    }
    out.push_back(w);
    row.item = item->next();
    row.prev = o;
    row.prevMoves = w.placeChanged;
    if (item->firstChild()) rows.push_back({item->firstChild(), o, kNoItem, false});
  }
  return out;
}

void fillNewIds(std::vector<WrittenItem>& written, const ItemList& list) {
  size_t i = 0;
  forEachItem(list, [&](ListNode* item) {
    if (i < written.size()) written[i++].newId = item->uniqueID();
  });
}

namespace {

// Pairs the items of the desktop list as it is now with the items of the
// record's desktop list: by ID, and an item without an ID with an unchanged
// item without an ID. Each recorded item pairs at most once, in order.
class DesktopPairing {
 public:
  explicit DesktopPairing(const std::vector<DesktopItem>& items) {
    for (size_t i = 0; i < items.size(); ++i) {
      if (items[i].id != 0)
        byId_[items[i].id].push_back(static_cast<int32_t>(i));
      else
        byFingerprint_[items[i].fingerprint].push_back(static_cast<int32_t>(i));
    }
  }
  int32_t take(const ListNode& item) {
    auto& pool = item.uniqueID() != 0 ? byId_ : byFingerprint_;
    auto it = pool.find(item.uniqueID() != 0 ? item.uniqueID() : contentFingerprint(item));
    if (it == pool.end() || next_[&it->second] >= it->second.size()) return kForeignItem;
    return it->second[next_[&it->second]++];
  }

 private:
  std::map<uint64_t, std::vector<int32_t>> byId_, byFingerprint_;
  std::map<const std::vector<int32_t>*, size_t> next_;
};

}  // namespace

void prepareReplay(const RebuildRecord& record, ItemList& desktop, ItemList& handheld) {
  const std::vector<DesktopItem>& was = record.desktop;
  // Each recorded item gets an ID of its own: its file ID, unless it had
  // none or shared it with an item before it.
  std::vector<uint32_t> canonicalIds(was.size());
  std::unordered_set<uint32_t> seen;
  for (size_t i = 0; i < was.size(); ++i) {
    const bool own = was[i].id != 0 && seen.insert(was[i].id).second;
    canonicalIds[i] = own ? was[i].id : kFirstStandIn + static_cast<uint32_t>(i);
  }
  auto canonical = [&](int32_t index) { return canonicalIds[static_cast<size_t>(index)]; };

  // The desktop side: what the user changed since the interrupted run read it.
  std::unordered_map<const ListNode*, int32_t> matched;
  DesktopPairing pairing(was);
  forEachItem(desktop, [&](ListNode* item) { matched[item] = pairing.take(*item); });
  auto placeOf = [&](const ListNode* item) { return item ? matched[item] : kNoItem; };
  forEachItem(desktop, [&](ListNode* item) {
    const int32_t index = matched[item];
    if (index < 0) {
      item->setDirtyContent(true);  // new since: it goes to the handheld
      return;
    }
    item->setDirtyContent(contentFingerprint(*item) != was[index].fingerprint);
    item->setDirtyPosition(placeOf(item->parent()) != was[index].parent ||
                           placeOf(item->prev()) != was[index].prev);
  });
  for (auto& [item, index] : matched) {
    if (index >= 0) const_cast<ListNode*>(item)->setUniqueID(canonical(index));
  }

  // The handheld side: what the interrupted run changed, plus what the
  // handheld changed since (its own flags stay).
  std::unordered_map<uint32_t, const WrittenItem*> byNewId;
  for (const WrittenItem& w : record.written) byNewId.emplace(w.newId, &w);
  std::vector<bool> present(was.size(), false);
  uint32_t nextStandIn = kFirstNewStandIn;
  forEachItem(handheld, [&](ListNode* item) {
    auto it = byNewId.find(item->uniqueID());
    if (it == byNewId.end()) {
      item->setUniqueID(nextStandIn++);
      item->setDirtyContent(true);  // added on the handheld since
      item->setDirtyPosition(true);
      return;
    }
    const WrittenItem& w = *it->second;
    if (w.origin >= 0) {
      item->setUniqueID(canonical(w.origin));
      present[w.origin] = true;
    } else {
      item->setUniqueID(w.oldId != 0 && w.oldId <= kMaxHandheldId ? w.oldId : nextStandIn++);
    }
    if (w.contentChanged) item->setDirtyContent(true);
    if (w.placeChanged) item->setDirtyPosition(true);
  });
  // Desktop items the run dropped: deleted on the handheld side, so that an
  // unchanged desktop copy goes and an edited one is kept.
  for (size_t i = 0; i < was.size(); ++i) {
    if (present[i]) continue;
    auto gone = std::make_unique<ListNode>(canonical(static_cast<int32_t>(i)), &handheld);
    gone->setDeleted(true);
    gone->setDirtyContent(true);
    handheld.pushBack(std::move(gone));
  }
  handheld.setUniqueTime(desktop.uniqueTime());
}

void keyAsWritten(const RebuildRecord& record, ItemList& desktop) {
  std::vector<uint32_t> newIds(record.desktop.size(), 0);
  for (const WrittenItem& w : record.written) {
    const bool fromDesktop = w.origin >= 0 && static_cast<size_t>(w.origin) < newIds.size();
    if (fromDesktop && !w.contentChanged && newIds[static_cast<size_t>(w.origin)] == 0)
      newIds[static_cast<size_t>(w.origin)] = w.newId;
  }
  // Paired by the IDs the file holds, so each is changed only after all are paired.
  DesktopPairing pairing(record.desktop);
  std::vector<std::pair<ListNode*, uint32_t>> keys;
  forEachItem(desktop, [&](ListNode* item) {
    const int32_t index = pairing.take(*item);
    keys.push_back({item, index >= 0 ? newIds[static_cast<size_t>(index)] : 0});
  });
  for (auto& [item, id] : keys) item->setUniqueID(id);
}

}  // namespace tolvex
