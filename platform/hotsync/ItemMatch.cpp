#include "platform/hotsync/ItemMatch.h"

#include <algorithm>
#include <optional>

namespace tolvex::host {
namespace {

uint64_t mix(uint64_t a, uint64_t b) {
  uint64_t x = a ^ (b + 0x9E3779B97F4A7C15ull + (a << 6) + (a >> 2));
  x ^= x >> 31;
  return x * 0xBF58476D1CE4E5B9ull;
}

// Hash of the titles from the top row down to each item.
std::vector<uint64_t> pathHashes(const std::vector<ItemView>& items) {
  std::vector<uint64_t> out(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const uint64_t above = items[i].parent == kNoParent ? 0 : out[items[i].parent];
    out[i] = mix(above, items[i].titleHash);
  }
  return out;
}

// Each item's previous and next sibling, kUnpaired for none.
struct Siblings {
  std::vector<size_t> previous, next;
};
Siblings siblingsOf(const std::vector<ItemView>& items) {
  Siblings out{std::vector<size_t>(items.size(), kUnpaired), std::vector<size_t>(items.size(), kUnpaired)};
  std::vector<size_t> lastChild(items.size() + 1, kUnpaired);  // by parent; the top row last
  for (size_t i = 0; i < items.size(); ++i) {
    size_t& last = lastChild[items[i].parent == kNoParent ? items.size() : items[i].parent];
    if (last != kUnpaired) {
      out.previous[i] = last;
      out.next[last] = i;
    }
    last = i;
  }
  return out;
}

// Indices (into `sequence`) of one longest strictly increasing subsequence.
std::vector<bool> longestIncreasing(const std::vector<size_t>& sequence) {
  std::vector<size_t> tails;  // tails[k]: index of the smallest end of a run of length k+1
  std::vector<size_t> previous(sequence.size(), kUnpaired);
  for (size_t i = 0; i < sequence.size(); ++i) {
    auto at = std::lower_bound(tails.begin(), tails.end(), sequence[i],
                               [&](size_t t, size_t value) { return sequence[t] < value; });
    if (at != tails.begin()) previous[i] = *(at - 1);
    if (at == tails.end()) {
      tails.push_back(i);
    } else {
      *at = i;
    }
  }
  std::vector<bool> kept(sequence.size(), false);
  for (size_t i = tails.empty() ? kUnpaired : tails.back(); i != kUnpaired; i = previous[i]) kept[i] = true;
  return kept;
}

// The `before` items of one pass by key: a table of open addressing whose
// entries each start a chain of that key's items in outline order.
class CandidateIndex {
 public:
  // `items`: (key, item) in outline order; `itemCount`: above every item.
  CandidateIndex(const std::vector<std::pair<uint64_t, size_t>>& items, size_t itemCount) : next_(itemCount, kNone) {
    size_t size = 16;
    while (size < 2 * items.size()) size *= 2;
    keys_.assign(size, 0);
    firsts_.assign(size, kNone);
    lasts_.assign(size, kNone);
    for (const auto& [key, item] : items) {
      const size_t slot = find(key);
      if (lasts_[slot] == kNone) {
        keys_[slot] = key;
        firsts_[slot] = item;
      } else {
        next_[lasts_[slot]] = item;
      }
      lasts_[slot] = item;
    }
  }

  // The first item of `key` not taken yet, taken now; kUnpaired when none.
  size_t take(uint64_t key) {
    const size_t slot = find(key);
    const size_t item = firsts_[slot];
    if (item == kNone) return kUnpaired;
    firsts_[slot] = next_[item];
    return item;
  }

 private:
  static constexpr size_t kNone = SIZE_MAX;

  size_t find(uint64_t key) const {
    const size_t mask = keys_.size() - 1;
    size_t slot = static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 20) & mask;
    while (lasts_[slot] != kNone && keys_[slot] != key) slot = (slot + 1) & mask;
    return slot;
  }

  // Per slot: its key, the first item not taken yet (kNone once all are)
  // and the last item added (kNone: the slot is free).
  std::vector<uint64_t> keys_;
  std::vector<size_t> firsts_, lasts_;
  std::vector<size_t> next_;  // per item: the next item of its key
};

class Matcher {
 public:
  Matcher(const std::vector<ItemView>& before, const std::vector<ItemView>& after)
      : before_(before), after_(after), pairOfAfter_(after.size(), kUnpaired), pairOfBefore_(before.size(), kUnpaired) {}

