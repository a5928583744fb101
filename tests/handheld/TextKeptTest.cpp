// Text the handheld cannot hold (characters above its one byte, texts past
// its record limits, links past one record) stays on the desktop, through
// whole HotSyncs and over random merges; list names cross like titles.
#include <sys/wait.h>

#include <functional>
#include <map>
#include <random>
#include <set>

#include "ImageFixture.h"
#include "conduit/ListMerge.h"
#include "desktop/TextEncoding.h"
#include "outline/ListCopy.h"

namespace tolvex::testing {
namespace {

std::string latin1(std::string_view bytes) { return latin1BytesToUtf8(bytes); }

// Rewrites a stored item record as the handheld application edits one: the
// change, the record marked dirty, its tree flags kept.
void editRecord(const std::string& name, uint32_t id, const std::vector<uint8_t>& old,
                const std::function<void(ListNode&)>& edit) {
  ItemList scratch;
  auto item = unpackItemRecord(&scratch, id, old.data(), old.size(), false, nullptr);
  edit(*item);
  item->setDirtyContent(true);
  std::vector<uint8_t> bytes = packItemRecord(*item);
  bytes[86] = old[86];
  bytes[87] = old[87];
  uint8_t handle = 0;
  ASSERT_EQ(SyncOpenDB(name.c_str(), 0, &handle, 0xD0), 0);
  SyncRecordInfo rec{};
  rec.handle = handle;
  rec.recId = id;
  rec.recSize = uint32_t(bytes.size());
  rec.bufSize = uint16_t(bytes.size());
  rec.buffer = bytes.data();
  EXPECT_EQ(SyncWriteRec(&rec), 0);
  EXPECT_EQ(SyncCloseDB(handle), 0);
}

// The image and desktop folder of ImageFixture, synchronized by the hotsync
// program; between runs the test looks at and edits the image in-process.
class TextKeptTest : public ImageFixture {
 protected:
  int hotsync(const std::string& type) {
    SyncHostDetach();
    std::string command = "HOTSYNC_HOME='" + (root_ / "home").string() + "' " TOLVEX_BINARY_DIR
                          "/bin/hotsync sync --type " + type + " --device '" + image_ + "' --desktop '" +
                          desktop_ + "' >>'" + (root_ / "output.txt").string() + "' 2>&1";
    int status = std::system(command.c_str());
    EXPECT_EQ(SyncHostAttach(image_.c_str()), 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string lastLog() { return slurp(desktop_ + "lastsync.txt"); }

  void writeList(const ItemList& list, const std::string& name) {
    std::string message;
    ASSERT_EQ(ListFileWriter().write(list, desktopFile(name), message), 0);
  }
  static ListNode* add(ItemList& list, const std::string& title) {
    auto item = std::make_unique<ListNode>(0, &list);
    item->setTitle(title);
    ListNode* raw = item.get();
    list.pushBack(std::move(item));
    return raw;
  }

  // Edits item record `index` (1 = the first item).
  void editOnHandheld(const std::string& name, size_t index, const std::function<void(ListNode&)>& edit) {
    std::vector<StoredRecord> stored = records(name);
    ASSERT_LT(index, stored.size());
    editRecord(name, stored[index].id, stored[index].bytes, edit);
  }
  std::unique_ptr<ListNode> handheldItem(ItemList& scratch, const std::string& name, size_t index) {
    std::vector<StoredRecord> stored = records(name);
    if (index >= stored.size()) return nullptr;
    return unpackItemRecord(&scratch, stored[index].id, stored[index].bytes.data(), stored[index].bytes.size(),
                            false, nullptr);
  }
};

// Cases 1 to 4 of what a user sees: desktop texts and links a handheld record
// cannot hold survive handheld edits of other fields, fast and slow.
TEST_F(TextKeptTest, DesktopTextsAndLinksSurviveHandheldEditsOfOtherFields) {
  const std::string wide = "\xE6\x97\xA5\xE6\x9C\xAC \xE2\x89\xA0 \xE2\x88\x91";  // 日本 ≠ ∑
  const std::string longTitle = std::string(300, 'x') + "END";
  const std::string longNote = std::string(5000, 'n') + "END";
  // Past the 31 characters a handheld record holds of a file link.
  const std::string path = "C:/\xE6\x96\x87\xE6\x9B\xB8/projects/2026/plans/plan.txt";  // C:/文書/...
  ItemList list;
  list.setUploadFile(1);
  ListNode* a = add(list, wide);
  a->setNote("na\xC3\xAFve \xE2\x98\x83");  // naïve ☃
  a->setLinkFile(path);
  ListNode* b = add(list, longTitle);
  b->setNote(longNote);
  ListNode* c = add(list, "links");
  for (uint32_t i = 1; i <= 2000; ++i) c->addLinkEAB(1, i);
  add(list, "plain");
  writeList(list, "Tolvk-Texts");
  // A list made on the handheld: 200 handheld bytes are 400 bytes of UTF-8.
  const std::string accents(200, '\xE9');
  makeDatabase("Tolvk-Accents", {headerRecord(), itemRecord(latin1(accents), 0)});

  ASSERT_EQ(hotsync("slow"), 0) << slurp((root_ / "output.txt").string());
  EXPECT_NE(lastLog().find("#   WARNING: Item 'links' has 2000 links; its handheld record holds 1628. "
                           "The rest stay on the desktop.\n"),
            std::string::npos)
      << lastLog();
  EXPECT_EQ(titles("Tolvk-Texts")[0], "?? ? ?");
  EXPECT_EQ(titles("Tolvk-Texts")[1], std::string(260, 'x'));
  EXPECT_EQ(desktopList("Tolvk-Accents")->head()->title(), latin1(accents));

  for (size_t index : {1, 2, 3}) editOnHandheld("Tolvk-Texts", index, [](ListNode& n) { n.setChecked(true); });
  editOnHandheld("Tolvk-Texts", 4, [](ListNode& n) { n.setTitle("edited on the handheld"); });
  editOnHandheld("Tolvk-Accents", 1, [](ListNode& n) { n.setPriority(3); });
  for (const char* type : {"fast", "slow"}) {
    SCOPED_TRACE(type);
    ASSERT_EQ(hotsync(type), 0);
    auto texts = desktopList("Tolvk-Texts");
    const ListNode* n = texts->head();
    EXPECT_TRUE(n->checked());
    EXPECT_EQ(n->title(), wide);
    EXPECT_EQ(n->note(), "na\xC3\xAFve \xE2\x98\x83");
    EXPECT_EQ(n->linkFile(), std::optional<std::string>(path));
    n = n->next();
    EXPECT_TRUE(n->checked());
    EXPECT_EQ(n->title(), longTitle);
    EXPECT_EQ(n->note(), longNote);
    n = n->next();
    EXPECT_TRUE(n->checked());
    EXPECT_EQ(n->linkEAB().size(), 2000u);
    EXPECT_EQ(n->next()->title(), "edited on the handheld");
    auto accented = desktopList("Tolvk-Accents");
    EXPECT_EQ(accented->head()->priority(), 3);
    EXPECT_EQ(accented->head()->title(), latin1(accents));
    EXPECT_EQ(titles("Tolvk-Accents"), std::vector<std::string>{accents});
  }

  // The file of another build of the list (say a restored backup): its stamp
  // and IDs differ, so the slow merge pairs its items by content as the
  // handheld holds it, and a text held reduced makes no second item.
  auto restored = desktopList("Tolvk-Texts");
  restored->setUniqueTime(restored->uniqueTime() + 1);
  uint32_t id = 0x7F0000;
  ItemList::forEach(restored->head(), WalkScope::kSubtree, [&id](ListNode* n) {
    n->setUniqueID(++id);
    return true;
  });
  writeList(*restored, "Tolvk-Texts");
  ASSERT_EQ(hotsync("slow"), 0);
  EXPECT_EQ(lastLog().find("Retain"), std::string::npos) << lastLog();
  auto texts = desktopList("Tolvk-Texts");
  EXPECT_EQ(texts->size(), 4u);
  EXPECT_EQ(texts->head()->title(), wide);
  EXPECT_EQ(texts->head()->next()->note(), longNote);
  EXPECT_EQ(texts->head()->linkFile(), std::optional<std::string>(path));
  EXPECT_EQ(texts->head()->next()->next()->linkEAB().size(), 2000u);
  // A plain HotSync with such a file: the handheld's list wins whole, and it
  // holds every desktop item, so none is added, and their texts stay whole.
  texts->setUniqueTime(texts->uniqueTime() + 1);
  writeList(*texts, "Tolvk-Texts");
  ASSERT_EQ(hotsync("fast"), 0);
  EXPECT_NE(lastLog().find("Clobbering!"), std::string::npos) << lastLog();
  texts = desktopList("Tolvk-Texts");
  EXPECT_EQ(texts->size(), 4u);
  EXPECT_EQ(texts->head()->title(), wide);
  EXPECT_EQ(texts->head()->next()->note(), longNote);
  EXPECT_EQ(texts->head()->linkFile(), std::optional<std::string>(path));
  EXPECT_EQ(texts->head()->next()->next()->linkEAB().size(), 2000u);
}

// Case 7 and long names: a list name crosses as handheld bytes <-> UTF-8 file
// names, its limits count handheld bytes, and a file name the handheld cannot
// hold is left alone.
TEST_F(TextKeptTest, ListNamesCrossAsHandheldBytes) {
  ItemList list;
  list.setUploadFile(1);
  add(list, "A");
  writeList(list, "Tolvk-Caf\xC3\xA9");
  const std::string accented26 = "Tolvk-" + [] {
    std::string s;
    for (int i = 0; i < 20; ++i) s += "\xC3\xA9";
    return s;
  }();
  writeList(list, accented26);
  writeList(list, "Tolvk-\xE6\x97\xA5\xE6\x9C\xAC");                 // Tolvk-日本
  writeList(list, "Tolvk-TwentyEightCharacters1");                   // 28, and no handheld list
  const std::string unholdable = slurp(desktopFile("Tolvk-\xE6\x97\xA5\xE6\x9C\xAC"));
  makeDatabase("Tolvk-\xE9t\xE9", {headerRecord(), itemRecord("B", 0)});
  const std::string long30 = "Tolvk-ThirtyCharactersLongName";
  makeDatabase(long30, {headerRecord(), itemRecord("C", 0)});

  ASSERT_EQ(hotsync("slow"), 0);
  std::string log = lastLog();
  EXPECT_TRUE(databaseExists("Tolvk-Caf\xE9"));
  EXPECT_FALSE(databaseExists("Tolvk-Caf\xC3\xA9"));
  EXPECT_TRUE(databaseExists("Tolvk-" + std::string(20, '\xE9')));
  EXPECT_TRUE(fs::exists(desktopFile("Tolvk-\xC3\xA9t\xC3\xA9")));
  EXPECT_FALSE(fs::exists(desktop_ + "Tolvk-\xE9t\xE9.XML"));
  EXPECT_NE(log.find("# ERROR: Filename 'Tolvk-\xE6\x97\xA5\xE6\x9C\xAC.XML' holds characters a handheld list "
                     "name cannot. Skipped.\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(slurp(desktopFile("Tolvk-\xE6\x97\xA5\xE6\x9C\xAC")), unholdable);
  EXPECT_FALSE(databaseExists("Tolvk-??"));
  EXPECT_NE(log.find("# ERROR: Filename 'Tolvk-TwentyEightCharacters1.XML' is too long!\n"), std::string::npos);
  EXPECT_FALSE(databaseExists("Tolvk-TwentyEightCharacters1"));

  // Issue of long names: the 30-character list now has a desktop file; a
  // desktop edit is merged, not overwritten by the handheld's copy.
  auto desktop = desktopList(long30);
  ASSERT_TRUE(desktop);
  desktop->head()->setTitle("C edited on the desktop");
  desktop->head()->setDirtyContent(true);
  writeList(*desktop, long30);
  ASSERT_EQ(hotsync("fast"), 0);
  log = lastLog();
  EXPECT_NE(log.find(long30 + ": Synchronize (Config: "), std::string::npos) << log;
  EXPECT_EQ(titles(long30), std::vector<std::string>{"C edited on the desktop"});
  EXPECT_EQ(desktopList(long30)->head()->title(), "C edited on the desktop");
}

// Every handheld byte 0x01-0xFF in a title, a note and list names goes to the
// desktop and back: what comes back is all of it but the control characters
// XML cannot hold. ("/" and "*" cannot stand in a list name on either side.)
TEST_F(TextKeptTest, EveryHandheldByteRoundTrips) {
  std::string all, kept, nameBytes;
  for (int b = 1; b < 256; ++b) {
    all += char(b);
    bool xmlHolds = b == 0x09 || b == 0x0A || b == 0x0D || b >= 0x20;
    if (xmlHolds) kept += char(b);
    if (b != '/' && b != '*') nameBytes += char(b);
  }
  std::vector<std::string> names;
  // 26 handheld bytes: the longest name a desktop-only file may give a new list.
  for (size_t at = 0; at < nameBytes.size(); at += 20) names.push_back("Tolvk-" + nameBytes.substr(at, 20));
  for (const std::string& name : names) makeDatabase(name, {headerRecord(), itemRecord("x", 0)});
  ItemList scratch;
  ListNode item(0, &scratch);
  item.setTitle(latin1(all));
  item.setNote(latin1(all));
  std::vector<uint8_t> record = packItemRecord(item);
  makeDatabase("Tolvk-Bytes", {headerRecord(), {record, false}});

  ASSERT_EQ(hotsync("slow"), 0);
  EXPECT_NE(lastLog().find("#   WARNING: Left out 56 characters that XML cannot hold, from 1 item(s); the first is "),
            std::string::npos)
      << lastLog();
  // Back to the handheld: the lists go, their files ask to be uploaded.
  names.push_back("Tolvk-Bytes");
  for (const std::string& name : names) {
    ASSERT_TRUE(fs::exists(desktopFile(latin1(name)))) << latin1(name);
    auto list = desktopList(latin1(name));
    list->setUploadFile(1);
    writeList(*list, latin1(name));
    ASSERT_EQ(SyncDeleteDB(name.c_str(), 0), 0);
  }
  ASSERT_EQ(hotsync("fast"), 0);
  for (const std::string& name : names) EXPECT_TRUE(databaseExists(name)) << latin1(name);
  auto back = handheldItem(scratch, "Tolvk-Bytes", 1);
  ASSERT_TRUE(back);
  EXPECT_EQ(handheldTitle(back->title()), kept);
  EXPECT_EQ(handheldNote(back->note()), kept);
}

// Random desktop texts from all of Unicode, random handheld edits of other
// fields (and of some texts), random kinds of run: a desktop text the
// handheld did not change is never changed on the desktop, and the handheld
// holds its handheld form.
class TextProperty : public ImageFixture {
 protected:
  std::mt19937 rng_{20240915};
  size_t below(size_t n) { return rng_() % n; }

  uint32_t randomCharacter() {
    static const uint32_t cp1252[] = {0x20AC, 0x2022, 0x2013, 0x2019, 0x201C, 0x0152, 0x2122};
    switch (below(10)) {
      case 0: case 1: case 2: case 3: return 0x20 + below(0x5F);
      case 4: return 0xA0 + below(0x60);
      case 5: return 0x80 + below(0x20);
      case 6: return cp1252[below(std::size(cp1252))];
      case 7: return "\t\n\r"[below(3)];
      case 8: return 0x10000 + below(0x100000);
      default: {
        uint32_t cp = 0x100 + below(0xFF00 - 0x100);
        return cp >= 0xD800 && cp < 0xE000 ? 0x4E2D : cp;  // no surrogates
      }
    }
  }
  std::string randomText(size_t maxChars) {
    std::string out;
    for (size_t n = 1 + below(maxChars); n > 0; --n) {
      uint32_t cp = randomCharacter();
      char32_t c[2] = {cp, 0};
      out += toUtf8(c);
    }
    return out;
  }
  static std::string toUtf8(const char32_t* s) {
    std::string out;
    for (; *s; ++s) {
      uint32_t cp = *s;
      if (cp < 0x80) out += char(cp);
      else if (cp < 0x800) out += {char(0xC0 | cp >> 6), char(0x80 | (cp & 0x3F))};
      else if (cp < 0x10000) out += {char(0xE0 | cp >> 12), char(0x80 | (cp >> 6 & 0x3F)), char(0x80 | (cp & 0x3F))};
      else
        out += {char(0xF0 | cp >> 18), char(0x80 | (cp >> 12 & 0x3F)), char(0x80 | (cp >> 6 & 0x3F)),
                char(0x80 | (cp & 0x3F))};
    }
    return out;
  }

  struct Texts {
    std::optional<std::string> title, note, linkFile;
    size_t links = 0;
  };

  // A list whose items carry their key in hhCreateTime, which every run
  // carries unchanged.
  std::map<uint32_t, Texts> writeRandomList(const std::string& name) {
    std::map<uint32_t, Texts> texts;
    ItemList list;
    list.setUploadFile(1);
    for (uint32_t key = 1, n = 2 + uint32_t(below(5)); key <= n; ++key) {
      auto item = std::make_unique<ListNode>(0, &list);
      item->setHhCreateTime(key);
      Texts& t = texts[key];
      if (below(8) != 0) t.title = randomText(below(6) == 0 ? 400 : 40);
      if (below(2) == 0) t.note = randomText(below(8) == 0 ? 4200 : 80);
      if (below(3) == 0) t.linkFile = randomText(40);
      t.links = below(10) == 0 ? 1700 : below(3);
      if (t.title) item->setTitle(*t.title);
      if (t.note) item->setNote(*t.note);
      item->setLinkFile(t.linkFile);
      for (size_t i = 0; i < t.links; ++i) item->addLinkEAB(uint8_t(i), uint32_t(i + 1));
      list.pushBack(std::move(item));
    }
    std::string message;
    EXPECT_EQ(ListFileWriter().write(list, desktopFile(name), message), 0);
    return texts;
  }

  // Edits other fields of some handheld records and the title of a few;
  // answers the keys whose texts the handheld changed.
  std::set<uint32_t> editHandheld(const std::string& name) {
    std::set<uint32_t> changed;
    std::vector<StoredRecord> stored = records(name);
    for (size_t i = 1; i < stored.size(); ++i) {
      if (below(2) == 0) continue;
      editRecord(name, stored[i].id, stored[i].bytes, [&](ListNode& item) {
        item.setChecked(!item.checked());
        item.setPriority(uint8_t(below(6)));
        item.setHhTargetTime(uint32_t(rng_()));
        if (below(6) == 0) {
          item.setTitle("handheld " + std::to_string(rng_()));
          changed.insert(item.hhCreateTime());
        }
      });
    }
    return changed;
  }

  // One run of a random kind: a fast or slow merge under any method, or a
  // copy of the handheld list over the desktop's.
  std::string randomRun(const std::string& name) {
    size_t kind = below(9);
    if (kind == 8) {
      EXPECT_EQ(copyHandheldToDesktop(env_, entry(name), desktop_), 0);
      return "HH over DT copy";
    }
    SyncContext context;
    context.kind = kind < 4 ? kSyncFast : kSyncSlow;
    context.method = int32_t(1 + kind % 4);
    EXPECT_EQ(synchronizeList(env_, context, entry(name)), 0);
    return (kind < 4 ? "fast method " : "slow method ") + std::to_string(context.method);
  }

  void expectKept(const std::string& name, const std::map<uint32_t, Texts>& texts,
                  const std::set<uint32_t>& changed, const std::string& trace) {
    auto desktop = desktopList(name);
    ASSERT_TRUE(desktop) << trace;
    std::vector<StoredRecord> stored = records(name);
    size_t index = 1;
    ItemList::forEach(desktop->head(), WalkScope::kSubtree, [&](ListNode* item) {
      ItemList scratch;
      auto held = index < stored.size() ? unpackItemRecord(&scratch, 0, stored[index].bytes.data(),
                                                           stored[index].bytes.size(), false, nullptr)
                                        : nullptr;
      ++index;
      uint32_t key = item->hhCreateTime();
      auto t = texts.find(key);
      if (t == texts.end() || changed.count(key)) return true;
      EXPECT_EQ(item->hasTitle() ? std::optional(item->title()) : std::nullopt, t->second.title) << trace;
      EXPECT_EQ(item->hasNote() ? std::optional(item->note()) : std::nullopt, t->second.note) << trace;
      EXPECT_EQ(item->linkFile(), t->second.linkFile) << trace;
      EXPECT_EQ(item->linkEAB().size(), t->second.links) << trace;
      if (held) {
        EXPECT_EQ(handheldTitle(held->title()), handheldTitle(t->second.title.value_or(""))) << trace;
        EXPECT_EQ(handheldNote(held->note()), handheldNote(t->second.note.value_or(""))) << trace;
      } else {
        ADD_FAILURE() << "no handheld record for key " << key << " " << trace;
      }
      return true;
    });
  }
};

TEST_F(TextProperty, DesktopTextsTheHandheldDidNotChangeStayWhole) {
  const int cases = 60;
  for (int c = 0; c < cases && !HasFailure(); ++c) {
    const std::string name = "Tolvk-P" + std::to_string(c);
    log_.clear();
    std::map<uint32_t, Texts> texts = writeRandomList(name);
    ASSERT_EQ(copyDesktopToHandheld(env_, name, false), 0);
    std::set<uint32_t> changed;
    for (int round = 0; round < 3; ++round) {
      std::set<uint32_t> now = editHandheld(name);
      changed.insert(now.begin(), now.end());
      std::string trace = "case " + std::to_string(c) + " round " + std::to_string(round) + ": " + randomRun(name);
      expectKept(name, texts, changed, trace);
    }
  }
}

}  // namespace
}  // namespace tolvex::testing
