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

TEST(ContentFingerprint, IsThePlainFnvOfEveryField) {
  std::mt19937_64 rng(5);
  auto any = [&](uint64_t bits) { return rng() & ((uint64_t{1} << bits) - 1); };
  ItemList list;
  for (int round = 0; round < 2000; ++round) {
    ListNode item(static_cast<uint32_t>(any(24)), &list);
    if (rng() % 3) item.setTitle(std::string(any(5), static_cast<char>('a' + any(4))));
    if (rng() % 2) item.setNote(std::string(any(6), '\xE9'));
    if (rng() % 4 == 0) item.setLinkFile(std::string(any(3), '/'));
    item.setDeleted(rng() % 2);
    item.setProgress(static_cast<uint8_t>(any(8)));
    item.setChecked(rng() % 2);
    item.setPriority(static_cast<uint8_t>(any(3)));
    item.setAlarmID(static_cast<uint32_t>(rng() % 3 ? 0 : any(32)));
    item.setHhCreateTime(static_cast<uint32_t>(any(32)));
    item.setHhTargetTime(static_cast<uint32_t>(any(rng() % 33)));
    item.setDispOverride(static_cast<int8_t>(any(8)), static_cast<uint32_t>(any(16)));
    item.setLinkToDo(static_cast<uint32_t>(any(24)));
    for (uint64_t n = any(2); n > 0; --n) item.addLinkEAB(static_cast<uint8_t>(any(8)), static_cast<uint32_t>(1 + any(31)));

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

}  // namespace
}  // namespace tolvex
