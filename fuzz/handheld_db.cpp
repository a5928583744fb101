// Reads arbitrary bytes as a handheld database file: the stand-in parses it,
// and every list database it lists is qualified and read whole.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/RunLog.h"
#include "outline/HandheldList.h"
#include "platform/syncmgr/SyncMgr.h"

namespace {

char gFolder[64];

void removeScratch() {
  unlink((std::string(gFolder) + "/device.ini").c_str());
  unlink((std::string(gFolder) + "/in.pdb").c_str());
  rmdir(gFolder);
}

const char* scratchFolder() {
  if (gFolder[0] == '\0') {
    std::snprintf(gFolder, sizeof(gFolder), "%s/tolvex-fuzz-db-XXXXXX",
                  access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    if (!mkdtemp(gFolder)) std::abort();
    if (SyncHostCreateImage(gFolder, "Fuzz") != 0) std::abort();
    std::atexit(removeScratch);
  }
  return gFolder;
}

class CountingLog : public tolvex::RunLog {
 public:
  void write(const char*) override { ++lines; }
  size_t lines = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string folder = scratchFolder();
  std::string path = folder + "/in.pdb";
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  if (SyncHostAttach(folder.c_str()) == 0) {
    CountingLog log;
    tolvex::RunEnv env{&log, folder + "/"};
    std::vector<SyncDbRecord> dbs(16);
    int count = int(dbs.size());
    SyncReadDBList(0, 0, 1, dbs.data(), &count);
    for (int i = 0; i < count && i < int(dbs.size()); ++i) {
      tolvex::DatabaseEntry entry;
      dbs[i].name[SYNC_DB_NAMELEN - 1] = '\0';
      entry.name = dbs[i].name;
      entry.created = dbs[i].createDate;
      if (std::optional<uint8_t> handle = tolvex::openListDatabase(env, entry)) {
        bool complete = false;
        std::unique_ptr<tolvex::ItemList> list = tolvex::readHandheldList(env, *handle, &complete);
        SyncCloseDB(*handle);
      }
    }
    SyncHostDetach();
  }
  unlink(path.c_str());
  return 0;
}