  // Pairs live unpaired items whose keys agree; an `after` item without a key
  // (nullopt) sits the pass out. Items of the same key pair in outline order.
  template <typename KeyBefore, typename KeyAfter>
  void pass(const KeyBefore& keyBefore, const KeyAfter& keyAfter) {
    std::vector<std::pair<uint64_t, size_t>> keyed;
    for (size_t b = 0; b < before_.size(); ++b) {
      if (!before_[b].deleted && pairOfBefore_[b] == kUnpaired) keyed.push_back({keyBefore(b), b});
    }
    if (keyed.empty()) return;
    CandidateIndex candidates(keyed, before_.size());
    for (size_t a = 0; a < after_.size(); ++a) {
      if (after_[a].deleted || pairOfAfter_[a] != kUnpaired) continue;
      std::optional<uint64_t> key = keyAfter(a);
      if (!key) continue;
      const size_t b = candidates.take(*key);
      if (b == kUnpaired) continue;
      pairOfAfter_[a] = b;
      pairOfBefore_[b] = a;
    }
  }

  // Key of an item's parent in `before` terms: the parent itself before, its
  // pair after; nullopt when the parent after has no pair.
  uint64_t parentBefore(size_t b) const { return before_[b].parent == kNoParent ? 0 : before_[b].parent + 1; }
  std::optional<uint64_t> parentAfter(size_t a) const {
    const size_t parent = after_[a].parent;
    if (parent == kNoParent) return 0;
    if (pairOfAfter_[parent] == kUnpaired) return std::nullopt;
    return pairOfAfter_[parent] + 1;
  }

  // Key of an `after` item's neighbour in `before` terms: 0 for none, its
  // pair after; nullopt when it has no pair.
  std::optional<uint64_t> neighbourAfter(size_t neighbour) const {
    if (neighbour == kUnpaired) return 0;
    if (pairOfAfter_[neighbour] == kUnpaired) return std::nullopt;
    return pairOfAfter_[neighbour] + 1;
  }

  const std::vector<size_t>& pairOfAfter() const { return pairOfAfter_; }
  const std::vector<size_t>& pairOfBefore() const { return pairOfBefore_; }

 private:
  const std::vector<ItemView>& before_;
  const std::vector<ItemView>& after_;
  std::vector<size_t> pairOfAfter_, pairOfBefore_;
};

// Items of `after` that moved: away from their paired parent, or out of the
// order their siblings keep.
std::vector<bool> movedItems(const std::vector<ItemView>& before, const std::vector<ItemView>& after,
                             const std::vector<size_t>& pairOf) {
  std::vector<bool> moved(after.size(), false);
  // The pairs that stayed under their parent: (parent before, index after),
  // in their order after.
  std::vector<std::pair<uint32_t, size_t>> stayed;
  for (size_t a = 0; a < after.size(); ++a) {
    const size_t b = pairOf[a];
    if (b == kUnpaired) continue;
    const uint32_t parentAfter = after[a].parent, parentBefore = before[b].parent;
    const bool sameParent = parentAfter == kNoParent ? parentBefore == kNoParent
                                                     : parentBefore != kNoParent && pairOf[parentAfter] == parentBefore;
    if (sameParent) {
      stayed.push_back({parentBefore, a});
    } else {
      moved[a] = true;
    }
  }
  // Grouped by parent (kNoParent last) with a counting sort, which keeps each row's order.
  std::vector<size_t> rowStart(before.size() + 2, 0);
  const auto row = [&](uint32_t parent) { return parent == kNoParent ? before.size() : size_t{parent}; };
  for (const auto& [parent, a] : stayed) ++rowStart[row(parent) + 1];
  for (size_t i = 1; i < rowStart.size(); ++i) rowStart[i] += rowStart[i - 1];
  std::vector<size_t> grouped(stayed.size());
  std::vector<size_t> fill(rowStart.begin(), rowStart.end() - 1);
  for (const auto& [parent, a] : stayed) grouped[fill[row(parent)]++] = a;
  std::vector<size_t> orderBefore;
  for (size_t r = 0; r + 1 < rowStart.size(); ++r) {
    const size_t start = rowStart[r], end = rowStart[r + 1];
    if (start == end) continue;
    orderBefore.clear();
    for (size_t i = start; i < end; ++i) orderBefore.push_back(pairOf[grouped[i]]);  // pre-order keeps sibling order
    std::vector<bool> kept = longestIncreasing(orderBefore);
    for (size_t i = start; i < end; ++i) moved[grouped[i]] = moved[grouped[i]] || !kept[i - start];
  }
  return moved;
}

}  // namespace

