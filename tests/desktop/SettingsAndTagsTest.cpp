#include <gtest/gtest.h>

#include "desktop/XmlFile.h"
#include "tests/desktop/DesktopFixtures.h"

namespace tolvex {
namespace {

using testing::readFile;
using testing::TempFolder;
using testing::writeFile;

std::string topTitles(const ItemList& list) {
  std::string out;
  for (const ListNode* n = list.head(); n; n = n->next()) out += n->title() + "=" + n->note() + " ";
  return out;
}

TEST(ConfigStore, SetIntAddsEveryNewKeySecond) {
  ConfigStore store;
  store.setInt("ConfigVersion", 1);
  ASSERT_NE(store.list(), nullptr);
  EXPECT_EQ(topTitles(*store.list()), "ConfigVersion=1 ");

  ConfigStore abc;
  abc.setInt("A", 1);
  abc.setInt("B", -2);
  abc.setInt("C", 3);
  EXPECT_EQ(topTitles(*abc.list()), "A=1 C=3 B=-2 ");
  abc.setInt("B", 20);
  abc.setInt("A", 10);
  EXPECT_EQ(topTitles(*abc.list()), "A=10 C=3 B=20 ");
  EXPECT_EQ(abc.list()->head()->uniqueID(), 0u);
}

TEST(ConfigStore, LoadReplacesTheListOrLeavesNone) {
  TempFolder folder;
  std::string path = folder.file("TolvanConfig.XML");
  writeFile(path,
            "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n<TolvanConfigFile>\n  <item>\n"
            "    <title>ConfigVersion</title>\n    <note>1</note>\n  </item>\n  <item>\n"
            "    <title>Caf\xE9</title>\n    <note>x</note>\n  </item>\n</TolvanConfigFile>\n");
  ConfigStore store;
  ASSERT_TRUE(store.load(path));
  EXPECT_EQ(topTitles(*store.list()), "ConfigVersion=1 Caf\xC3\xA9=x ");

  EXPECT_FALSE(store.load(folder.file("missing.XML")));
  EXPECT_EQ(store.list(), nullptr);
  writeFile(path, "<TolvanConfigFile><TolvanOldFile-ResaveOnHandHeld/><item/></TolvanConfigFile>");
  EXPECT_FALSE(store.load(path));
  EXPECT_EQ(store.list(), nullptr);
  store.setInt("ConfigVersion", 1);
  EXPECT_EQ(topTitles(*store.list()), "ConfigVersion=1 ");
}

// Items are linked once they are in the list: an insert beside an item of a
// list without a head makes the inserted item the head.
std::unique_ptr<ItemList> tagList() {
  auto list = std::make_unique<ItemList>();
  auto node = [&](const char* title, const char* note = nullptr) {
    auto n = std::make_unique<ListNode>(0, list.get());
    n->setTitle(std::string(title));
    if (note) n->setNote(std::string(note));
    return n;
  };
  auto addTags = [&](ListNode* category, const char* id1, const char* name1, const char* id2, const char* name2) {
    category->insertFirstChild(node(id1, name1));
    category->firstChild()->insertAfter(node(id2, name2));
  };
  list->setHead(node("Places"));
  addTags(list->head(), "1", "Home & Garden", "2", "Caf\xE9");
  list->head()->insertAfter(node("People"));
  addTags(list->head()->next(), "3", "<Ann>", "4", "Bob");
  return list;
}

TEST(TagStore, WritesTheTagFileLayoutAndReadsBack) {
  TempFolder folder;
  std::string path = folder.file("TolvanTags.XML");
  TagStore store;
  store.setList(tagList());
  ASSERT_TRUE(store.save(path));
  EXPECT_EQ(readFile(path),
            "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n<TolvanTagFile>\n"
            "  <item>\n    <title>Places</title>\n"
            "    <item>\n      <title>1</title>\n      <note>Home &amp; Garden</note>\n    </item>\n"
            "    <item>\n      <title>2</title>\n      <note>Caf\xE9</note>\n    </item>\n"
            "  </item>\n"
            "  <item>\n    <title>People</title>\n"
            "    <item>\n      <title>3</title>\n      <note>&lt;Ann&gt;</note>\n    </item>\n"
            "    <item>\n      <title>4</title>\n      <note>Bob</note>\n    </item>\n"
            "  </item>\n</TolvanTagFile>\n");
  std::string message;
  auto back = ListFileReader().read(path, message);
  ASSERT_NE(back, nullptr) << message;
  EXPECT_EQ(back->head()->firstChild()->note(), "Home & Garden");
  EXPECT_EQ(back->head()->firstChild()->next()->note(), "Caf\xC3\xA9");
}

TEST(TagStore, WithoutListAndUnwritablePath) {
  TempFolder folder;
  TagStore store;
  ASSERT_TRUE(store.save(folder.file("TolvanTags.XML")));
  EXPECT_EQ(readFile(folder.file("TolvanTags.XML")),
            "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n<TolvanTagFile>\n</TolvanTagFile>\n");
  EXPECT_FALSE(store.save(folder.file("no/such/TolvanTags.XML")));
  std::string message;
  EXPECT_EQ(TagFileWriter().write(nullptr, folder.file("no/TolvanTags.XML"), message), -2);
}

}  // namespace
}  // namespace tolvex
