// An item's content fingerprint is kept in pending-rebuild files, so it must
// stay the 64-bit FNV-1a of its fields' bytes whatever shortcut computes it:
// held against a plain byte-by-byte FNV-1a over many random items.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "outline/ItemList.h"
#include "outline/ListNode.h"
#include "outline/RebuildRecord.h"

namespace tolvex {
namespace {

class PlainFnv {
 public:
  void bytes(const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) hash = (hash ^ p[i]) * 1099511628211ull;
  }
  void number(uint64_t v) { bytes(&v, sizeof v); }
  void text(bool present, const std::string& t) {
    number(present);
    if (present) {
      number(t.size());
      bytes(t.data(), t.size());
    }
  }
  uint64_t hash = 1469598103934665603ull;
};

// Random values in every field the fingerprint covers.
class RandomItems {
 public:
  explicit RandomItems(uint64_t seed) : rng(seed) {}
  uint64_t any(uint64_t bits) { return rng() & ((uint64_t{1} << bits) - 1); }
  void fill(ListNode& item) {
    if (rng() % 3) item.setTitle(std::string(any(5), static_cast<char>('a' + any(4))));
    if (rng() % 2) item.setNote(std::string(any(6), '\xE9'));
    if (rng() % 4 == 0) item.setLinkFile(std::string(any(3), '/'));
    if (rng() % 4 == 0) item.setLocalID(std::string(any(3), 'L'));
    item.setDeleted(rng() % 2);
    item.setDirtyContent(rng() % 2);
    item.setProgress(static_cast<uint8_t>(any(8)));
    item.setChecked(rng() % 2);
    item.setPriority(static_cast<uint8_t>(any(3)));
    item.setAlarmID(static_cast<uint32_t>(rng() % 3 ? 0 : any(32)));
    item.setHhCreateTime(static_cast<uint32_t>(any(32)));
    item.setHhTargetTime(static_cast<uint32_t>(any(rng() % 33)));
    item.setDispOverride(static_cast<int8_t>(any(8)), static_cast<uint32_t>(any(16)));
    item.setLinkToDo(static_cast<uint32_t>(any(24)));
    for (uint64_t n = any(2); n > 0; --n) item.addLinkEAB(static_cast<uint8_t>(any(8)), static_cast<uint32_t>(1 + any(31)));
  }
  std::mt19937_64 rng;
};

TEST(ContentFingerprint, IsThePlainFnvOfEveryField) {
  RandomItems random(5);
  ItemList list;
  for (int round = 0; round < 2000; ++round) {
    ListNode item(static_cast<uint32_t>(random.any(24)), &list);
    random.fill(item);

    PlainFnv f;
    f.text(item.hasTitle(), item.title());
    f.text(item.hasNote(), item.note());
    f.text(item.linkFile().has_value(), item.linkFile().value_or(""));
    for (uint64_t v : {uint64_t{item.deleted()}, uint64_t{item.progress()}, uint64_t{item.checked()},
                       uint64_t{item.priority()}, uint64_t{item.autoNumber()}, uint64_t{item.alarmID()},
                       uint64_t{item.expanded()}, uint64_t{item.expandedMemo()}, uint64_t{item.expandedLinks()},
                       uint64_t{item.hhCreateTime()}, uint64_t{item.hhStartTime()}, uint64_t{item.hhFinishTime()},
                       uint64_t{item.hhTargetTime()}, uint64_t{item.dispColour()}, uint64_t{item.dispBold()},
                       uint64_t(int64_t{item.dispOverride().kind}), uint64_t{item.dispOverride().value},
                       uint64_t{item.linkToDo()}, uint64_t{item.linkDatebook()}, uint64_t{item.linkEAB().size()}})
      f.number(v);
    for (const EabLink& link : item.linkEAB()) {
      f.number(link.eabType);
      f.number(link.eabID);
    }
    ASSERT_EQ(contentFingerprint(item), f.hash) << "round " << round;
  }
}

// A copy made in the memory of an item the list let go of is the same as a
// fresh clone, whatever the released item held; and the snapshot of the list
// before does not take it for the released item, even with the same ID.
TEST(ContentFingerprint, ACopyIntoARecycledItemIsAFreshClone) {
  RandomItems random(11);
  for (int round = 0; round < 500; ++round) {
    ItemList list;
    const uint32_t id = 1 + static_cast<uint32_t>(random.any(3));
    auto released = std::make_unique<ListNode>(id, &list);
    random.fill(*released);
    auto child = std::make_unique<ListNode>(id + 10, &list);
    random.fill(*child);
    released->insertFirstChild(std::move(child));
    const ListNode* address = released.get();
    list.setHead(std::move(released));
    const DesktopSnapshot before(list);

    ItemList other;
    ListNode source(1 + static_cast<uint32_t>(random.any(3)), &other);
    random.fill(source);
    list.recycle(list.releaseHead());
    std::unique_ptr<ListNode> copy = list.copyOf(source, true);
    ASSERT_EQ(copy.get(), address) << "round " << round;
    auto clone = source.clone(true);
    EXPECT_EQ(contentFingerprint(*copy), contentFingerprint(*clone));
    EXPECT_EQ(copy->uniqueID(), clone->uniqueID());
    EXPECT_EQ(copy->localID(), clone->localID());
    EXPECT_FALSE(copy->dirtyContent());
    EXPECT_EQ(copy->list(), &list);
    EXPECT_EQ(copy->firstChild(), nullptr);
    EXPECT_EQ(before.sameAs(copy.get()), kForeignItem);
    // The released child serves the next copy; then the list allocates.
    EXPECT_NE(list.copyOf(source, false), nullptr);
    EXPECT_NE(list.copyOf(source, false), nullptr);
  }
}

}  // namespace
}  // namespace tolvex
