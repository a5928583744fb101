#include "outline/ItemRecord.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tolvex {
namespace {

std::vector<uint8_t> bytesOf(std::initializer_list<int> values) {
  std::vector<uint8_t> v;
  for (int x : values) v.push_back(uint8_t(x));
  return v;
}

void put16(std::vector<uint8_t>& r, size_t off, uint16_t v) {
  r[off] = uint8_t(v >> 8);
  r[off + 1] = uint8_t(v);
}
void put32(std::vector<uint8_t>& r, size_t off, uint32_t v) {
  put16(r, off, uint16_t(v >> 16));
  put16(r, off + 2, uint16_t(v));
}

std::unique_ptr<ListNode> unpack(ItemList& list, const std::vector<uint8_t>& r, uint16_t* tree = nullptr,
                                 bool deleted = false) {
  return unpackItemRecord(&list, 77, r.data(), r.size(), deleted, tree);
}

TEST(ItemRecord, WorkedExamplePacksToItsNinetyFourBytes) {
  ItemList list;
  auto first = std::make_unique<ListNode>(1, &list);
  first->setExpanded(true);
  first->setPriority(2);
  first->setProgress(50);
  first->setTitle("Ab");
  ListNode* item = first.get();
  list.setHead(std::move(first));
  item->insertAfter(std::make_unique<ListNode>(2, &list));

  std::vector<uint8_t> r = packItemRecord(*item);
  ASSERT_EQ(r.size(), 94u);
  std::vector<uint8_t> expected(94, 0);
  expected[0] = 0x01;
  expected[5] = 0x01;
  expected[9] = 0x02;
  expected[11] = 0x32;
  expected[79] = 0x02;
  expected[87] = 0x01;
  expected[88] = 0x41;
  expected[89] = 0x62;
  EXPECT_EQ(r, expected);
}

TEST(ItemRecord, FreshHeaderHasSyncFlagAndMagic) {
  std::vector<uint8_t> h = newListHeaderRecord();
  ASSERT_EQ(h.size(), kListHeaderSize);
  std::vector<uint8_t> expected(122, 0);
  expected[53] = 0x80;
  std::memcpy(&expected[58], "Tlvk", 4);
  EXPECT_EQ(h, expected);
}

// Every field at its offset, each with a value no other field has, so that
// two fields that trade places in both the writer and the reader still fail.
TEST(ItemRecord, EveryFieldPacksToItsFixedBytesAndReadsBack) {
  ItemList list;
  auto parent = std::make_unique<ListNode>(1, &list);
  ListNode* item = parent.get();
  list.setHead(std::move(parent));
  item->insertFirstChild(std::make_unique<ListNode>(2, &list));
  item->setChecked(true);
  item->setExpanded(true);
  item->setExpandedMemo(true);
  item->setExpandedLinks(true);
  item->setDirtyContent(true);
  item->setDirtyPosition(true);
  item->setAutoNumber(7);
  item->setPriority(3);
  item->setProgress(99);
  item->setHhCreateTime(0x01020304);
  item->setHhTargetTime(0x11223344);
  item->setHhStartTime(0xA0B0C0D0);
  item->setHhFinishTime(0xFFFFFFFE);
  item->setDispColour(200);
  item->setDispBold(true);
  item->setLinkToDo(0xDEADBEEF);
  item->setLinkDatebook(42);
  item->setLinkFile(std::string("C:/plans/garden.txt"));
  item->setTitle("Caf\xC3\xA9 plan");            // U+00E9
  item->setNote("two\nlines \xC3\xBC ok");
  item->addLinkEAB(5, 0x12345678);
  item->addLinkEAB(250, 9);
  item->setDispOverride(3, 7);
  item->setAlarmID(0x00ABCDEF);

  const std::string title = "Caf\xE9 plan", note = "two\nlines \xFC ok";  // 9 and 14 bytes
  std::vector<uint8_t> fixed(156, 0);
  auto at = [&](size_t off, std::initializer_list<int> bytes) {
    for (int b : bytes) fixed[off++] = uint8_t(b);
  };
  at(0, {0x01, 0x00});
  at(2, {0, 0, 0, 0x01 | 0x02 | 0x08 | 0x10 | 0x20 | 0x40});
  at(6, {0, 7});                     // autoNumber
  at(8, {0, 3});                     // priority
  at(10, {0, 99});                   // progress
  at(12, {0x01, 0x02, 0x03, 0x04});  // hhCreateTime
  at(16, {0x11, 0x22, 0x33, 0x44});  // hhTargetTime
  at(20, {0xA0, 0xB0, 0xC0, 0xD0});  // hhStartTime
  at(24, {0xFF, 0xFF, 0xFF, 0xFE});  // hhFinishTime
  at(28, {0, 0, 0, 200});            // dispColour
  at(32, {0, 0, 0, 0x01});           // dispBold
  at(36, {0xDE, 0xAD, 0xBE, 0xEF});  // linkToDo
  at(40, {0, 0, 0, 42});             // linkDatebook
  std::memcpy(&fixed[44], "C:/plans/garden.txt", 19);
  at(76, {0, 4});                    // link entries
  at(78, {0, 9});                    // title length
  at(80, {0, 0, 0, 14});             // note length
  at(86, {0, 0x02});                 // a first child, no next sibling
  std::memcpy(&fixed[88], title.data(), 9);
  std::memcpy(&fixed[98], note.data(), 14);  // 113 is odd: the entries start at 114
  at(114, {0, 0, 0, 6, 0, 5, 0x12, 0x34, 0x56, 0x78});  // linkEAB, in order
  at(124, {0, 0, 0, 6, 0, 250, 0, 0, 0, 9});
  at(134, {0, 2, 0, 6, 0, 3, 0, 0, 0, 7});              // dispOverride
  at(144, {0, 4, 0, 6, 0, 0, 0, 0xAB, 0xCD, 0xEF});     // alarm
  EXPECT_EQ(packItemRecord(*item), fixed);

  uint16_t tree = 0;
  auto back = unpack(list, fixed, &tree);
  ASSERT_TRUE(back);
  EXPECT_EQ(tree, kHasFirstChild);
  EXPECT_EQ(back->uniqueID(), 77u);
  EXPECT_TRUE(back->checked());
  EXPECT_TRUE(back->expanded());
  EXPECT_TRUE(back->expandedMemo());
  EXPECT_FALSE(back->expandedLinks());  // written, never read
  EXPECT_TRUE(back->dirtyContent());
  EXPECT_TRUE(back->dirtyPosition());
  EXPECT_FALSE(back->deleted());
  EXPECT_EQ(back->autoNumber(), 7);
  EXPECT_EQ(back->priority(), 3);
  EXPECT_EQ(back->progress(), 99);
  EXPECT_EQ(back->hhCreateTime(), 0x01020304u);
  EXPECT_EQ(back->hhTargetTime(), 0x11223344u);
  EXPECT_EQ(back->hhStartTime(), 0xA0B0C0D0u);
  EXPECT_EQ(back->hhFinishTime(), 0xFFFFFFFEu);
  EXPECT_EQ(back->dispColour(), 200);
  EXPECT_TRUE(back->dispBold());
  EXPECT_EQ(back->linkToDo(), 0xDEADBEEFu);
  EXPECT_EQ(back->linkDatebook(), 42u);
  EXPECT_EQ(back->linkFile(), std::optional<std::string>("C:/plans/garden.txt"));
  EXPECT_EQ(back->title(), "Caf\xC3\xA9 plan");
  EXPECT_EQ(back->note(), "two\nlines \xC3\xBC ok");
  ASSERT_EQ(back->linkEAB().size(), 2u);
  EXPECT_EQ(back->linkEAB()[0].eabType, 5);
  EXPECT_EQ(back->linkEAB()[0].eabID, 0x12345678u);
  EXPECT_EQ(back->linkEAB()[1].eabType, 250);
  EXPECT_EQ(back->linkEAB()[1].eabID, 9u);
  EXPECT_EQ(back->dispOverride().kind, 3);
  EXPECT_EQ(back->dispOverride().value, 7u);
  EXPECT_EQ(back->alarmID(), 0x00ABCDEFu);
}

TEST(ItemRecord, NoteWithoutTitleAndOddAlignment) {
  ItemList list;
  ListNode item(1, &list);
  item.setNote("Hi");
  std::vector<uint8_t> r = packItemRecord(item);
  ASSERT_EQ(r.size(), 90u + 1 + 3 + 1);
  EXPECT_EQ(r[88], 0);
  EXPECT_EQ(r[89], 'H');
  EXPECT_EQ(r[90], 'i');
  EXPECT_EQ(r[91], 0);
  EXPECT_EQ(r[79], 0);
  EXPECT_EQ(r[83], 2);
  auto back = unpack(list, r);
  EXPECT_FALSE(back->hasTitle());
  EXPECT_EQ(back->note(), "Hi");

  // 88 + 2 + 1 is odd: the entries start after one alignment byte.
  ListNode odd(2, &list);
  odd.setTitle("Ab");
  odd.setAlarmID(5);
  r = packItemRecord(odd);
  EXPECT_EQ(r[91], 0);
  EXPECT_EQ(r[92], 0);
  EXPECT_EQ(r[93], 4);  // kind 4 at offset 92
  EXPECT_EQ(unpack(list, r)->alarmID(), 5u);

  // A character outside Latin-1 is stored as its Windows-1252 byte.
  ListNode bullet(3, &list);
  bullet.setTitle("\xE2\x80\xA2");
  r = packItemRecord(bullet);
  EXPECT_EQ(r[79], 1);
  EXPECT_EQ(r[88], 0x95);
}

TEST(ItemRecord, LongLinkFileKeepsThirtyOneBytes) {
  ItemList list;
  ListNode item(1, &list);
  item.setLinkFile(std::string(40, 'x'));
  std::vector<uint8_t> r = packItemRecord(item);
  EXPECT_EQ(r[44 + 30], 'x');
  EXPECT_EQ(r[44 + 31], 0);
  EXPECT_EQ(unpack(list, r)->linkFile(), std::optional<std::string>(std::string(31, 'x')));
}

TEST(ItemRecord, DeletedRecordWithoutDataIsDeletedAndDirty) {
  ItemList list;
  auto item = unpackItemRecord(&list, 9, nullptr, 0, true, nullptr);
  ASSERT_TRUE(item);
  EXPECT_TRUE(item->deleted());
  EXPECT_TRUE(item->dirtyContent());
  EXPECT_FALSE(item->hasTitle());
  EXPECT_EQ(item->dispOverride().kind, -1);
}

// A small valid record: title "Ab", `entries` link slots after it.
std::vector<uint8_t> recordWithEntries(uint16_t declared, size_t slots) {
  std::vector<uint8_t> r(92 + 10 * slots, 0);
  put16(r, 76, declared);
  put16(r, 78, 2);
  r[88] = 'A';
  r[89] = 'b';
  return r;
}

TEST(ItemRecord, HostileRecordsStopAtTheirEnd) {
  ItemList list;
  {  // title without terminator up to the end of the record
    std::vector<uint8_t> r(100, 'z');
    std::fill(r.begin(), r.begin() + 88, 0);
    put16(r, 78, 500);
    put32(r, 80, 1000);
    auto item = unpack(list, r);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->title(), std::string(12, 'z'));
    EXPECT_FALSE(item->hasNote());
  }
  {  // note start far beyond the record
    std::vector<uint8_t> r = recordWithEntries(0, 0);
    put16(r, 78, 60000);
    put32(r, 80, 0xFFFFFFFF);
    auto item = unpack(list, r);
    EXPECT_EQ(item->title(), "Ab");
    EXPECT_FALSE(item->hasNote());
  }
  {  // a link count that lies: only the entries inside the record are taken
    std::vector<uint8_t> r = recordWithEntries(60000, 2);
    for (size_t i = 0; i < 2; ++i) {
      put16(r, 92 + 10 * i, 0);
      put16(r, 94 + 10 * i, 6);
      put16(r, 96 + 10 * i, 1);
      put32(r, 98 + 10 * i, uint32_t(i + 10));
    }
    auto item = unpack(list, r);
    ASSERT_EQ(item->linkEAB().size(), 2u);
    EXPECT_EQ(item->linkEAB()[1].eabID, 11u);
  }
  {  // an entry cut by the end of the record is not read
    std::vector<uint8_t> r = recordWithEntries(1, 1);
    put16(r, 92, 4);
    put32(r, 98, 99);
    r.resize(r.size() - 1);
    EXPECT_EQ(unpack(list, r)->alarmID(), 0u);
  }
  {  // unknown kinds are stepped over by their length, then reading goes on
    std::vector<uint8_t> r = recordWithEntries(2, 2);
    put16(r, 92, 9);
    put16(r, 94, 6);
    put16(r, 102, 4);
    put16(r, 104, 6);
    put32(r, 108, 123);
    EXPECT_EQ(unpack(list, r)->alarmID(), 123u);
    put16(r, 94, 0x7FFF);  // a length that leaves the record stops the reading
    EXPECT_EQ(unpack(list, r)->alarmID(), 0u);
  }
  {  // a reported size beyond the read buffer is cut to the buffer
    std::vector<uint8_t> r(kReadBufferSize + 64, 'q');
    std::fill(r.begin(), r.begin() + 88, 0);
    put16(r, 78, 1);
    auto item = unpackItemRecord(&list, 1, r.data(), r.size(), false, nullptr);
    EXPECT_EQ(item->title().size(), ListNode::kMaxTitleBytes);
  }
  {  // a short fixed part reads as zero
    std::vector<uint8_t> r = bytesOf({1, 0, 0, 0, 0, 0x08});
    uint16_t tree = 0xFFFF;
    auto item = unpack(list, r, &tree);
    EXPECT_TRUE(item->checked());
    EXPECT_EQ(tree, 0);
  }
}

