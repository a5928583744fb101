// Whole `hotsync sync` runs over random edits on both sides of one list.
// Both sides start from the same synced outline; the handheld application
// and the desktop application then edit, add, move and delete items as
// they would (setting the flags they set), and a run of a random kind and
// collision method merges them. After it, and after a second (fast) run
// that must find nothing to do, every item is where the user's edits and
// deletions put it:
//  (a) an item neither side deleted is live on both sides;
//  (b) an item one side edited carries that side's content on both;
//  (c) an item both sides edited carries the version the method chose
//      (both, for "Keep/Duplicate");
//  (d) an item one side deleted and the other edited is kept, edited;
//  (e) an item both sides deleted does not come back;
// and both sides hold the same outline. Now and then the desktop holds a
// copy of an item under the item's unique ID (an item block copied by hand
// and retitled "cd<k>"): the copy is an item of its own, and of the item
// copied nothing is lost, though its versions may stand apart.
//
// Items are told apart by their titles: "i<n>" in the common outline,
// "i<n>.h<k>" / "i<n>.d<k>" after an edit on the handheld / desktop,
// "nh<k>" / "nd<k>" when added there. TOLVEX_WHOLE_RUN_SEED=<seed> runs one
// case (a failure names its seed); TOLVEX_WHOLE_RUN_CASES=<n> runs n cases.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>

#include "SafetyHarness.h"
#include "desktop/XmlFile.h"
#include "libsync/SyncContext.h"
#include "outline/ItemList.h"
#include "outline/ItemRecord.h"
#include "platform/syncmgr/PdbFile.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex::safety {
namespace {

const std::string kList = "Tolvk-Prop";
constexpr uint32_t kCreated = 3600000000u;  // the list's identity on both sides
constexpr uint32_t kFirstNewHandheldId = 0x800;

std::string keyOf(const std::string& title) { return title.substr(0, title.find('.')); }

bool deletedOrBelow(const ListNode* item) {
  for (; item; item = item->parent())
    if (item->deleted()) return true;
  return false;
}

// A deep copy of `from` into the empty `to`; with `liveOnly`, deleted
// subtrees are left out and their items returned, flat, in pre-order.
std::vector<std::unique_ptr<ListNode>> copyTree(const ItemList& from, ItemList& to, bool liveOnly) {
  std::vector<std::unique_ptr<ListNode>> deleted;
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
    if (liveOnly && source->deleted()) {
      deleted.push_back(source->clone(false));
      ItemList::forEach(source->firstChild(), WalkScope::kSubtree, [&](ListNode* item) {
        deleted.push_back(item->clone(false));
        return true;
      });
      continue;
    }
    auto copy = source->clone(false);
    copy->setList(&to);
    ListNode* raw = copy.get();
    if (row.lastCopy) row.lastCopy->insertAfter(std::move(copy));
    else if (row.parentCopy) row.parentCopy->insertFirstChild(std::move(copy));
    else to.pushBack(std::move(copy));
    row.lastCopy = raw;
    if (source->firstChild()) rows.push_back({source->firstChild(), raw, nullptr});
  }
  return deleted;
}

// One side of the list as its application leaves it, and what the user did.
class Side {
 public:
  Side(char name, const ItemList& common, std::mt19937_64& rng) : name_(name), rng_(rng) {
    copyTree(common, list, false);
  }

  void editRandomly(uint32_t& nextId) {
    size_t ops = below(7);
    for (size_t i = 0; i < ops; ++i) {
      std::vector<ListNode*> live = visible();
      size_t op = below(name_ == 'd' ? 5 : 4);
      if (live.empty() || op == 0) add(live, nextId);
      else if (op == 1) edit(pick(live));
      else if (op == 2) move(live, pick(live));
      else if (op == 3) remove(pick(live));
      else copyBlock(live, pick(live));
    }
  }

  // Edits or deletes the item of `key` when the application shows it.
  void alsoActOn(const std::string& key, bool removing) {
    for (ListNode* item : visible()) {
      if (keyOf(item->title()) != key) continue;
      if (removing) remove(item);
      else edit(item);
      return;
    }
  }

