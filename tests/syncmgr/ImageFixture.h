// Shared helpers of the Sync Manager tests: a fresh handheld image in a
// temporary folder, attached for the length of one test.
#ifndef TOLVEX_TESTS_SYNCMGR_IMAGEFIXTURE_H
#define TOLVEX_TESTS_SYNCMGR_IMAGEFIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/syncmgr/SyncMgr.h"

namespace tolvex::test {

inline std::string makeTempFolder() {
  char pattern[] = "/tmp/syncmgr-test-XXXXXX";
  const char* dir = mkdtemp(pattern);
  return dir ? dir : "";
}

inline void removeFolder(const std::string& dir) {
  if (dir.empty()) return;
  std::string command = "rm -rf '" + dir + "'";
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
}

inline std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("SYNCMGR_FAULTS");
    unsetenv("SYNCMGR_TRACE");
    dir_ = makeTempFolder();
    ASSERT_FALSE(dir_.empty());
    ASSERT_EQ(SyncHostCreateImage(dir_.c_str(), "Ann"), 0);
    ASSERT_EQ(SyncHostAttach(dir_.c_str()), 0);
  }
  void TearDown() override {
    SyncHostDetach();
    unsetenv("SYNCMGR_FAULTS");
    unsetenv("SYNCMGR_TRACE");
    removeFolder(dir_);
  }
  // Re-attaches with a fault list armed (empty: none).
  void arm(const char* faults) {
    SyncHostDetach();
    if (faults) setenv("SYNCMGR_FAULTS", faults, 1); else unsetenv("SYNCMGR_FAULTS");
    ASSERT_EQ(SyncHostAttach(dir_.c_str()), 0);
  }
  void reattach() { arm(nullptr); }

  // Creates database `name` (type and creator 'Wkdq') and answers its open handle.
  uint8_t create(const char* name, uint32_t kind = SYNC_FOURCC('W', 'k', 'd', 'q')) {
    SyncCreateRecord rec{};
    rec.creator = kind;
    rec.dbType = kind;
    rec.flags = 0x0008;
    rec.version = 1;
    std::strncpy(rec.name, name, sizeof rec.name - 1);
    EXPECT_EQ(SyncCreateDB(&rec), 0) << name;
    return rec.handle;
  }
  uint32_t write(uint8_t handle, const std::string& bytes, uint32_t id = 0) {
    SyncRecordInfo info{};
    info.handle = handle;
    info.recId = id;
    info.recSize = static_cast<uint32_t>(bytes.size());
    info.bufSize = static_cast<uint16_t>(bytes.size());
    info.buffer = reinterpret_cast<uint8_t*>(const_cast<char*>(bytes.data()));
    EXPECT_EQ(SyncWriteRec(&info), 0);
    return info.recId;
  }
  // Reads record `index`; answers its bytes (info filled).
  std::string read(uint8_t handle, uint16_t index, SyncRecordInfo* info, long* err = nullptr) {
    static uint8_t buffer[16384];
    std::memset(info, 0, sizeof *info);
    info->handle = handle;
    info->recIndex = index;
    info->bufSize = sizeof buffer;
    info->buffer = buffer;
    long e = SyncReadRecordByIndex(info);
    if (err) *err = e; else EXPECT_EQ(e, 0);
    return e == 0 ? std::string(reinterpret_cast<char*>(buffer), info->recSize) : std::string();
  }
  std::string path(const std::string& file) const { return dir_ + "/" + file; }
  // Renames a database through the handheld sync module; answers its result code.
  uint32_t renameDb(const char* from, const char* to) {
    char block[71] = {};
    std::strncpy(block, from, 34);
    std::strncpy(block + 35, to, 34);
    block[70] = '{';
    char reply[71];
    SyncCallModuleParams call{};
    call.creator = SYNC_FOURCC('Q', 'z', 'v', 'm');
    call.type = SYNC_FOURCC('a', 'p', 'p', 'l');
    call.function = SYNC_MODULE_RENAME_DB;
    call.paramSize = sizeof block;
    call.param = block;
    call.replySize = sizeof reply;
    call.reply = reply;
    EXPECT_EQ(SyncCallRemoteModule(&call), 0);
    return call.resultCode;
  }

  std::string dir_;
};

}  // namespace tolvex::test

#endif
