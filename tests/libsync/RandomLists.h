// Random pairs of outlines for engine tests: a desktop and a handheld list
// that share some unique IDs, hold some of their own, differ in content here
// and there (now and then in their links only), and carry random dirty and
// deleted flags on both sides. Now and
// then the two have different identities, and the handheld new IDs.
// Deterministic for a given seed.
#ifndef TOLVEX_TESTS_LIBSYNC_RANDOMLISTS_H
#define TOLVEX_TESTS_LIBSYNC_RANDOMLISTS_H
#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "outline/ItemList.h"

namespace tolvex::testing {

struct RandomListOptions {
  size_t maxItems = 300;        // upper bound of either list's size
  double largeShare = 0.1;      // share of pairs drawn up to maxItems (others stay small)
  size_t smallItems = 30;
  double dirtyContent = 0.2;
  double dirtyPosition = 0.2;
  double deleted = 0.1;
  double contentChange = 0.3;   // per shared item, the handheld content differs
  double sameShape = 0.6;       // handheld starts from the desktop's shape, then moves items
};

class RandomLists {
 public:
  explicit RandomLists(uint64_t seed, RandomListOptions options = {})
      : rng_(seed), linkRng_(seed ^ 0x11c5ULL), options_(options) {}

  // Fills two empty lists.
  void fill(ItemList& desktop, ItemList& handheld) {
    size_t limit = chance(options_.largeShare) ? options_.maxItems : options_.smallItems;
    size_t shared = below(limit + 1);
    size_t desktopOnly = below(limit - shared + 1);
    size_t handheldOnly = below(limit - shared + 1);
    uint32_t nextId = chance(0.02) ? 0 : 1;  // now and then an ID 0, as in test data
    std::vector<uint32_t> sharedIds, dtIds, hhIds;
    for (size_t i = 0; i < shared; ++i) sharedIds.push_back(nextId++);
    for (size_t i = 0; i < desktopOnly; ++i) dtIds.push_back(nextId++);
    for (size_t i = 0; i < handheldOnly; ++i) hhIds.push_back(nextId++);
    if (!sharedIds.empty() && chance(0.05)) dtIds.push_back(sharedIds[below(sharedIds.size())]);  // a duplicate

    std::vector<uint32_t> dtAll = sharedIds;
    dtAll.insert(dtAll.end(), dtIds.begin(), dtIds.end());
    std::vector<ListNode*> dtNodes = randomTree(desktop, dtAll);
    for (ListNode* n : dtNodes) randomContent(*n);

    std::vector<ListNode*> hhNodes;
    if (chance(options_.sameShape)) {
      hhNodes = copyShape(desktop, handheld, [&](uint32_t id) {
        return std::find(dtIds.begin(), dtIds.end(), id) == dtIds.end();
      });
      for (ListNode* n : randomTree(handheld, hhIds, &hhNodes)) hhNodes.push_back(n);
      size_t moves = below(hhNodes.size() / 4 + 2);
      for (size_t i = 0; i < moves && hhNodes.size() > 1; ++i) randomMove(handheld, hhNodes);
    } else {
      std::vector<uint32_t> hhAll = sharedIds;
      hhAll.insert(hhAll.end(), hhIds.begin(), hhIds.end());
      hhNodes = randomTree(handheld, hhAll);
    }
    for (ListNode* n : hhNodes) {
      const ListNode* twin = desktop.findByUniqueId(n->uniqueID());
      if (twin) copyContent(*n, *twin);
      if (!twin || chance(options_.contentChange)) randomContent(*n);
      else if (linkChance(0.1)) randomLinks(*n);  // only the links differ
    }
    for (ListNode* n : dtNodes) randomFlags(*n);
    for (ListNode* n : hhNodes) randomFlags(*n);
    uint32_t stamp = static_cast<uint32_t>(rng_());
    desktop.setUniqueTime(stamp);
    handheld.setUniqueTime(chance(0.1) ? stamp + 1 : stamp);
    if (handheld.uniqueTime() != stamp && chance(0.5)) {  // rebuilt since: every item has a new ID
      ItemList::forEach(handheld.head(), WalkScope::kSubtree, [](ListNode* n) {
        n->setUniqueID(n->uniqueID() + (1u << 20));
        return true;
      });
    }
    desktop.setUploadFile(chance(0.2) ? 1 : 0);  // waiting to go to the handheld
  }

  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
  size_t below(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

 private:
  // Inserts the IDs (in random order) at random places of `list`, among the
  // items already there (`existing`, appended to as the tree grows).
  std::vector<ListNode*> randomTree(ItemList& list, std::vector<uint32_t> ids,
                                    std::vector<ListNode*>* existing = nullptr) {
    std::shuffle(ids.begin(), ids.end(), rng_);
    std::vector<ListNode*> local;
    std::vector<ListNode*>& nodes = existing ? *existing : local;
    size_t first = nodes.size();
    for (uint32_t id : ids) {
      auto item = std::make_unique<ListNode>(id, &list);
      ListNode* raw = item.get();
      placeRandomly(list, nodes, std::move(item));
      nodes.push_back(raw);
    }
    std::vector<ListNode*> added(nodes.begin() + static_cast<std::ptrdiff_t>(first), nodes.end());
    if (existing) existing->resize(first);
    return added;
  }

  void placeRandomly(ItemList& list, const std::vector<ListNode*>& nodes, std::unique_ptr<ListNode> item,
                     const ListNode* avoid = nullptr) {
    for (int attempt = 0; attempt < 4 && !nodes.empty(); ++attempt) {
      ListNode* at = nodes[below(nodes.size())];
      if (avoid && at->isWithinSubtreeOf(avoid)) continue;
      if (chance(0.5)) at->insertFirstChild(std::move(item));
      else at->insertAfter(std::move(item));
      return;
    }
    list.pushFront(std::move(item));
  }

  // The handheld starts as the desktop's tree, keeping the items `keep` accepts.
  template <typename Keep>
  std::vector<ListNode*> copyShape(const ItemList& from, ItemList& to, Keep keep) {
    std::vector<ListNode*> made;
    struct Row { const ListNode* source; ListNode* parentCopy; ListNode* lastCopy; };
    std::vector<Row> rows{{from.head(), nullptr, nullptr}};
    while (!rows.empty()) {
      Row& row = rows.back();
      const ListNode* source = row.source;
      if (!source) {
        rows.pop_back();
        continue;
      }
      row.source = source->next();
      if (!keep(source->uniqueID())) continue;  // its subtree goes with it
      auto copy = std::make_unique<ListNode>(source->uniqueID(), &to);
      ListNode* raw = copy.get();
      if (row.lastCopy) row.lastCopy->insertAfter(std::move(copy));
      else if (row.parentCopy) row.parentCopy->insertFirstChild(std::move(copy));
      else to.pushBack(std::move(copy));
      row.lastCopy = raw;
      made.push_back(raw);
      if (source->firstChild()) rows.push_back({source->firstChild(), raw, nullptr});
    }
    return made;
  }

  void randomMove(ItemList& list, std::vector<ListNode*>& nodes) {
    ListNode* moving = nodes[below(nodes.size())];
    auto item = moving->unlink();
    if (!item) return;
    placeRandomly(list, nodes, std::move(item), moving);
  }

  std::string randomText(size_t maxBytes) {
    static const char* pieces[] = {"a", "b", "Z", " ", "%s", "\xC3\xA9", "\xE2\x82\xAC", "<", "&"};
    std::string out;
    size_t length = chance(0.03) ? maxBytes + 20 : below(12);
    while (out.size() < length) out += pieces[below(std::size(pieces))];
    return out;
  }

  void randomContent(ListNode& n) {
    if (chance(0.9)) n.setTitle(randomText(ListNode::kMaxTitleBytes));
    else n.clearTitle();
    if (chance(0.5)) n.setNote(randomText(64));
    else n.clearNote();
    n.setProgress(static_cast<uint8_t>(below(3)));
    n.setChecked(chance(0.3));
    n.setPriority(static_cast<uint8_t>(below(3)));
    n.setHhStartTime(static_cast<uint32_t>(below(3)));
    n.setDispOverride(chance(0.8) ? -1 : 2, static_cast<uint32_t>(below(2)));
    if (chance(0.3)) n.setLocalID("L" + std::to_string(below(1000)));
    randomLinks(n);
  }

  // Links come from a stream of their own, so that the rest of a pair does
  // not depend on them.
  bool linkChance(double p) { return std::uniform_real_distribution<double>(0, 1)(linkRng_) < p; }
  void randomLinks(ListNode& n) {
    static const char* files[] = {"a.txt", "b.txt", "\xC3\xA9"};
    n.setLinkFile(linkChance(0.2) ? std::optional<std::string>(files[linkRng_() % 3]) : std::nullopt);
    std::vector<EabLink> links;
    if (linkChance(0.2)) links.push_back({static_cast<uint8_t>(linkRng_() % 2), static_cast<uint32_t>(linkRng_() % 3)});
    n.setLinkEAB(std::move(links));
    n.setLinkToDo(linkChance(0.1) ? 7 : 0);
  }

  static void copyContent(ListNode& to, const ListNode& from) {
    auto copy = from.clone(true);
    to.setTitle(copy->hasTitle() ? std::optional<std::string>(copy->title()) : std::nullopt);
    to.setNote(copy->hasNote() ? std::optional<std::string>(copy->note()) : std::nullopt);
    to.setProgress(from.progress());
    to.setChecked(from.checked());
    to.setPriority(from.priority());
    to.setHhStartTime(from.hhStartTime());
    to.setDispOverride(from.dispOverride().kind, from.dispOverride().value);
    to.setLinkFile(from.linkFile());
    to.setLinkEAB(from.linkEAB());
    to.setLinkToDo(from.linkToDo());
  }

  void randomFlags(ListNode& n) {
    n.setDirtyContent(chance(options_.dirtyContent));
    n.setDirtyPosition(chance(options_.dirtyPosition));
    n.setDeleted(chance(options_.deleted));
  }

  std::mt19937_64 rng_, linkRng_;
  RandomListOptions options_;
};

}  // namespace tolvex::testing
#endif