  // Deleted on this side: marked, or below a marked item (the desktop now
  // and then marks only the item the user deleted). An item edited there
  // counts as edited instead: the merge cannot tell which came first and
  // keeps the edit.
  bool deleted(const std::string& key) const {
    const ListNode* item = find(key);
    if (!item) return false;
    if (item->deleted()) return true;
    return deletedOrBelow(item) && !item->dirtyContent();
  }
  bool edited(const std::string& key) const {
    const ListNode* item = find(key);
    return item && item->dirtyContent() && !deleted(key);
  }
  std::string title(const std::string& key) const { return find(key) ? find(key)->title() : ""; }
  bool copied(const std::string& key) const { return copied_.count(key) != 0; }
  std::set<std::string> keys() const {
    std::set<std::string> out;
    ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* item) {
      out.insert(keyOf(item->title()));
      return true;
    });
    return out;
  }

  ItemList list;

 private:
  size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool chance() { return below(2) == 0; }

  // Half the time one of the first few items, so that both sides often
  // act on the same ones.
  ListNode* pick(const std::vector<ListNode*>& live) {
    return live[below(chance() ? std::min<size_t>(live.size(), 4) : live.size())];
  }

  const ListNode* find(const std::string& key) const {
    const ListNode* found = nullptr;
    ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* item) {
      if (keyOf(item->title()) == key) found = item;
      return !found;
    });
    return found;
  }

  // Items the application shows: live and below no deleted item.
  std::vector<ListNode*> visible() {
    std::vector<ListNode*> out;
    ItemList::forEach(list.head(), WalkScope::kSubtree, [&](ListNode* item) {
      if (!deletedOrBelow(item)) out.push_back(item);
      return true;
    });
    return out;
  }

  void place(const std::vector<ListNode*>& live, std::unique_ptr<ListNode> item, const ListNode* avoid) {
    std::vector<ListNode*> spots;
    for (ListNode* at : live)
      if (!at->isWithinSubtreeOf(avoid)) spots.push_back(at);
    if (spots.empty() || below(5) == 0) {
      list.pushFront(std::move(item));
      return;
    }
    ListNode* at = spots[below(spots.size())];
    if (chance()) at->insertFirstChild(std::move(item));
    else at->insertAfter(std::move(item));
  }

  void add(const std::vector<ListNode*>& live, uint32_t& nextId) {
    // A new desktop item has no ID yet; the handheld gives each record one.
    auto item = std::make_unique<ListNode>(name_ == 'd' ? 0 : nextId++, &list);
    item->setTitle(std::string("n") + name_ + std::to_string(++added_));
    item->setDirtyContent(true);
    item->setDirtyPosition(true);
    place(live, std::move(item), nullptr);
  }

  void edit(ListNode* item) {
    item->setTitle(keyOf(item->title()) + "." + name_ + std::to_string(++edits_));
    item->setNote("edited on " + std::string(1, name_));
    item->setDirtyContent(true);
  }

  // The copy keeps the item's ID and flags; half the time the user marks
  // it edited.
  void copyBlock(const std::vector<ListNode*>& live, const ListNode* item) {
    auto copy = item->clone(false);
    copy->setList(&list);
    copy->setTitle("c" + std::string(1, name_) + std::to_string(++copies_));
    if (chance()) copy->setDirtyContent(true);
    if (item->uniqueID() != 0) copied_.insert(keyOf(item->title()));
    place(live, std::move(copy), nullptr);
  }

  void move(const std::vector<ListNode*>& live, ListNode* item) {
    item->setDirtyPosition(true);
    place(live, item->unlink(), item);
  }

  void remove(ListNode* item) {
    auto mark = [this](ListNode* gone) {
      gone->setDeleted(true);
      if (name_ == 'h') gone->setDirtyContent(true);  // as the handheld reader reports a deleted record
      return true;
    };
    mark(item);
    if (name_ == 'h' || chance()) ItemList::forEach(item->firstChild(), WalkScope::kSubtree, mark);
  }

  char name_;
  std::mt19937_64& rng_;
  int added_ = 0, edits_ = 0, copies_ = 0;
  std::set<std::string> copied_;
};

// The handheld list database: live items in pre-order with their tree
// flags, then the deleted records (some without data, as deleted, some with
// it, as archived).
void writeHandheld(const World& w, const ItemList& list, std::mt19937_64& rng) {
  ItemList live;
  std::vector<std::unique_ptr<ListNode>> deleted = copyTree(list, live, true);
  PdbFile pdb;
  pdb.name = kList;
  pdb.attributes = 0x0008;
  pdb.version = 1;
  pdb.createDate = pdb.modDate = kCreated;
  pdb.type = pdb.creator = SYNC_FOURCC('W', 'k', 'd', 'q');
  pdb.uniqueIdSeed = 0x10000;
  pdb.appendRecord({0, 0, 0, newListHeaderRecord()});
  ItemList::forEach(live.head(), WalkScope::kSubtree, [&](ListNode* item) {
    pdb.appendRecord({0, 0, item->uniqueID(), packItemRecord(*item)});
    return true;
  });
  for (const auto& item : deleted) {
    std::vector<uint8_t> data;
    if (rng() % 2) data = packItemRecord(*item);
    pdb.appendRecord({0x80, 0, item->uniqueID(), data});
  }
  std::vector<uint8_t> bytes = pdb.serialize();
  writeFile(w.device + "/" + kList + ".pdb", std::string(bytes.begin(), bytes.end()));
}

