// Hostile and edge-case handheld bytes fed to the export's pure parsers, and
// the filter file writer on its own.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "export/Export.h"

namespace tolvex {
namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = v >> 8;
  b[at + 1] = v & 0xFF;
}
void put32(Bytes& b, size_t at, uint32_t v) {
  put16(b, at, v >> 16);
  put16(b, at + 2, v & 0xFFFF);
}
void putText(Bytes& b, size_t at, const std::string& s) {
  if (!s.empty()) std::memcpy(b.data() + at, s.data(), s.size());
}

Bytes filterRecord(const std::string& title, uint16_t ruleCount, size_t size) {
  Bytes b(size, 0);
  putText(b, 0, title.substr(0, std::min<size_t>(title.size(), size)));
  if (size >= 40) {
    put32(b, 32, 77);
    put16(b, 36, 4);
    put16(b, 38, ruleCount);
  }
  return b;
}

void putRule(Bytes& b, size_t index, uint16_t op, uint16_t relation, uint16_t flagWord,
             const std::string& value) {
  size_t at = 40 + index * 28;
  put16(b, at, op);
  put16(b, at + 2, relation);
  put16(b, at + 4, flagWord);
  putText(b, at + 6, value);
}

size_t ruleCount(const Filter& f) {
  size_t n = 0;
  for (const FilterRule* r = f.rules.get(); r; r = r->next.get()) ++n;
  return n;
}

// ---- tags ----