SideChanges compareSides(const std::vector<ItemView>& before, const std::vector<ItemView>& after) {
  const std::vector<uint64_t> pathBefore = pathHashes(before), pathAfter = pathHashes(after);
  Matcher m(before, after);
  m.pass([&](size_t b) { return mix(pathBefore[b], before[b].content); },
         [&](size_t a) -> std::optional<uint64_t> { return mix(pathAfter[a], after[a].content); });
  m.pass([&](size_t b) { return before[b].content; },
         [&](size_t a) -> std::optional<uint64_t> { return after[a].content; });
  m.pass([&](size_t b) { return pathBefore[b]; }, [&](size_t a) -> std::optional<uint64_t> { return pathAfter[a]; });
  m.pass([&](size_t b) { return mix(m.parentBefore(b), before[b].titleHash); },
         [&](size_t a) -> std::optional<uint64_t> {
           std::optional<uint64_t> parent = m.parentAfter(a);
           if (!parent) return std::nullopt;
           return mix(*parent, after[a].titleHash);
         });
  m.pass([&](size_t b) { return mix(m.parentBefore(b), before[b].createTime + (uint64_t{1} << 32)); },
         [&](size_t a) -> std::optional<uint64_t> {
           std::optional<uint64_t> parent = m.parentAfter(a);
           if (!parent || after[a].createTime == 0) return std::nullopt;
           return mix(*parent, after[a].createTime + (uint64_t{1} << 32));
         });
  m.pass([&](size_t b) { return mix(before[b].titleHash, before[b].createTime); },
         [&](size_t a) -> std::optional<uint64_t> { return mix(after[a].titleHash, after[a].createTime); });
  // 7. Between the same paired neighbours under the paired parent, with the
  // same creation time: an item renamed in place that has none (made on the
  // desktop), whose rebuild gave it a new ID.
  const Siblings siblingsBefore = siblingsOf(before), siblingsAfter = siblingsOf(after);
  const auto place = [](uint64_t parent, uint64_t previous, uint64_t next, uint32_t created) {
    return mix(mix(mix(parent, previous), next), created);
  };
  m.pass(
      [&](size_t b) {
        const auto key = [](size_t sibling) { return sibling == kUnpaired ? 0 : uint64_t{sibling} + 1; };
        return place(m.parentBefore(b), key(siblingsBefore.previous[b]), key(siblingsBefore.next[b]),
                     before[b].createTime);
      },
      [&](size_t a) -> std::optional<uint64_t> {
        const std::optional<uint64_t> parent = m.parentAfter(a), previous = m.neighbourAfter(siblingsAfter.previous[a]),
                                      next = m.neighbourAfter(siblingsAfter.next[a]);
        if (!parent || !previous || !next) return std::nullopt;
        return place(*parent, *previous, *next, after[a].createTime);
      });

  SideChanges out;
  out.pairOf = m.pairOfAfter();
  const std::vector<bool> moved = movedItems(before, after, out.pairOf);
  for (size_t a = 0; a < after.size(); ++a) {
    if (after[a].deleted) continue;
    const size_t b = out.pairOf[a];
    if (b == kUnpaired) {
      out.items.push_back({ItemChange::kAdded, b, a});
      ++out.added;
      continue;
    }
    if (before[b].content != after[a].content) {
      out.items.push_back({ItemChange::kChanged, b, a});
      ++out.changed;
    }
    if (moved[a]) {
      out.items.push_back({ItemChange::kMoved, b, a});
      ++out.moved;
    }
  }
  for (size_t b = 0; b < before.size(); ++b) {
    if (before[b].deleted || m.pairOfBefore()[b] != kUnpaired) continue;
    out.items.push_back({ItemChange::kDeleted, b, kUnpaired});
    ++out.deleted;
  }
  return out;
}

std::vector<std::string> titlesTo(const SideView& side, size_t index) {
  std::vector<std::string> titles;
  for (size_t i = index; i != kNoParent && i < side.items.size(); i = side.items[i].parent)
    titles.emplace_back(side.title(i));
  return {titles.rbegin(), titles.rend()};
}

std::string titlePath(const SideView& side, size_t index) {
  std::string out;
  for (const std::string& title : titlesTo(side, index)) out += (out.empty() ? "" : " \u203A ") + title;
  return out;
}

}  // namespace tolvex::host