// Live items of a side in pre-order, as "<depth>:<title>".
using Outline = std::vector<std::string>;

Outline handheldOutline(const World& w) {
  Outline out;
  std::string bytes = readFile(w.device + "/" + kList + ".pdb");
  auto pdb = PdbFile::parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), nullptr);
  if (!pdb) return {"unreadable handheld database"};
  ItemList owner;
  std::vector<int> siblingDepths;  // depths at which a next sibling is still due
  int depth = 0;
  for (size_t i = 1; i < pdb->recordCount(); ++i) {
    const PdbRecord& r = pdb->record(i);
    if (r.attributes & 0x80) continue;
    uint16_t flags = 0;
    auto item = unpackItemRecord(&owner, r.uniqueId, r.data.data(), r.data.size(), false, &flags);
    out.push_back(std::to_string(depth) + ":" + item->title());
    if (flags & kHasNextSibling) siblingDepths.push_back(depth);
    if (flags & kHasFirstChild) {
      ++depth;
    } else if (!siblingDepths.empty()) {
      depth = siblingDepths.back();
      siblingDepths.pop_back();
    }
  }
  return out;
}

Outline desktopOutline(const World& w) {
  std::string message;
  auto list = ListFileReader().read(w.desktop + "/" + kList + ".XML", message);
  if (!list) return {"unreadable desktop file: " + message};
  Outline out;
  ItemList::forEach(list->head(), WalkScope::kSubtree, [&](ListNode* item) {
    if (!item->deleted()) out.push_back(std::to_string(item->depth()) + ":" + item->title());
    return true;
  });
  return out;
}

std::multiset<std::string> titlesOf(const Outline& outline, const std::string& key) {
  std::multiset<std::string> out;
  for (const std::string& line : outline) {
    std::string title = line.substr(line.find(':') + 1);
    if (keyOf(title) == key) out.insert(title);
  }
  return out;
}

struct Case {
  bool fast;
  int method;  // as stored in the registry: 0..4
};

// Checks (a)-(e) and that both sides agree; answers the outline.
Outline checkOutcome(const World& w, const Case& c, const Side& hh, const Side& dt) {
  Outline onHandheld = handheldOutline(w), onDesktop = desktopOutline(w);
  EXPECT_EQ(onHandheld, onDesktop) << "the two sides differ";
  std::set<std::string> keys = hh.keys(), dtKeys = dt.keys();
  keys.insert(dtKeys.begin(), dtKeys.end());
  for (const std::string& key : keys) {
    bool hhDeleted = hh.deleted(key), dtDeleted = dt.deleted(key);
    bool hhEdited = hh.edited(key), dtEdited = dt.edited(key);
    std::set<std::string> expected;
    if (hhDeleted && dtDeleted) {
      // (e): nothing
    } else if (hhDeleted || dtDeleted) {
      if (!hhEdited && !dtEdited) continue;  // the deletion may stand or not
      expected.insert(hhEdited ? hh.title(key) : dt.title(key));  // (d)
    } else if (hhEdited && dtEdited) {  // (c)
      if (c.method != kDtOverHh && c.method != kByTime && c.method != kMethodNil) expected.insert(hh.title(key));
      if (c.method != kHhOverDt) expected.insert(dt.title(key));
    } else if (hhEdited || dtEdited) {  // (b)
      expected.insert(hhEdited ? hh.title(key) : dt.title(key));
    } else {  // (a)
      std::string title = hh.title(key).empty() ? dt.title(key) : hh.title(key);
      expected.insert(title);
    }
    for (const Outline* side : {&onHandheld, &onDesktop}) {
      std::multiset<std::string> found = titlesOf(*side, key);
      std::set<std::string> titles(found.begin(), found.end());
      if (dt.copied(key)) {
        // Each side's version may stand on its own beside what is expected.
        for (const std::string& kept : {hh.title(key), dt.title(key)})
          if (titles.count(kept) && !expected.count(kept)) titles.erase(kept);
      }
      EXPECT_EQ(titles, expected)
          << "item " << key << (side == &onHandheld ? " on the handheld" : " on the desktop")
          << (hhEdited ? ", edited on the handheld" : "") << (dtEdited ? ", edited on the desktop" : "")
          << (hhDeleted ? ", deleted on the handheld" : "") << (dtDeleted ? ", deleted on the desktop" : "");
    }
  }
  return onHandheld;
}