TEST(TagParsers, LabelsAndNamesEndAtTheirFields) {
  Bytes block(274, 0);
  putText(block, 2, "ABCDEFGHIJKLMNOP");   // slot 0 fills its 16 bytes
  putText(block, 18, "Second");
  block[258] = 250;
  block[259] = 9;
  TagCategories c = parseTagCategories(block.data(), block.size());
  EXPECT_EQ(c[0].label, "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(c[0].uniqueID, 250);
  EXPECT_EQ(c[1].label, "Second");
  EXPECT_EQ(c[1].uniqueID, 9);
  EXPECT_EQ(c[15].label, "");

  Bytes record(36, 'x');
  put32(record, 32, 0xFFFFFFFF);
  TagRecord t = parseTagRecord(record.data(), record.size());
  EXPECT_EQ(t.name, std::string(32, 'x'));
  EXPECT_EQ(t.tagID, 0xFFFFFFFFu);
}

TEST(TagParsers, ShortBlocksAndRecordsReadOnlyTheirBytes) {
  // Exactly-sized heap copies so that ASan catches any read past them.
  for (size_t size : {0, 1, 3, 10, 257, 260, 273}) {
    auto block = std::make_unique<uint8_t[]>(size ? size : 1);
    std::memset(block.get(), 'a', size);
    TagCategories c = parseTagCategories(block.get(), size);
    if (size >= 18) {
      EXPECT_EQ(c[0].label, std::string(16, 'a')) << size;
    }
    if (size == 10) {
      EXPECT_EQ(c[0].label, std::string(8, 'a'));
    }
    EXPECT_EQ(c[15].uniqueID, size >= 274 ? 'a' : 0) << size;
  }
  for (size_t size : {0, 2, 31, 33, 35}) {
    auto record = std::make_unique<uint8_t[]>(size ? size : 1);
    std::memset(record.get(), 1, size);
    TagRecord t = parseTagRecord(record.get(), size);
    EXPECT_EQ(t.name.size(), std::min<size_t>(size, 32)) << size;
    EXPECT_EQ(t.tagID, size == 33 ? 0x01000000u : size == 35 ? 0x01010100u : 0u) << size;
  }
}

TEST(TagList, FilesTagsAndDropsBadSlots) {
  TagCategories categories;
  categories[0] = {3, "Home"};
  categories[2] = {4, "Work"};
  MemoryRunLog log;
  auto list = makeTagList(categories, log);
  EXPECT_EQ(log.text(),
            "#     Found Tag Category 0: 3:'Home'\n#     Found Tag Category 2: 4:'Work'\n");
  log.clear();

  EXPECT_TRUE(fileTag(*list, 2, 0x11, {"Call", 5}, log));
  EXPECT_TRUE(fileTag(*list, 2, 0x12, {"Mail", 6}, log));
  EXPECT_TRUE(fileTag(*list, 1, 0x13, {"Orphan", 7}, log));
  EXPECT_FALSE(fileTag(*list, 16, 0x14, {"Far", 8}, log));
  EXPECT_FALSE(fileTag(*list, -1, 0x15, {"Negative", 9}, log));
  EXPECT_FALSE(fileTag(*list, 32767, 0x16, {"Huge", 10}, log));
  EXPECT_EQ(log.text(),
            "#   Retrieved Work/Call (5)\n"
            "#   Retrieved Work/Mail (6)\n"
            "#   Retrieved /Orphan (7)\n"
            "#   ERROR: Bad slot 16 for tag Far\n"
            "#   ERROR: Bad slot 4294967295 for tag Negative\n"
            "#   ERROR: Bad slot 32767 for tag Huge\n");
  EXPECT_EQ(list->size(), 16u + 3u);

  EXPECT_EQ(purgeEmptyCategories(*list), 14u);
  ListNode* home = list->head();
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(home->title(), "Home");
  EXPECT_EQ(home->uniqueID(), 3u);
  EXPECT_EQ(home->firstChild(), nullptr);
  ListNode* work = home->next();
  ASSERT_NE(work, nullptr);
  EXPECT_EQ(work->next(), nullptr);
  ListNode* call = work->firstChild();
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(call->uniqueID(), 0x11u);
  EXPECT_EQ(call->title(), "5");
  EXPECT_EQ(call->note(), "Call");
  ASSERT_NE(call->next(), nullptr);
  EXPECT_EQ(call->next()->note(), "Mail");
  EXPECT_EQ(list->size(), 4u);
}

TEST(TagList, AllSlotsEmptyLeavesNoItem) {
  MemoryRunLog log;
  auto list = makeTagList(TagCategories{}, log);
  fileTag(*list, 15, 1, {"Lost", 1}, log);
  EXPECT_EQ(purgeEmptyCategories(*list), 16u);
  EXPECT_EQ(list->head(), nullptr);
}

// ---- filters ----

TEST(FilterParsers, RuleNumbers) {
  struct Case {
    const char* field;
    uint32_t value;
  } cases[] = {
      {"3", 3},          {"abc", 0},        {"", 0},          {"  -1", 4294967295u},
      {"+12x", 12},      {"\t7 8", 7},      {"-", 0},         {"--5", 0},
      {"4294967296", 0}, {"4294967295", 4294967295u}, {"- 5", 0},
  };
  for (const Case& c : cases) {
    uint8_t field[22] = {};
    std::memcpy(field, c.field, std::strlen(c.field));
    EXPECT_EQ(parseRuleNumber(field, sizeof field), c.value) << c.field;
  }
  // Digits to the end of the field, no terminator: stops at the field's end.
  auto digits = std::make_unique<uint8_t[]>(22);
  std::memset(digits.get(), '1', 22);
  digits[0] = '0';
  parseRuleNumber(digits.get(), 22);
  uint8_t nine[3] = {'9', '9', '9'};
  EXPECT_EQ(parseRuleNumber(nine, 2), 99u);
}

TEST(FilterParsers, RulesAreChainedInReverseWithFlagBits) {
  Bytes b = filterRecord("Mixed", 3, 40 + 3 * 28);
  putRule(b, 0, 1, 9, 5, "a & b");      // text; flags 1, group 2
  putRule(b, 1, 10, 2, 0xFFFE, "3");    // other bits ignored: flags 0, group 3
  putRule(b, 2, 20, 0, 1, "12");        // no row: a number
  MemoryRunLog log;
  auto f = parseFilterRecord(b.data(), b.size(), &log);
  EXPECT_EQ(f->title, "Mixed");
  EXPECT_EQ(f->uniqueID, 77u);
  EXPECT_EQ(f->flags, 4u);
  ASSERT_EQ(ruleCount(*f), 3u);
  const FilterRule* r = f->rules.get();
  EXPECT_EQ(r->operation, 20u);
  EXPECT_FALSE(r->text);
  EXPECT_EQ(r->number, 12u);
  r = r->next.get();
  EXPECT_EQ(r->operation, 10u);
  EXPECT_EQ(r->flags, 0);
  EXPECT_EQ(r->group, 3);
  EXPECT_EQ(r->number, 3u);
  r = r->next.get();
  EXPECT_EQ(r->relation, 9u);
  EXPECT_EQ(r->text, "a & b");
  EXPECT_EQ(r->flags, 1);
  EXPECT_EQ(r->group, 2);
  EXPECT_EQ(log.text(),
            "#   Fetching filter 'Mixed'\n"
            "#     Added rule: op=1(Title Matches) r=9 f=1 g=2 v=1(a & b)\n"
            "#     Added rule: op=10(Priority) r=2 f=0 g=3 v=2(3)\n"
            "#     Added rule: op=20((error!)) r=0 f=1 g=0 v=999(12)\n");
}

TEST(FilterParsers, LyingCountsAndShortRecordsKeepWholeRules) {
  struct Case {
    size_t size;
    uint16_t count;
    size_t kept;
  } cases[] = {
      {0, 0, 0},     {20, 0, 0},     {39, 0, 0},     {40, 0, 0},      {40, 1, 0},
      {67, 1, 0},    {68, 1, 1},     {68, 2, 1},     {95, 3, 1},      {1024, 0xFFFF, 35},
      {1020, 35, 35}, {1024, 35, 35},
  };
  for (const Case& c : cases) {
    Bytes b = filterRecord(std::string(32, 'T'), c.count, c.size);
    for (size_t i = 0; i < c.kept; ++i) putRule(b, i, 3, 0, 0, std::string(22, 'v'));
    // Exactly-sized copy: ASan reports any read past the record.
    auto exact = std::make_unique<uint8_t[]>(c.size ? c.size : 1);
    if (c.size) std::memcpy(exact.get(), b.data(), c.size);
    MemoryRunLog log;
    auto f = parseFilterRecord(exact.get(), c.size, &log);
    EXPECT_EQ(ruleCount(*f), c.kept) << c.size << "/" << c.count;
    EXPECT_EQ(f->title.size(), std::min<size_t>(c.size, 32)) << c.size;
    for (const FilterRule* r = f->rules.get(); r; r = r->next.get())
      EXPECT_EQ(r->text, std::string(22, 'v'));
    bool dropped = log.text().find(" rules reach past the record; dropped.\n") != std::string::npos;
    EXPECT_EQ(dropped, c.kept < c.count) << c.size << "/" << c.count;
  }
  MemoryRunLog log;
  Bytes b = filterRecord("Lies", 0xFFFF, 1024);
  parseFilterRecord(b.data(), b.size(), &log);
  EXPECT_NE(log.text().find("!   Filter 'Lies': 65500 of 65535 rules reach past the record; "
                            "dropped.\n"),
            std::string::npos);
}

TEST(FilterParsers, OperationTableEndsAtTheNamelessRow) {
  EXPECT_STREQ(findFilterOperation(25)->name, "Address Link");
  EXPECT_EQ(findFilterOperation(22)->valueKind, kTextValueKind);
  for (unsigned code : {8u, 9u, 20u, 26u, 999u, 65535u}) EXPECT_EQ(findFilterOperation(code), nullptr);
  EXPECT_EQ(kRuleVocabularySize, 26u);
}

// ---- filter file ----

class FilterFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tolvex-filterfile-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  size_t entries() const {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir_),
                                             std::filesystem::directory_iterator()));
  }
  std::string dir_;
};