TEST(ItemRecord, OverrideSignAndAbsentEntries) {
  ItemList list;
  ListNode item(1, &list);
  item.setTitle("x");
  std::vector<uint8_t> r = packItemRecord(item);
  EXPECT_EQ(r[77], 0);  // no override (kind -1), no alarm
  std::vector<uint8_t> hostile = recordWithEntries(1, 1);
  put16(hostile, 92, 2);
  put16(hostile, 96, 0x00FE);  // low byte as a signed number: -2
  put32(hostile, 98, 8);
  EXPECT_EQ(unpack(list, hostile)->dispOverride().kind, -2);
}

TEST(ItemRecord, ManyAddressLinksStillFitTheReadBuffer) {
  ItemList list;
  ListNode item(1, &list);
  item.setTitle(std::string(260, 't'));
  item.setNote(std::string(4095, 'n'));
  for (int i = 0; i < 3000; ++i) item.addLinkEAB(1, uint32_t(i));
  item.setAlarmID(3);
  std::vector<uint8_t> r = packItemRecord(item);
  ASSERT_LE(r.size(), kReadBufferSize);
  auto back = unpack(list, r);
  EXPECT_EQ(back->alarmID(), 3u);
  EXPECT_EQ(back->linkEAB().front().eabID, 0u);
  EXPECT_EQ(back->note().size(), 4095u);
}

}  // namespace
}  // namespace tolvex
