#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <random>

#include "desktop/AtomicFile.h"
#include "desktop/TextEncoding.h"
#include "desktop/XmlFile.h"
#include "tests/desktop/DesktopFixtures.h"

namespace tolvex {
namespace {

using testing::describe;
using testing::parse;
using testing::readFile;
using testing::readList;
using testing::TempFolder;
using testing::writeFile;

const char kOldFileText[] =
    "#   This file on your handheld needs to be re-saved with a#   newer version of the Palm software "
    "for it to work with#   this conduit/desktop application version. Please#   downloader a newer "
    "application version!";

std::unique_ptr<ListNode> item(ItemList& list, uint32_t id, std::optional<std::string> title = std::nullopt) {
  auto n = std::make_unique<ListNode>(id, &list);
  if (title) n->setTitle(*title);
  return n;
}

// Three levels with every field used; tests/desktop/data/full-list.xml is its file.
std::unique_ptr<ItemList> fullList() {
  auto list = std::make_unique<ItemList>();
  list->setUniqueTime(4294967295u);
  list->setUploadFile(1);
  auto a = item(*list, 1, "Top & <one> \xC2\x95");
  a->setDirtyContent(true);
  a->setDirtyPosition(true);
  a->setDeleted(true);
  a->setChecked(true);
  a->setExpanded(true);
  a->setExpandedMemo(true);
  a->setExpandedLinks(true);
  a->setDispBold(true);
  a->setPriority(3);
  a->setProgress(50);
  a->setAutoNumber(2);
  a->setAlarmID(4294967295u);
  a->setDispColour(7);
  a->setDispOverride(5, 1234);
  a->setLocalID("L&\"<1> x\ny");
  a->setHhCreateTime(1);
  a->setHhStartTime(2);
  a->setHhFinishTime(3);
  a->setHhTargetTime(4);
  a->setNote("Note\nline two \xC2\xA3 \xC3\xA9");
  a->setLinkFile(std::string("C:/docs/caf\xC3\xA9 \xC2\x96.txt"));
  a->setLinkToDo(77);
  a->setLinkDatebook(88);
  a->addLinkEAB(1, 1001);
  a->addLinkEAB(2, 1002);
  ListNode* top = a.get();
  list->setHead(std::move(a));

  auto b = item(*list, 2, "Child");
  ListNode* child = b.get();
  top->insertFirstChild(std::move(b));
  auto c = item(*list, 3, "Grand \"q\" \xE2\x80\x99");
  c->setDirtyPosition(true);
  c->setExpanded(true);
  c->setPriority(255);
  c->setProgress(100);
  c->setAlarmID(9);
  c->setDispColour(255);
  c->setDispOverride(-128, 4294967295u);
  c->setHhCreateTime(10);
  c->setHhStartTime(20);
  c->setHhFinishTime(30);
  c->setHhTargetTime(40);
  c->setNote("deep");
  c->addLinkEAB(0, 4294967295u);
  child->insertFirstChild(std::move(c));
  child->insertAfter(item(*list, 4));
  top->insertAfter(item(*list, 5, "Last"));
  return list;
}

TEST(ListFileWriter, WritesTheExpectedFileAndReadsItBack) {
  TempFolder folder;
  auto list = fullList();
  std::string message;
  std::string path = folder.file("Tolvk-Full.XML");
  ASSERT_EQ(ListFileWriter().write(*list, path, message), 0);
  EXPECT_EQ(message, "");
  EXPECT_EQ(readFile(path), readFile(TOLVEX_SOURCE_DIR "/tests/desktop/data/full-list.xml"));
  auto back = readList(path);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(describe(*back), describe(*list));
  // Nothing but the file is left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
}

TEST(ListFileWriter, EmptyListAndReplacedFile) {
  TempFolder folder;
  std::string path = folder.file("Tolvk-Empty.XML");
  writeFile(path, "old content that is longer than the new file will be, to see it replaced whole");
  ItemList list;
  list.setUniqueTime(12);
  list.setUploadFile(255);
  std::string message;
  ASSERT_EQ(ListFileWriter().write(list, path, message), 0);
  EXPECT_EQ(readFile(path),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<TolvexFile uniqueTime=\"12\" uploadFile=\"255\">\n"
            "</TolvexFile>\n");
  auto back = readList(path);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->head(), nullptr);
  EXPECT_EQ(back->uniqueTime(), 12u);
  EXPECT_EQ(back->uploadFile(), 255);
}

TEST(ListFileWriter, FailureLeavesTheTargetUntouched) {
  TempFolder folder;
  ItemList list;
  list.setHead(item(list, 1, "x"));
  std::string message;
  EXPECT_EQ(ListFileWriter().write(list, folder.file("missing/Tolvk-A.XML"), message), -2);
  // A folder in the target's place cannot be replaced.
  std::filesystem::create_directory(folder.file("Tolvk-B.XML"));
  EXPECT_EQ(ListFileWriter().write(list, folder.file("Tolvk-B.XML"), message), -2);
  EXPECT_TRUE(std::filesystem::is_directory(folder.file("Tolvk-B.XML")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
  EXPECT_EQ(message, "");
}

// Files of a few megabytes are written by a thread of their own: the bytes
// must land whole and in order, and a write the system refuses part way (a
// full disk, here a file size limit) must fail the commit and leave the
// target as it was.
TEST(AtomicFile, LargeFilesAreReplacedWholeOrNotAtAll) {
  TempFolder folder;
  const std::string path = folder.file("Tolvk-Large.XML");
  std::mt19937 random(7);
  for (int round = 0; round < 6; ++round) {
    writeFile(path, "before");
    std::string expected;
    const size_t total = (1u << 20) + random() % (3u << 20);
    while (expected.size() < total) {
      std::string piece(1 + random() % (round % 2 ? 300000 : 700), static_cast<char>('a' + random() % 26));
      expected += piece;
    }
    const size_t limit = random() % expected.size();
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
      std::signal(SIGXFSZ, SIG_IGN);
      const rlimit cap{limit, limit};
      setrlimit(RLIMIT_FSIZE, &cap);
      AtomicFile file(path);
      bool ok = file.open();
      for (size_t at = 0; ok && at < expected.size(); at += 100000) file.write(std::string_view(expected).substr(at, 100000));
      _exit(ok && !file.commit() ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a refused write was committed, limit " << limit;
    EXPECT_EQ(readFile(path), "before");
    AtomicFile file(path);
    ASSERT_TRUE(file.open());
    size_t at = 0;
    while (at < expected.size()) {
      const size_t n = std::min<size_t>(expected.size() - at, 1 + random() % 90000);
      file.write(std::string_view(expected).substr(at, n));
      at += n;
    }
    ASSERT_TRUE(file.commit());
    EXPECT_TRUE(readFile(path) == expected) << "round " << round;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
  }
}

TEST(ListFileWriter, TextsXmlCannotHoldAreDroppedSoTheFileStillReads) {
  TempFolder folder;
  ItemList list;
  auto n = item(list, 1, "a\x01" "b\rc");
  n->setLinkFile(std::string("x\x02y"));
  list.setHead(std::move(n));
  std::string message;
  ASSERT_EQ(ListFileWriter().write(list, folder.file("l.xml"), message), 0);
  auto back = readList(folder.file("l.xml"));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->head()->title(), "ab\rc");
  EXPECT_EQ(*back->head()->linkFile(), "xy");
}

TEST(ListFileWriter, DeepTreeIsWrittenAndReadWithoutRecursion) {
  TempFolder folder;
  ItemList list;
  list.setHead(item(list, 1));
  ListNode* last = list.head();
  for (uint32_t id = 2; id <= 3000; ++id) {
    auto n = item(list, id);
    ListNode* next = n.get();
    last->insertFirstChild(std::move(n));
    last = next;
  }
  last->insertAfter(item(list, 99999));
  std::string message;
  ASSERT_EQ(ListFileWriter().write(list, folder.file("deep.xml"), message), 0);
  auto back = readList(folder.file("deep.xml"));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(describe(*back), describe(list));
  // Indentation wraps at depth 256: 2 spaces again before <item.
  std::string file = readFile(folder.file("deep.xml"));
  EXPECT_NE(file.find("\n  <item uniqueID=\"257\""), std::string::npos);
}

// Random lists: texts from an alphabet that covers the escapes, the
// pseudo-entity characters and multi-byte UTF-8.
class RandomLists {
 public:
  explicit RandomLists(uint32_t seed) : rng_(seed) {}

  std::unique_ptr<ItemList> make() {
    auto list = std::make_unique<ItemList>();
    list->setUniqueTime(u32());
    list->setUploadFile(static_cast<uint8_t>(u32()));
    size_t count = 1 + rng_() % 30;
    std::vector<ListNode*> path;
    for (size_t i = 0; i < count; ++i) {
      auto n = node(*list);
      ListNode* added = n.get();
      if (path.empty()) {
        list->setHead(std::move(n));
        path.push_back(added);
        continue;
      }
      size_t choice = rng_() % 3;
      if (choice == 0) {  // child of the last item
        path.back()->insertFirstChild(std::move(n));
        path.push_back(added);
      } else {
        size_t up = choice == 1 ? 0 : rng_() % path.size();
        path.resize(path.size() - up);
        path.back()->insertAfter(std::move(n));
        path.back() = added;
      }
    }
    return list;
  }

 private:
  uint32_t u32() { return static_cast<uint32_t>(rng_()); }
  bool coin() { return rng_() % 2 == 0; }

  std::string textOf(const std::vector<std::string>& alphabet, size_t maxChars) {
    std::string out;
    size_t n = rng_() % (maxChars + 1);
    for (size_t i = 0; i < n; ++i) out += alphabet[rng_() % alphabet.size()];
    return out;
  }

  std::optional<std::string> maybe(const std::vector<std::string>& alphabet, size_t maxChars) {
    if (rng_() % 4 == 0) return std::nullopt;
    return textOf(alphabet, maxChars);
  }

  std::unique_ptr<ListNode> node(ItemList& list) {
    static const std::vector<std::string> utf8 = {
        "a", "Z", " ", "&", "<", ">", "\"", "'", "!", ";", "\t", "\n", "\r", "&amp;", "\xC2\x91", "\xC2\x92",
        "\xC2\x93", "\xC2\x94", "\xC2\x95", "\xC2\x96", "\xC2\xA3", "\xC3\x95", "\xC3\xA3", "\xE2\x80\x93",
        "\xE4\xB8\xAD", "\xF0\x9F\x98\x80"};
    auto n = std::make_unique<ListNode>(u32(), &list);
    n->setDirtyContent(coin());
    n->setDirtyPosition(coin());
    n->setDeleted(coin());
    n->setChecked(coin());
    n->setExpanded(coin());
    n->setExpandedMemo(coin());
    n->setExpandedLinks(coin());
    n->setDispBold(coin());
    n->setPriority(static_cast<uint8_t>(u32()));
    n->setProgress(static_cast<uint8_t>(u32()));
    n->setAutoNumber(static_cast<uint8_t>(u32()));
    n->setAlarmID(u32());
    n->setDispColour(static_cast<uint8_t>(u32()));
    n->setDispOverride(static_cast<int8_t>(u32()), u32());
    n->setHhCreateTime(u32());
    n->setHhStartTime(u32());
    n->setHhFinishTime(u32());
    n->setHhTargetTime(u32());
    n->setLocalID(maybe(utf8, 40));
    n->setTitle(maybe(utf8, 300));
    n->setNote(maybe(utf8, 100));
    n->setLinkFile(maybe(utf8, 40));
    if (coin()) n->setLinkToDo(u32());
    if (coin()) n->setLinkDatebook(u32());
    for (size_t i = rng_() % 3; i > 0; --i) n->addLinkEAB(static_cast<uint8_t>(u32()), u32() | 1);
    return n;
  }

  std::mt19937 rng_;
};

// What reading gives back: an empty element produces no text, so an empty
// title, note or link file is absent after reading.
void normalise(ItemList& list) {
  ItemList::forEach(list.head(), WalkScope::kSubtree, [](ListNode* n) {
    if (n->hasTitle() && n->title().empty()) n->clearTitle();
    if (n->hasNote() && n->note().empty()) n->clearNote();
    if (n->linkFile() && n->linkFile()->empty()) n->setLinkFile(std::nullopt);
    return true;
  });
}

TEST(ListFileRoundTrip, RandomListsSurviveWriteAndRead) {
  TempFolder folder;
  std::string path = folder.file("Tolvk-Random.XML");
  for (uint32_t seed = 1; seed <= 80; ++seed) {
    auto list = RandomLists(seed).make();
    std::string message;
    ASSERT_EQ(ListFileWriter().write(*list, path, message), 0);
    auto back = readList(path);
    ASSERT_NE(back, nullptr) << "seed " << seed;
    normalise(*list);
    testing::expectSameLines(describe(*back), describe(*list), "seed " + std::to_string(seed));
    if (::testing::Test::HasFailure()) return;
  }
}

// The plain reader and expat give the same list, or both none with the same
// message, for written files and for the same with bytes dropped, added or
// changed at random (markup, references, bytes XML or UTF-8 do not allow).
TEST(ListFileReader, PlainReadingMatchesExpat) {
  TempFolder folder;
  const std::string path = folder.file("Tolvk-Plain.XML");
  const std::vector<std::string> pieces = {
      "<", ">", "&", "\"", "'", "/", " ", "\r", std::string(1, '\0'), "\x80", "\xC2", "\xC2\x85", "]]>", "x",
      "#", ";", "=", "\n", "\t", "<!-- c -->", "<?pi?>", "&#13;", "&#0;", "&#x1F600;", "&bogus;", "<item>",
      "</item>", "<item/>", "\xEF\xBF\xBE", "\x7F", "<![CDATA[x]]>", "&#xD800;", " a=\"1\"", "\xF0\x9F\x98\x80"};
  size_t plainRead = 0, declined = 0;
  auto expectSame = [&](const std::string& bytes, const std::string& context) {
    writeFile(path, bytes);
    std::string plainMessage, expatMessage;
    ListFileReader plainReader, expatReader(ListFileReader::Parser::kExpatOnly);
    auto plain = plainReader.read(path, plainMessage);
    auto expat = expatReader.read(path, expatMessage);
    SCOPED_TRACE(context);
    ASSERT_EQ(plain != nullptr, expat != nullptr) << bytes;
    ASSERT_EQ(plainMessage, expatMessage);
    if (plain) {
      ASSERT_EQ(describe(*plain), describe(*expat)) << bytes;
    }
    ++(plainReader.parserCalls() == 0 ? plainRead : declined);
  };
  const std::string head = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
  const std::string root = "<TolvexFile uniqueTime=\"7\" uploadFile=\"1\">";
  for (const std::string& item : std::vector<std::string>{
           "<item uniqueID=\"1\" localID=\"a\tb\nc  d\"/>", "<item uniqueID=\"1\" uniqueID=\"2\"/>",
           "<item localID=\"a&#9;b&#10;c&#13;d&amp;&lt;&gt;&quot;&apos;\"/>",
           "<item><title>a&amp;b&lt;c&gt;&quot;&apos;&#65;&#x42;&#x1F600;</title></item>",
           "<item><title>]]></title></item>", "<item><title>a>b]]</title><note>]></note></item>",
           "<item localID=\"a>b\"/>", "<item localID='x'/>", "<item uniqueID = \"5\"\n priority=\"2\" />",
           "<item uniqueID=\"5\"priority=\"2\"/>", "<item uniqueID=\"5\" /item>", "<Item/>", "<a:b/>",
           "<item><title>\xC2\x85\x7F</title></item>", "<item><title>&#0;</title></item>",
           "<item><title>&#x110000;</title></item>", "<item><title>&#xD800;</title></item>",
           "<item><title>&#xFFFE;</title></item>", "<item><title>&#65</title></item>",
           "<item><title>&#X41;</title></item>", "<item><title>&nbsp;</title></item>",
           "<item><title>\xEF\xBF\xBF</title></item>", "<item><title>\xC0\x80</title></item>",
           "<item><title>\xED\xA0\x80</title></item>", "<item><title>a\x01b</title></item>",
           std::string("<item><title>a\0b</title></item>"), "<item></item >", "<item></itemx>",
           "<item><title>x</title></item><!-- c -->", "<item><![CDATA[<x>]]></item>", "<item><?pi x?></item>",
           "<item><item><item><title>deep</title></item></item></item>", "<item", "<item/><"}) {
    expectSame(head + root + item + "</TolvexFile>\n", item);
  }
  for (const std::string& whole : std::vector<std::string>{
           "", head, head + "<TolvexFile/>", head + root + "</TolvexFile>x", head + root + "</TolvexFile><a/>",
           head + root + "</TolvexFile><!-- c -->\n", head + root, "\xEF\xBB\xBF" + head + root + "</TolvexFile>",
           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + root + "</TolvexFile>",
           "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>" + root + "</TolvexFile>",
           root + "</TolvexFile>", head + "x" + root + "</TolvexFile>", head + root + "</TolvexFile>\r\n",
           head + root + "<item><title>a\r\nb</title></item></TolvexFile>"}) {
    expectSame(whole, whole);
  }
  for (uint32_t seed = 1; seed <= 150 && !HasFailure(); ++seed) {
    auto list = RandomLists(seed).make();
    std::string message;
    ASSERT_EQ(ListFileWriter().write(*list, path, message), 0);
    const std::string written = readFile(path);
    std::mt19937 rng(seed);
    for (int round = 0; round < 12; ++round) {
      std::string bytes = written;
      for (int edits = round == 0 ? 0 : 1 + static_cast<int>(rng() % 3); edits > 0; --edits) {
        const size_t at = rng() % (bytes.size() + 1);
        const std::string& piece = pieces[rng() % pieces.size()];
        const unsigned how = rng() % 3;
        if (how == 0) bytes.erase(std::min(at, bytes.size()), 1 + rng() % 8);
        else if (how == 1) bytes.insert(at, piece);
        else bytes.replace(std::min(at, bytes.size()), 1, piece);
      }
      expectSame(bytes, "seed " + std::to_string(seed) + " round " + std::to_string(round));
      if (HasFailure()) return;
    }
  }
  // Both ways were taken often.
  EXPECT_GT(plainRead, 300u);
  EXPECT_GT(declined, 300u);
}

TEST(ListFileReader, FailuresReportTheMessageTexts) {
  TempFolder folder;
  std::string message = "left over";
  EXPECT_EQ(ListFileReader().read(folder.file("none.xml"), message), nullptr);
  EXPECT_EQ(message, "Couldn't open file '" + folder.file("none.xml") + "'\n");

  struct Case {
    std::string xml, message;
  };
  const Case cases[] = {
      {"<?xml version=\"1.0\"?>\n<TolvexFile>\n  <item>\n    <title>abc", "no element found at line 4\n"},
      {"", "no element found at line 1\n"},
      {"<?xml version=\"1.0\" encoding=\"x-unknown\"?>\n<TolvexFile/>\n", "unknown encoding at line 1\n"},
      {"<?xml version=\"1.0\" encoding=\"windows-1250\"?>\n<TolvexFile/>\n", "unknown encoding at line 1\n"},
      {"<?xml version=\"1.0\" encoding=\"CP1252\"?>\n<TolvexFile>\n<item><title>\x81</title></item>"
       "</TolvexFile>\n",
       "not well-formed (invalid token) at line 3\n"},
      {"<a><item></b>", "mismatched tag at line 1\n"},
  };
  for (const Case& c : cases) {
    std::string m;
    EXPECT_EQ(parse(folder, c.xml, m), nullptr) << c.xml;
    EXPECT_EQ(m, c.message) << c.xml;
  }
}

TEST(ListFileReader, OldFileMarkerCountsOnlyBeforeTheFirstItem) {
  TempFolder folder;
  std::string message;
  EXPECT_EQ(parse(folder, "<f><TolvanOldFile-ResaveOnHandHeld/><item><title>t</title></item></f>", message),
            nullptr);
  EXPECT_EQ(message, kOldFileText);
  // Parsed to its end: a later syntax error is reported too.
  message.clear();
  EXPECT_EQ(parse(folder, "<f><TolvanOldFile-ResaveOnHandHeld/><item></f>", message), nullptr);
  EXPECT_EQ(message, std::string(kOldFileText) + "mismatched tag at line 1\n");

  message.clear();
  auto list = parse(folder, "<f><item><title>t</title><TolvanOldFile-ResaveOnHandHeld/></item></f>", message);
  EXPECT_EQ(message, "");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->head()->title(), "t");
}

TEST(ListFileReader, Cp1252FileGivesUnicodeCharacters) {
  TempFolder folder;
  for (const std::string name : {"CP1252", "windows-1252"}) {
    std::string message;
    auto list = parse(folder,
                      "<?xml version=\"1.0\" encoding=\"" + name +
                          "\"?>\n<TolvexFile><item><title>\x95 \x80 \xE9</title></item></TolvexFile>",
                      message);
    ASSERT_NE(list, nullptr) << name << ": " << message;
    EXPECT_EQ(list->head()->title(), "\xE2\x80\xA2 \xE2\x82\xAC \xC3\xA9");
    // Written back as UTF-8 (no pseudo-entity); the handheld gets the bullet's own byte.
    EXPECT_EQ(encodeListText(list->head()->title()), "\xE2\x80\xA2 \xE2\x82\xAC \xC3\xA9");
    EXPECT_EQ(std::string(utf8ToHandheld(list->head()->title())), "\x95 \x80 \xE9");
  }
}

// Pads `head` + `tail` with spaces so that `marker` (which must be in `tail`)
// starts `before` bytes ahead of `boundary`.
std::string straddle(const std::string& head, const std::string& tail, const std::string& marker,
                     size_t boundary, size_t before) {
  size_t at = tail.find(marker);
  size_t pad = boundary - before - head.size() - at;
  return head + std::string(pad, ' ') + tail;
}

TEST(ListFileReader, BlockBoundariesCutNeitherNumbersNorPseudoEntities) {
  TempFolder folder;
  std::string head = "<TolvexFile uniqueTime=\"7\">\n";
  std::string first = straddle(head, "<item><hhCreateTime>4000000001</hhCreateTime><note>x!gbp!;y</note>",
                               "4000000001", 10000, 4);
  std::string xml = straddle(first, "<title>a!bullet!;b</title></item></TolvexFile>\n", "!bullet!;", 20000, 3);
  ASSERT_EQ(xml.substr(9996, 4), "4000");
  ASSERT_EQ(xml.substr(19997, 3), "!bu");
  std::string message;
  auto list = parse(folder, xml, message);
  ASSERT_NE(list, nullptr) << message;
  EXPECT_EQ(list->head()->hhCreateTime(), 4000000001u);
  EXPECT_EQ(list->head()->note(), "x\xC2\xA3y");
  EXPECT_EQ(list->head()->title(), "a\xC2\x95" "b");
}

TEST(ListFileReader, FileOfExactlyOneBlock) {
  TempFolder folder;
  std::string body = "<TolvexFile><item><title>t</title></item></TolvexFile>";
  std::string xml = body + std::string(10000 - body.size() - 1, ' ') + "\n";
  ASSERT_EQ(xml.size(), 10000u);
  std::string message;
  auto list = parse(folder, xml, message);
  ASSERT_NE(list, nullptr) << message;
  EXPECT_EQ(list->head()->title(), "t");
  // Cut one byte short of the end tag it fails on the empty final block.
  std::string cut = "<TolvexFile>" + std::string(10000 - 13, ' ') + "<";
  ASSERT_EQ(cut.size(), 10000u);
  EXPECT_EQ(parse(folder, cut, message), nullptr);
}

TEST(ListFileReader, NestingFollowsTheItemElements) {
  TempFolder folder;
  std::string message;
  auto list = parse(folder,
                    "<r><item uniqueID=\"1\"><item uniqueID=\"2\"><item uniqueID=\"3\"/></item>"
                    "<item uniqueID=\"4\"/></item><item uniqueID=\"5\"><item uniqueID=\"6\"/></item>"
                    "<item uniqueID=\"7\"/></r>",
                    message);
  ASSERT_NE(list, nullptr) << message;
  std::string shape = describe(*list);
  std::string ids;
  std::istringstream lines(shape);
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line)) ids += line.substr(0, line.find(" id=") + 5) + " ";
  EXPECT_EQ(ids, "0 id=1 1 id=2 2 id=3 1 id=4 0 id=5 1 id=6 0 id=7 ");
}

