#include "outline/HandheldList.h"

#include "ImageFixture.h"

namespace tolvex::testing {
namespace {

class HandheldListTest : public ImageFixture {
 protected:
  std::unique_ptr<ItemList> read(const std::string& name, bool* complete = nullptr) {
    DatabaseEntry entry;
    entry.name = name;
    std::optional<uint8_t> handle = openListDatabase(env_, entry);
    if (!handle) return nullptr;
    auto list = readHandheldList(env_, *handle, complete);
    SyncCloseDB(*handle);
    return list;
  }
};

TEST_F(HandheldListTest, ReadsTreeThenDeletedRecordsInOrder) {
  makeDatabase("Tolvk-Tree", {headerRecord(), itemRecord("A", kHasFirstChild | kHasNextSibling),
                              itemRecord("B", 0), itemRecord("C", 0), itemRecord("", 0, true),
                              itemRecord("E", 0, true)});
  bool complete = false;
  auto list = read("Tolvk-Tree", &complete);
  ASSERT_TRUE(list);
  EXPECT_TRUE(complete);
  EXPECT_TRUE(logHas("#   Found 6 records.\n"));
  EXPECT_TRUE(logHas("#   Found 2 deleted records.\n"));
  ListNode* a = list->head();
  ASSERT_TRUE(a && a->firstChild() && a->next());
  EXPECT_EQ(a->title(), "A");
  EXPECT_EQ(a->firstChild()->title(), "B");
  ListNode* c = a->next();
  EXPECT_EQ(c->title(), "C");
  ASSERT_TRUE(c->next() && c->next()->next());
  EXPECT_TRUE(c->next()->deleted() && c->next()->dirtyContent());
  EXPECT_EQ(c->next()->next()->title(), "E");
  EXPECT_TRUE(c->next()->next()->deleted());
  EXPECT_FALSE(c->next()->next()->next());
  EXPECT_EQ(list->headerRecord()[70], 0x5A);
  // The items carry the handheld's record unique IDs.
  std::vector<StoredRecord> stored = records("Tolvk-Tree");
  EXPECT_EQ(a->uniqueID(), stored[1].id);
  EXPECT_EQ(c->next()->next()->uniqueID(), stored[5].id);
}

TEST_F(HandheldListTest, QualifyingChecksCountMagicAndFlag) {
  makeDatabase("Tolvk-Empty", {headerRecord()});
  auto list = read("Tolvk-Empty");
  ASSERT_TRUE(list);
  EXPECT_FALSE(list->head());
  EXPECT_TRUE(logHas("#   Found 1 records.\n"));
  EXPECT_TRUE(logHas("#   Found 0 deleted records.\n"));

  log_.clear();
  makeDatabase("Tolvk-NoFlag", {headerRecord(false), itemRecord("A", 0)});
  EXPECT_FALSE(read("Tolvk-NoFlag"));
  EXPECT_EQ(log_.text(), "#   SKIPPING: Sync request flag not set. (2 recs)\n");

  log_.clear();
  RawRecord bad = headerRecord();
  bad.bytes[58] = 'X';
  makeDatabase("Tolvk-NoMagic", {bad});
  EXPECT_FALSE(read("Tolvk-NoMagic"));
  EXPECT_EQ(log_.text(), "#   ERROR: List doesn't appear to have a header! Resave!\n"
                         "#   SKIPPING: Sync request flag not set. (1 recs)\n");

  log_.clear();
  RawRecord shortHeader = headerRecord();
  shortHeader.bytes.resize(121);
  makeDatabase("Tolvk-Short", {shortHeader});
  EXPECT_FALSE(read("Tolvk-Short"));
  EXPECT_EQ(log_.text(), "#   SKIPPING: Sync request flag not set. (1 recs)\n");

  log_.clear();
  makeDatabase("Tolvk-Nothing", {});
  EXPECT_FALSE(read("Tolvk-Nothing"));
  EXPECT_EQ(log_.text(), "#   ERROR: Skipped DB; not enough records!\n");
}

TEST_F(HandheldListTest, MissingChildKeepsWhatWasReadButIsIncomplete) {
  makeDatabase("Tolvk-Cut", {headerRecord(), itemRecord("A", kHasNextSibling),
                             itemRecord("B", kHasFirstChild)});
  bool complete = true;
  auto list = read("Tolvk-Cut", &complete);
  ASSERT_TRUE(list);
  EXPECT_FALSE(complete);
  EXPECT_TRUE(logHas("!     Error fetching record from handheld!\n"));
  EXPECT_EQ(list->size(), 2u);
  EXPECT_EQ(list->head()->next()->title(), "B");
}

TEST_F(HandheldListTest, OversizedRecordIsSkippedAndMarksTheReadIncomplete) {
  RawRecord big = itemRecord("big", kHasNextSibling);
  big.bytes.resize(kReadBufferSize + 100, 0);
  makeDatabase("Tolvk-Big", {headerRecord(), itemRecord("A", kHasNextSibling), big, itemRecord("C", 0)});
  bool complete = true;
  auto list = read("Tolvk-Big", &complete);
  ASSERT_TRUE(list);
  EXPECT_FALSE(complete);
  EXPECT_TRUE(logHas("!     Record 2 is larger than 16384 bytes; skipped, the handheld keeps it.\n"));
  EXPECT_TRUE(list->findByUniqueId(records("Tolvk-Big")[3].id));  // C was still read
}

TEST_F(HandheldListTest, LongSiblingRowAndDeepChainReadWithoutRecursion) {
  std::vector<RawRecord> recs{headerRecord()};
  const int kRow = 65000;
  for (int i = 0; i < kRow; ++i) recs.push_back(itemRecord("s", i + 1 < kRow ? kHasNextSibling : 0));
  makeDatabase("Tolvk-Row", recs);
  bool complete = false;
  auto list = read("Tolvk-Row", &complete);
  ASSERT_TRUE(list);
  EXPECT_TRUE(complete);
  EXPECT_EQ(list->size(), size_t(kRow));

  std::vector<RawRecord> deep{headerRecord()};
  const int kDepth = 5000;
  for (int i = 0; i < kDepth; ++i) deep.push_back(itemRecord("d", i + 1 < kDepth ? kHasFirstChild : 0));
  makeDatabase("Tolvk-Deep", deep);
  list = read("Tolvk-Deep", &complete);
  ASSERT_TRUE(list);
  EXPECT_TRUE(complete);
  ListNode* last = list->head();
  while (last->firstChild()) last = last->firstChild();
  EXPECT_EQ(last->depth(), kDepth - 1);
}

std::unique_ptr<ItemList> sampleList() {
  auto list = std::make_unique<ItemList>();
  auto a = std::make_unique<ListNode>(11, list.get());
  a->setTitle("A");
  a->setDirtyContent(true);
  a->setDirtyPosition(true);
  ListNode* pa = a.get();
  list->setHead(std::move(a));
  auto b = std::make_unique<ListNode>(12, list.get());
  b->setTitle("B");
  pa->insertFirstChild(std::move(b));
  auto c = std::make_unique<ListNode>(13, list.get());
  c->setTitle("C");
  pa->insertAfter(std::move(c));
  return list;
}

TEST_F(HandheldListTest, RebuildReplacesStaleTemporaryAndRenames) {
  uint32_t oldDate = makeDatabase("Tolvk-List", {headerRecord(), itemRecord("old", 0)});
  // A temporary this conduit made: the note in the desktop folder knows its date.
  uint32_t staleDate = makeDatabase(kTempDatabaseName, {headerRecord(), itemRecord("stale", 0)});
  ASSERT_TRUE(notePendingRebuild(desktop_, {kTempDatabaseName, staleDate, std::nullopt}));
  auto list = sampleList();
  list->setHeaderRecord(headerRecord().bytes.data(), kListHeaderSize);
  DatabaseEntry entry;
  entry.name = "Tolvk-List";
  entry.created = oldDate;
  bool renamed = false;
  ASSERT_TRUE(rebuildHandheldList(env_, *list, entry, &renamed));
  EXPECT_TRUE(renamed);
  EXPECT_FALSE(databaseExists(kTempDatabaseName));
  EXPECT_NE(list->uniqueTime(), oldDate);
  EXPECT_TRUE(logHas("#   Picked up unique value to: " + std::to_string(list->uniqueTime()) + "\n"));

  std::vector<StoredRecord> stored = records("Tolvk-List");
  ASSERT_EQ(stored.size(), 4u);
  EXPECT_EQ(stored[0].bytes, headerRecord().bytes);
  // Pre-order with tree flags; the items now carry the new record IDs.
  EXPECT_EQ(stored[1].bytes[87], kHasFirstChild | kHasNextSibling);
  EXPECT_EQ(stored[2].bytes[87], 0);
  EXPECT_EQ(stored[3].bytes[87], 0);
  EXPECT_EQ(stored[3].bytes[88], 'C');
  EXPECT_EQ(list->head()->uniqueID(), stored[1].id);
  EXPECT_EQ(list->head()->next()->uniqueID(), stored[3].id);
  EXPECT_FALSE(list->head()->dirtyContent() || list->head()->dirtyPosition());
  EXPECT_EQ(stored[1].bytes[5], 0);  // written without dirty flags
  EXPECT_TRUE(logHas("#   Clearing dirty content flag on desktop item.\n"));
  EXPECT_TRUE(logHas("# Renamed new file to replace old file.\n"));
}

// A handheld list that merely bears the temporary's name is the user's: no
// rebuild deletes it, and no rebuild can go on while it holds the name.
TEST_F(HandheldListTest, ForeignDatabaseUnderTheTemporaryNameIsLeftAlone) {
  const uint32_t listDate = makeDatabase("Tolvk-List", {headerRecord(), itemRecord("old", 0)});
  const uint32_t foreignDate = makeDatabase(kTempDatabaseName, {headerRecord(), itemRecord("mine", 0)});
  // A note of another database (its date differs) does not make it ours.
  ASSERT_TRUE(notePendingRebuild(desktop_, {"Tolvk-Other", foreignDate + 7, std::nullopt}));
  auto list = sampleList();
  DatabaseEntry entry{kOnBoth, "Tolvk-List", 0, listDate};
  EXPECT_FALSE(rebuildHandheldList(env_, *list, entry));
  EXPECT_TRUE(logHas("#   A database named Tolvk-*Sync* that this conduit did not make is on the handheld; left alone.\n"
                     "!   Couldn't normalize handheld file. Bailing out before problems.\n"))
      << log_.text();
  EXPECT_EQ(titles(kTempDatabaseName), std::vector<std::string>{"mine"});
  EXPECT_EQ(createDate(kTempDatabaseName), foreignDate);
  EXPECT_EQ(titles("Tolvk-List"), std::vector<std::string>{"old"});
}

// The old database cannot be deleted (it is still open): the rebuild drops
// the new one and fails, so nothing pairs a saved desktop file with the old.
TEST_F(HandheldListTest, RebuildFailsAndKeepsTheOldListWhenItCannotBeDeleted) {
  makeDatabase("Tolvk-List", {headerRecord(), itemRecord("old", 0)});
  const DatabaseEntry old = entry("Tolvk-List");
  uint8_t open = 0;
  ASSERT_EQ(SyncOpenDB("Tolvk-List", 0, &open, SYNC_MODE_READ), 0);
  auto list = sampleList();
  EXPECT_FALSE(rebuildHandheldList(env_, *list, old));
  SyncCloseDB(open);
  EXPECT_TRUE(logHas("#   ERROR: Couldn't delete original file ("));
  EXPECT_FALSE(databaseExists(kTempDatabaseName));
  EXPECT_EQ(titles("Tolvk-List"), std::vector<std::string>{"old"});
  EXPECT_FALSE(logHas("Renamed new file"));
}

TEST_F(HandheldListTest, RenameAnswersTheModuleResult) {
  makeDatabase("Tolvk-A", {headerRecord()});
  makeDatabase("Tolvk-B", {headerRecord()});
  EXPECT_FALSE(renameHandheldDatabase(env_, "Tolvk-A", "Tolvk-B"));
  EXPECT_TRUE(logHas("#     Non obvious. Dm error? Hm error?\n"));
  EXPECT_TRUE(renameHandheldDatabase(env_, "Tolvk-A", "Tolvk-C"));
  EXPECT_TRUE(databaseExists("Tolvk-C"));
  EXPECT_FALSE(databaseExists("Tolvk-A"));
}

TEST_F(HandheldListTest, FreshListGetsANewHeader) {
  auto list = sampleList();
  ASSERT_TRUE(createHandheldList(env_, *list, "Tolvk-New"));
  std::vector<StoredRecord> stored = records("Tolvk-New");
  ASSERT_EQ(stored.size(), 4u);
  EXPECT_EQ(stored[0].bytes, newListHeaderRecord());
  EXPECT_TRUE(logHas("#   Created new database Tolvk-New (in UNFILED).\n"));
  EXPECT_TRUE(logHas("#   Added header record.\n#   Clearing dirty content flag"));
  EXPECT_TRUE(logHas("#   Completed creating list.\n"));
}

}  // namespace
}  // namespace tolvex::testing
