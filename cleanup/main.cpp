// conduit-cleanup: removes the Tolvex conduit's registration under the list
// databases' creator code "Wkdq" without waiting for a HotSync. Only the two
// Conduit Manager calls matter; the exit code is always 0.
#include <cstdio>
#include <cstring>

#include "platform/condmgr/CondMgr.h"

#ifndef TOLVEX_VERSION
#define TOLVEX_VERSION "unknown"
#endif

namespace {

constexpr int kPathBufferSize = 1024;

void printUsage() {
  std::fputs(
      "Usage: conduit-cleanup\n"
      "Removes the Tolvex conduit registration kept under the creator code \"Wkdq\".\n"
      "Other arguments are ignored.\n"
      "\n"
      "  --help     show this help and exit\n"
      "  --version  show the version and exit\n",
      stdout);
}

// The two flags every Linux tool answers; anything else stays ignored.
bool answeredStandardFlag(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      printUsage();
      return true;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("conduit-cleanup (Tolvex) %s\n", TOLVEX_VERSION);
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (answeredStandardFlag(argc, argv)) return 0;
  char path[kPathBufferSize] = {};
  int size = kPathBufferSize;
  if (CmGetHotSyncExecPath(path, &size) != 0) {
    std::fputs("Couldn't determine path to hotsync.exe!\n", stdout);
    return 0;
  }
  // Only a missing HotSync program is reported; the removal answer is not.
  CmRemoveConduitByCreatorID("Wkdq");
  return 0;
}