TEST(ListFileReader, ElementsInsideTextsAndLinksDoNotDisturbTheTree) {
  TempFolder folder;
  std::string message;
  // An item inside a title makes no item; a link without ID ends at its end tag.
  auto list = parse(folder,
                    "<r progress=\"9\" localID=\"before\"><item uniqueID=\"1\"><title>a<item/>b</title>"
                    "<linkToDo/><note>n</note><linkDatebook><x ID=\"5\"/></linkDatebook>"
                    "<linkToDo><item uniqueID=\"9\"/></linkToDo></item><item uniqueID=\"2\"/></r>",
                    message);
  ASSERT_NE(list, nullptr) << message;
  const ListNode* first = list->head();
  EXPECT_EQ(first->progress(), 0);
  EXPECT_FALSE(first->localID());
  EXPECT_EQ(first->title(), "ab");
  EXPECT_EQ(first->note(), "n");
  EXPECT_EQ(first->linkDatebook(), 5u);
  EXPECT_EQ(first->firstChild(), nullptr);
  ASSERT_NE(first->next(), nullptr);
  EXPECT_EQ(first->next()->uniqueID(), 2u);
  EXPECT_EQ(first->next()->next(), nullptr);
}

TEST(ListFileReader, AttributeValues) {
  TempFolder folder;
  std::string message;
  auto list = parse(folder,
                    "<r uniqueTime=\"-1\" uploadFile=\"257\"><item uniqueID=\" +42x\" dispOverride=\"-1:0\" "
                    "checked=\"no\" expanded=\"No\" expandedMemo=\"\" expandedLinks=\"yes\" dispBold=\"no\" "
                    "priority=\"300\" alarmID=\"4294967296\"/>"
                    "<item dispOverride=\"5:1234\"/><item dispOverride=\"7\"/><item dispOverride=\"abc\"/>"
                    "<item><linkEAB eabType=\"0\" eabID=\"5\"/><linkEAB eabType=\"-1\" eabID=\"6\"/>"
                    "<linkEAB eabType=\"3\" eabID=\"0\"/><linkEAB eabID=\"8\"/><linkEAB eabType=\"2\" "
                    "eabID=\"9\"/></item></r>",
                    message);
  ASSERT_NE(list, nullptr) << message;
  EXPECT_EQ(list->uniqueTime(), 4294967295u);
  EXPECT_EQ(list->uploadFile(), 1);
  const ListNode* n = list->head();
  EXPECT_EQ(n->uniqueID(), 42u);
  EXPECT_EQ(n->dispOverride().kind, -1);
  EXPECT_EQ(n->dispOverride().value, 0u);
  EXPECT_FALSE(n->checked());
  EXPECT_TRUE(n->expanded());
  EXPECT_TRUE(n->expandedMemo());
  EXPECT_TRUE(n->expandedLinks());
  EXPECT_FALSE(n->dispBold());
  EXPECT_EQ(n->priority(), 300 % 256);
  EXPECT_EQ(n->alarmID(), 0u);
  n = n->next();
  EXPECT_EQ(n->dispOverride().kind, 5);
  EXPECT_EQ(n->dispOverride().value, 1234u);
  n = n->next();
  EXPECT_EQ(n->dispOverride().kind, 7);
  EXPECT_EQ(n->dispOverride().value, 0u);
  n = n->next();
  EXPECT_EQ(n->dispOverride().kind, 0);
  EXPECT_EQ(n->dispOverride().value, 0u);
  n = n->next();
  ASSERT_EQ(n->linkEAB().size(), 2u);
  EXPECT_EQ(n->linkEAB()[0].eabType, 0);
  EXPECT_EQ(n->linkEAB()[0].eabID, 5u);
  EXPECT_EQ(n->linkEAB()[1].eabType, 2);
  EXPECT_EQ(n->linkEAB()[1].eabID, 9u);
}

