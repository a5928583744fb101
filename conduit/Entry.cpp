// The conduit's exported C entry points: one run, and the identity queries.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "conduit/ConduitRun.h"
#include "conduit/Entry.h"
#include "conduit/Module.h"
#include "conduit/RunDriver.h"
#include "outline/ListCopy.h"
#include "platform/condmgr/CondMgr.h"
#include "platform/hotsync/ConduitApi.h"

#define CONDUIT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint32_t kOwnCreator = SYNC_FOURCC('W', 'k', 'd', 'q');
constexpr uint32_t kConduitVersionNumber = 0x0102;

enum : long {
  kErrNoCallback = -5, kErrNoRun = -6,
  kInfoBadKind = 4208, kInfoNoOut = 4209, kInfoBadSize = 4211, kInfoNoRequest = 4212,
  kInfoBadRequest = 4213, kInfoNoName = 4214, kInfoNoOutSize = 4215,
};

// The run, with what it throws (out of memory, say) turned into a failed
// run: what was written stands, as after a crash, and the next run takes it
// up; the host hears of a failure instead of being taken down.
int32_t runCaught(tolvex::ConduitRun& run, RunProperties& properties) {
  const char* why = "out of memory";
  try {
    return tolvex::RunDriver(run, properties).run();
  } catch (const std::bad_alloc&) {
  } catch (const std::exception& e) {
    why = e.what();
  }
  run.progress().destroy();
  run.log().line("! ERROR: The HotSync stopped: %s. Lists it did not finish are synchronized at the next HotSync.\n",
                 why);
  run.addHotSyncLogLine("FAILED Tolvan (check logs)\n");
  return tolvex::kListNotInSync;
}

}  // namespace

CONDUIT_EXPORT long OpenConduit(ConduitCallback callback, RunProperties* properties) {
  if (callback == nullptr || properties == nullptr) return kErrNoCallback;
  if (properties->creator == kOwnCreator) {
    // Invoked under the list creator: an old registration to drop.
    CmRemoveConduitByCreatorID("Wkdq");
    return 0;
  }
  auto run = std::make_unique<tolvex::ConduitRun>();
  if (!run->registerWithSyncManager()) return kErrNoRun;
  run->log().open(tolvex::desktopFolderOf(*properties));
  const int32_t result = runCaught(*run, *properties);
  run->log().close();
  if (result < 0) run->log().showInNotepad();
  run->unregisterFromSyncManager();
  return result;
}

CONDUIT_EXPORT long GetConduitName(char* buffer, uint32_t size) {
  if (buffer == nullptr) return -1;
  const int length = OsLoadString(tolvex::conduitModule(), tolvex::kStrConduitName, buffer,
                                  static_cast<int>(size & 0xFFFF));
  return length > 0 ? 0 : -1;
}

CONDUIT_EXPORT uint32_t GetConduitVersion(void) { return kConduitVersionNumber; }

CONDUIT_EXPORT long GetConduitInfo(int kind, void* request, void* out, uint32_t* outSize) {
  if (out == nullptr) return kInfoNoOut;
  if (outSize == nullptr) return kInfoNoOutSize;
  switch (kind) {
    case 0: {
      if (request == nullptr) return kInfoNoRequest;
      // Only the version and size fields are needed; the rest is not read.
      uint32_t version = 0, size = 0;
      std::memcpy(&version, static_cast<const char*>(request) + offsetof(ConduitNameRequest, version),
                  sizeof version);
      std::memcpy(&size, static_cast<const char*>(request) + offsetof(ConduitNameRequest, size),
                  sizeof size);
      if (version != 1 || size != sizeof(ConduitNameRequest)) return kInfoBadRequest;
      const uint32_t capacity = std::min<uint32_t>(*outSize, INT32_MAX);
      const int length = OsLoadString(tolvex::conduitModule(), tolvex::kStrConduitName,
                                      static_cast<char*>(out), static_cast<int>(capacity));
      return length > 0 ? 0L : long{kInfoNoName};
    }
    case 1:
    case 2: {
      if (*outSize != sizeof(uint32_t)) return kInfoBadSize;
      const uint32_t value = kind == 1 ? 0x10000000u : uint32_t{0};  // 0: eFast
      std::memcpy(out, &value, sizeof value);
      return 0;
    }
    default:
      return kInfoBadKind;
  }
}
