// What a run did to each item of a list, in the outline's terms: on which
// side, what happened, the item's titles from the top row down, and for an
// item whose two versions collided (edited on both sides, or in a slow
// HotSync different with neither side's edit marked) which version came out.
//
// Taken from the summary's pairing of each side before and after the run.
// A version "wins" on the side that did not change: the other side changed
// to it. A collided item whose other version was added beside it was
// duplicated (both kept).
//
// Plain functions over values; one thread.
#ifndef TOLVEX_PLATFORM_HOTSYNC_ITEMLINES_H
#define TOLVEX_PLATFORM_HOTSYNC_ITEMLINES_H
#include <optional>
#include <string>
#include <vector>

#include "platform/hotsync/RunSummary.h"

namespace tolvex::host {

struct ItemLine {
  enum Side { kHandheld, kDesktop };
  enum Change { kAdded, kChanged, kMoved, kDeleted, kDuplicated };
  enum Collision { kNoCollision, kHandheldWins, kDesktopWins, kBothKept, kCombined };
  Side side = kHandheld;
  Change change = kAdded;
  std::vector<std::string> path;  // UTF-8 titles from the top row down
  Collision collision = kNoCollision;
  // kChanged whose title changed: the title before, so that an item put in
  // the place of a deleted one never hides which one went. Else none.
  std::optional<std::string> formerTitle;
};

// The lines of one list of `summary`: the handheld's first, each side in
// outline order (deletions last).
std::vector<ItemLine> itemLines(const RunSummary& summary, const ListOutcome& outcome);

const char* sideName(ItemLine::Side side);
const char* itemChangeName(ItemLine::Change change);
// "the handheld's version wins", ...; empty for kNoCollision.
const char* collisionWords(ItemLine::Collision collision);

}  // namespace tolvex::host
#endif
