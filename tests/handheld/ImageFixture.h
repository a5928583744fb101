// A temporary handheld image and desktop folder, attached to the Sync Manager
// stand-in in this process, with helpers to lay down list databases.
#ifndef TOLVEX_TESTS_HANDHELD_IMAGEFIXTURE_H
#define TOLVEX_TESTS_HANDHELD_IMAGEFIXTURE_H
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/DatabaseEntry.h"
#include "common/RunLog.h"
#include "desktop/XmlFile.h"
#include "outline/ItemRecord.h"
#include "platform/syncmgr/SyncMgr.h"
#include "tests/syncmgr/ImageFixture.h"

namespace tolvex::testing {

namespace fs = std::filesystem;

struct RawRecord {
  std::vector<uint8_t> bytes;
  bool deleted = false;
};

// An item record with a title and tree flags, packed the way the handheld does.
inline RawRecord itemRecord(const std::string& title, uint16_t tree, bool deleted = false) {
  ItemList list;
  ListNode item(0, &list);
  item.setTitle(title);
  std::vector<uint8_t> r = packItemRecord(item);
  r[86] = uint8_t(tree >> 8);
  r[87] = uint8_t(tree);
  return {r, deleted};
}

inline RawRecord headerRecord(bool syncRequest = true) {
  std::vector<uint8_t> h = newListHeaderRecord();
  if (!syncRequest) h[53] = 0;
  h[70] = 0x5A;  // an application byte that must survive
  return {h, false};
}

// The syncmgr tests' image fixture, with a desktop folder beside it.
class ImageFixture : public test::ImageTest {
 protected:
  void SetUp() override {
    test::ImageTest::SetUp();
    image_ = dir_;
    root_ = test::makeTempFolder();
    desktop_ = (root_ / "desktop").string() + "/";
    fs::create_directories(desktop_);
    env_.log = &log_;
    env_.desktopFolder = desktop_;
  }
  void TearDown() override {
    test::ImageTest::TearDown();
    fs::remove_all(root_);
  }

  // Creates a list database holding `records` in order; answers its creation date.
  uint32_t makeDatabase(const std::string& name, const std::vector<RawRecord>& records) {
    uint8_t handle = create(name.c_str());
    SyncOpenDbInfoRequest request{0x80, handle};
    SyncDbRecord info{};
    EXPECT_EQ(SyncReadOpenDbInfo(&request, &info), 0);
    uint16_t index = 0;
    for (const RawRecord& r : records) {
      write(handle, std::string(r.bytes.begin(), r.bytes.end()));
      if (r.deleted) {
        EXPECT_EQ(SyncHostSetRecordAttributes(handle, index, SYNC_REC_DELETED, 0), 0);
      }
      ++index;
    }
    EXPECT_EQ(SyncCloseDB(handle), 0);
    return info.createDate;
  }

  bool databaseExists(const std::string& name) {
    uint8_t handle = 0;
    if (SyncOpenDB(name.c_str(), 0, &handle, SYNC_MODE_READ) != 0) return false;
    SyncCloseDB(handle);
    return true;
  }

  // Records of a database: bytes, unique ID and attributes, in index order.
  struct StoredRecord {
    std::vector<uint8_t> bytes;
    uint32_t id;
    uint8_t attribs;
  };
  std::vector<StoredRecord> records(const std::string& name) {
    std::vector<StoredRecord> out;
    uint8_t handle = 0;
    if (SyncOpenDB(name.c_str(), 0, &handle, SYNC_MODE_READ) != 0) return out;
    uint16_t count = 0;
    SyncGetDBRecordCount(handle, &count);
    std::vector<uint8_t> buffer(kReadBufferSize);
    for (uint16_t i = 0; i < count; ++i) {
      SyncRecordInfo rec;
      std::memset(&rec, 0, sizeof rec);
      rec.handle = handle;
      rec.recIndex = i;
      rec.bufSize = uint16_t(kReadBufferSize);
      rec.buffer = buffer.data();
      long err = SyncReadRecordByIndex(&rec);
      if (err == SYNCERR_TOO_BIG) {  // too large to look at: only its description
        out.push_back({{}, rec.recId, rec.attribs});
        continue;
      }
      if (err != 0) break;
      out.push_back({std::vector<uint8_t>(buffer.begin(), buffer.begin() + rec.recSize), rec.recId,
                     rec.attribs});
    }
    SyncCloseDB(handle);
    return out;
  }

  std::string desktopFile(const std::string& name) { return desktop_ + name + ".XML"; }
  static std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  bool logHas(const std::string& line) const { return log_.text().find(line) != std::string::npos; }
  size_t logCount(const std::string& line) const {
    size_t n = 0;
    for (size_t at = log_.text().find(line); at != std::string::npos; at = log_.text().find(line, at + 1))
      ++n;
    return n;
  }

  // Re-attaches so the stand-in reads a new fault list and restarts its counts.
  void faults(const char* list) { arm(list); }
  uint32_t createDate(const std::string& name) {
    uint8_t handle = 0;
    if (SyncOpenDB(name.c_str(), 0, &handle, SYNC_MODE_READ) != 0) return 0;
    SyncOpenDbInfoRequest request{0x80, handle};
    SyncDbRecord info{};
    SyncReadOpenDbInfo(&request, &info);
    SyncCloseDB(handle);
    return info.createDate;
  }
  DatabaseEntry entry(const std::string& name) {
    DatabaseEntry e;
    e.name = name;
    e.created = createDate(name);
    e.presence = kOnHandheld;
    return e;
  }
  std::unique_ptr<ItemList> desktopList(const std::string& name) {
    std::string message;
    auto list = ListFileReader().read(desktopFile(name), message);
    EXPECT_TRUE(message.empty()) << message;
    return list;
  }
  // A desktop list A(B), C with no handheld IDs yet.
  void writeDesktop(const std::string& name, uint8_t upload) {
    ItemList list;
    list.setUploadFile(upload);
    auto a = std::make_unique<ListNode>(0, &list);
    a->setTitle("A \xE2\x80\xA2 caf\xC3\xA9");
    ListNode* pa = a.get();
    list.setHead(std::move(a));
    auto b = std::make_unique<ListNode>(0, &list);
    b->setTitle("B");
    pa->insertFirstChild(std::move(b));
    auto c = std::make_unique<ListNode>(0, &list);
    c->setTitle("C");
    c->setDeleted(true);
    pa->insertAfter(std::move(c));
    auto d = std::make_unique<ListNode>(0, &list);
    d->setTitle("D");
    pa->next()->insertAfter(std::move(d));
    std::string message;
    ASSERT_EQ(ListFileWriter("utf-8").write(list, desktopFile(name), message), 0);
  }
  std::vector<std::string> titles(const std::string& name) {
    std::vector<std::string> out;
    std::vector<StoredRecord> stored = records(name);
    for (size_t i = 1; i < stored.size(); ++i)
      if (const StoredRecord& r = stored[i]; r.bytes.size() > 88) out.push_back(reinterpret_cast<const char*>(&r.bytes[88]));
    return out;
  }

  fs::path root_;
  std::string image_, desktop_;
  MemoryRunLog log_;
  RunEnv env_;
};

}  // namespace tolvex::testing
#endif