void runCase(const World& w, uint64_t seed) {
  std::mt19937_64 rng(seed);
  Case c{rng() % 2 == 0, static_cast<int>(rng() % 5)};
  SCOPED_TRACE("seed " + std::to_string(seed) + (c.fast ? " fast" : " slow") + " method " +
               std::to_string(c.method) + " (TOLVEX_WHOLE_RUN_SEED reruns it)");
  std::filesystem::remove_all(w.desktop);
  std::filesystem::create_directory(w.desktop);
  std::filesystem::remove(w.device + "/" + kList + ".pdb");

  // The common outline: both sides as the last HotSync left them.
  ItemList common;
  common.setUniqueTime(kCreated);
  std::vector<ListNode*> placed;
  size_t count = 1 + rng() % 24;
  for (uint32_t id = 1; id <= count; ++id) {
    auto item = std::make_unique<ListNode>(id, &common);
    item->setTitle("i" + std::to_string(id));
    ListNode* raw = item.get();
    if (placed.empty() || rng() % 4 == 0) common.pushBack(std::move(item));
    else if (rng() % 2) placed[rng() % placed.size()]->insertFirstChild(std::move(item));
    else placed[rng() % placed.size()]->insertAfter(std::move(item));
    placed.push_back(raw);
  }
  Side hh('h', common, rng), dt('d', common, rng);
  uint32_t nextId = kFirstNewHandheldId;
  hh.editRandomly(nextId);
  dt.editRandomly(nextId);
  // Now and then the desktop edits or deletes an item the handheld edited.
  for (const std::string& key : hh.keys())
    if (hh.edited(key) && rng() % 2) dt.alsoActOn(key, rng() % 2);

  writeHandheld(w, hh.list, rng);
  dt.list.setUniqueTime(kCreated);
  std::string message;
  ASSERT_EQ(ListFileWriter().write(dt.list, w.desktop + "/" + kList + ".XML", message), 0) << message;
  writeFile(w.home + "/registry.ini", "[HKEY_LOCAL_MACHINE/Software/Marrowind/Tolvex/RegBool]\n.key=\nMethodPerm=" +
                                          std::to_string(c.method) + "\n");

  RunResult first = w.sync({"--type", c.fast ? "fast" : "slow"});
  ASSERT_EQ(first.exitCode, 0) << first.out << w.lastLog();
  Outline after = checkOutcome(w, c, hh, dt);
  if (::testing::Test::HasFailure()) return;

  RunResult second = w.sync({"--type", "fast"});
  ASSERT_EQ(second.exitCode, 0) << second.out << w.lastLog();
  std::string log = w.lastLog();
  EXPECT_NE(log.find("Nothing is dirty on either side. Bailing out."), std::string::npos) << log;
  EXPECT_NE(log.find("# No changes were made. Natch.\n"), std::string::npos) << log;
  EXPECT_EQ(handheldOutline(w), after);
  EXPECT_EQ(desktopOutline(w), after);
}

// The world's folders on a memory file system when there is one: a run
// flushes its log line by line, which costs more than the merge on a disk.
class ScratchInMemory {
 public:
  explicit ScratchInMemory(World& w) {
    char pattern[] = "/dev/shm/tolvex-whole-run-XXXXXX";
    if (!mkdtemp(pattern)) return;
    root_ = pattern;
    w.home = root_ + "/home";
    w.device = root_ + "/device";
    w.desktop = root_ + "/desktop";
    std::filesystem::create_directory(w.home);
  }
  ~ScratchInMemory() {
    if (!root_.empty() && !std::getenv("TOLVEX_KEEP_SCRATCH")) std::filesystem::remove_all(root_);
  }
  ScratchInMemory(const ScratchInMemory&) = delete;
  ScratchInMemory& operator=(const ScratchInMemory&) = delete;

 private:
  std::string root_;
};

TEST(WholeRunProperty, RandomEditsOnBothSidesSurviveTwoRuns) {
  World w;
  ScratchInMemory memory(w);
  ASSERT_EQ(w.initDevice().exitCode, 0);
  uint64_t first = 0x5eed0000, cases = sanitized() ? 100 : 500;
  if (const char* more = std::getenv("TOLVEX_WHOLE_RUN_CASES")) cases = std::strtoull(more, nullptr, 0);
  if (const char* one = std::getenv("TOLVEX_WHOLE_RUN_SEED")) {
    first = std::strtoull(one, nullptr, 0);
    cases = 1;
  }
  for (uint64_t i = 0; i < cases && !HasFailure(); ++i) runCase(w, first + i);
}

}  // namespace
}  // namespace tolvex::safety