TEST(ListFileReader, TextsAreJoinedAndBounded) {
  TempFolder folder;
  std::string message;
  // Longer than a handheld record holds, kept whole; only a hostile size is cut.
  std::string longTitle(5000, 'x');
  std::string hugeNote;
  for (size_t i = 0; i < ListNode::kMaxTextBytes / 2 + 10; ++i) hugeNote += "!fdquote!;";
  auto list = parse(folder,
                    "<r><item><title>a &amp; b</title><title>+c</title><hhStartTime>\n  12\n</hhStartTime>"
                    "<hhFinishTime/></item><item><title>" + longTitle + "&#233;</title><note>" + hugeNote +
                        "</note><linkFile>" + longTitle + "</linkFile></item></r>",
                    message);
  ASSERT_NE(list, nullptr) << message;
  const ListNode* n = list->head();
  EXPECT_EQ(n->title(), "a & b+c");
  EXPECT_EQ(n->hhStartTime(), 12u);
  EXPECT_EQ(n->hhFinishTime(), 0u);
  n = n->next();
  EXPECT_EQ(n->title(), longTitle + "\xC3\xA9");
  EXPECT_EQ(n->note().size(), ListNode::kMaxTextBytes);  // whole two-byte characters
  EXPECT_EQ(*n->linkFile(), longTitle);
}

TEST(ListFileReader, HostileDocumentsFailCleanly) {
  TempFolder folder;
  std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">";
  char prev = 'a';
  for (char c = 'b'; c <= 'p'; ++c) {
    laughs += std::string("<!ENTITY ") + c + " \"";
    for (int i = 0; i < 10; ++i) laughs += std::string("&") + prev + ";";
    laughs += "\">";
    prev = c;
  }
  laughs += "]><r><item><title>&p;</title></item></r>";
  std::string message;
  EXPECT_EQ(parse(folder, laughs, message), nullptr);
  EXPECT_NE(message.find("at line 1"), std::string::npos) << message;

  message.clear();
  std::string external =
      "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY e SYSTEM \"/etc/passwd\">]><r><item><title>&e;</title>"
      "</item></r>";
  auto list = parse(folder, external, message);
  if (list) {
    EXPECT_FALSE(list->head()->hasTitle());
  }
}

}  // namespace
}  // namespace tolvex
