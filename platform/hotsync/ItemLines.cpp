#include "platform/hotsync/ItemLines.h"

#include <unordered_map>
#include <unordered_set>

namespace tolvex::host {
namespace {

using Pairs = std::unordered_map<size_t, size_t>;  // index before on one side -> on the other

const ListView& listIn(const FolderSnapshot& snapshot, const std::string& name) {
  static const ListView none;
  auto found = snapshot.lists.find(name);
  return found == snapshot.lists.end() ? none : found->second;
}

// The items both sides held before a merge under one ID but with different
// content, where the collision method decides: edited on both sides, or, in
// a slow merge, edited on neither (an edit on one side only wins anyway).
void findCollisions(const ListView& was, bool slow, Pairs* handheldToDesktop, Pairs* desktopToHandheld) {
  if (!was.handheld.present || !was.desktop.present) return;
  std::unordered_map<uint32_t, size_t> handheldById;
  for (size_t h = 0; h < was.handheld.items.size(); ++h) {
    const ItemView& item = was.handheld.items[h];
    if (!item.deleted && item.id != 0) handheldById.emplace(item.id, h);
  }
  for (size_t d = 0; d < was.desktop.items.size(); ++d) {
    const ItemView& item = was.desktop.items[d];
    auto twin = item.deleted ? handheldById.end() : handheldById.find(item.id);
    if (twin == handheldById.end()) continue;
    const ItemView& other = was.handheld.items[twin->second];
    const bool both = other.edited && item.edited, neither = !other.edited && !item.edited;
    if (other.content == item.content || !(both || (slow && neither))) continue;
    (*handheldToDesktop)[twin->second] = d;
    (*desktopToHandheld)[d] = twin->second;
  }
}

std::unordered_set<size_t> beforeIndices(const SideChanges& changes, ItemChange::Kind kind) {
  std::unordered_set<size_t> out;
  for (const ItemChange& c : changes.items)
    if (c.kind == kind) out.insert(c.before);
  return out;
}

// One side's view of the run.
struct Side {
  ItemLine::Side name;
  const SideView& before;
  const SideView& after;
  const SideChanges& changes;
  const Pairs& collided;  // this side's collided items -> the other side's
};

void addSideLines(const Side& side, const Side& other, std::vector<ItemLine>* out) {
  const ItemLine::Collision otherWins =
      side.name == ItemLine::kHandheld ? ItemLine::kDesktopWins : ItemLine::kHandheldWins;
  const std::unordered_set<size_t> otherChanged = beforeIndices(other.changes, ItemChange::kChanged);
  const std::unordered_set<size_t> deleted = beforeIndices(side.changes, ItemChange::kDeleted);
  // The other side's versions of the collided items, by content -> this side's item.
  std::unordered_map<uint64_t, size_t> otherVersions;
  for (const auto& [mine, theirs] : side.collided) otherVersions.emplace(other.before.items[theirs].content, mine);

  for (const ItemChange& c : side.changes.items) {
    ItemLine line;
    line.side = side.name;
    const bool gone = c.kind == ItemChange::kDeleted;
    line.path = titlesTo(gone ? side.before : side.after, gone ? c.before : c.after);
    auto collided = side.collided.find(c.before);
    switch (c.kind) {
      case ItemChange::kAdded: {
        line.change = ItemLine::kAdded;
        auto version = otherVersions.find(side.after.items[c.after].content);
        if (version == otherVersions.end()) break;
        if (deleted.count(version->second)) {
          line.collision = otherWins;  // this side's version gave way to it
        } else {
          line.change = ItemLine::kDuplicated;
          line.collision = ItemLine::kBothKept;
        }
        break;
      }
      case ItemChange::kChanged:
        line.change = ItemLine::kChanged;
        if (side.before.items[c.before].titleHash != side.after.items[c.after].titleHash && side.before.keepsTitles)
          line.formerTitle = std::string(side.before.title(c.before));
        if (collided != side.collided.end())
          line.collision = otherChanged.count(collided->second) ? ItemLine::kCombined : otherWins;
        break;
      case ItemChange::kMoved:
        line.change = ItemLine::kMoved;
        break;
      case ItemChange::kDeleted:
        line.change = ItemLine::kDeleted;
        if (collided != side.collided.end()) line.collision = otherWins;
        break;
    }
    out->push_back(std::move(line));
  }
}

}  // namespace

std::vector<ItemLine> itemLines(const RunSummary& summary, const ListOutcome& outcome) {
  const ListView& was = listIn(summary.before, outcome.name);
  const ListView& is = listIn(summary.after, outcome.name);
  Pairs handheldToDesktop, desktopToHandheld;
  // A merge that logged trouble may still have changed items.
  if (outcome.action == ListOutcome::kMerged || outcome.action == ListOutcome::kFailed)
    findCollisions(was, outcome.slowMerge, &handheldToDesktop, &desktopToHandheld);
  const Side handheld{ItemLine::kHandheld, was.handheld, is.handheld, outcome.handheld, handheldToDesktop};
  const Side desktop{ItemLine::kDesktop, was.desktop, is.desktop, outcome.desktop, desktopToHandheld};
  std::vector<ItemLine> lines;
  addSideLines(handheld, desktop, &lines);
  addSideLines(desktop, handheld, &lines);
  return lines;
}

const char* sideName(ItemLine::Side side) { return side == ItemLine::kHandheld ? "handheld" : "desktop"; }

const char* itemChangeName(ItemLine::Change change) {
  switch (change) {
    case ItemLine::kAdded: return "added";
    case ItemLine::kChanged: return "changed";
    case ItemLine::kMoved: return "moved";
    case ItemLine::kDeleted: return "deleted";
    default: return "duplicated";
  }
}

const char* collisionWords(ItemLine::Collision collision) {
  switch (collision) {
    case ItemLine::kHandheldWins: return "the handheld's version wins";
    case ItemLine::kDesktopWins: return "the desktop's version wins";
    case ItemLine::kBothKept: return "both versions kept";
    case ItemLine::kCombined: return "the two versions combined";
    default: return "";
  }
}

}  // namespace tolvex::host