TEST_F(FilterFileTest, NoFilterTouchesNothing) {
  std::string message;
  EXPECT_EQ(FilterFileWriter().write(nullptr, dir_ + "/F.XML", message), 0);
  EXPECT_EQ(entries(), 0u);
  std::ofstream(dir_ + "/F.XML") << "old";
  EXPECT_EQ(FilterFileWriter().write(nullptr, dir_ + "/F.XML", message), 0);
  EXPECT_EQ(read(dir_ + "/F.XML"), "old");
}

TEST_F(FilterFileTest, ReplacesWholeOrKeepsTheOldFile) {
  Filter f;
  f.title = "a\"b";
  f.uniqueID = 4294967295u;
  f.flags = 65535;
  f.rules = std::make_unique<FilterRule>();
  f.rules->operation = 3;
  f.rules->text = "<\"&\">";
  std::string path = dir_ + "/F.XML";
  std::ofstream(path) << "old";
  std::string message;
  ASSERT_EQ(FilterFileWriter().write(&f, path, message), 0);
  EXPECT_EQ(read(path),
            "<?xml version=\"1.0\" encoding=\"iso-8859-1\"?>\n<TolvexFiltersFile>\n"
            "  <filter title=\"a&quot;b\" uniqueID=\"4294967295\" flags=\"65535\">\n"
            "    <filterRule operation=\"3\" hint=\"Note Matches\" relation=\"0\" "
            "value=\"&lt;&quot;&amp;&quot;&gt;\" flags=\"0\" group=\"0\"/>\n"
            "  </filter>\n</TolvexFiltersFile>\n");
  EXPECT_EQ(entries(), 1u);   // no temporary file left behind
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IRGRP, 0u) << "readable like any file the user writes";

  // A target that cannot be replaced: -2, and nothing left beside it.
  std::filesystem::create_directory(dir_ + "/D.XML");
  EXPECT_EQ(FilterFileWriter().write(&f, dir_ + "/D.XML", message), -2);
  EXPECT_TRUE(std::filesystem::is_directory(dir_ + "/D.XML"));
  EXPECT_EQ(entries(), 2u);
  EXPECT_EQ(FilterFileWriter().write(&f, dir_ + "/missing/F.XML", message), -2);
  EXPECT_TRUE(message.empty());
}

TEST(FilterChain, LongChainsReleaseWithoutRecursion) {
  std::unique_ptr<Filter> chain;
  for (int i = 0; i < 200000; ++i) {
    auto f = std::make_unique<Filter>();
    f->next = std::move(chain);
    chain = std::move(f);
  }
  chain.reset();
  SUCCEED();
}

}  // namespace
}  // namespace tolvex
