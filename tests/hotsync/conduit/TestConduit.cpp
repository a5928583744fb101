// A tiny conduit for the hotsync tests. OpenConduit writes what it was given
// to "run.txt" in the desktop folder, logs one line and answers
// $TEST_CONDUIT_RESULT (default 0). With $TEST_CONDUIT_HOLD set to a path it
// makes PATH.inside and then waits (up to 30 s) for PATH to appear, so a test
// can act while a run is in progress. Its action dialog has "Do not synchronize"
// (407) and "Set as default" (415) check boxes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/hotsync/ConduitApi.h"
#include "platform/os/HostOs.h"
#include "platform/syncmgr/SyncMgr.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

const OsDialogControl kControls[] = {
    {407, OS_CTL_CHECKBOX, "Do &not synchronize", 0, 0, 100, 10},
    {415, OS_CTL_CHECKBOX, "Set &as default", 0, 20, 100, 10},
    {1, OS_CTL_DEFBUTTON, "OK", 0, 40, 40, 14},
    {2, OS_CTL_BUTTON, "Cancel", 50, 40, 40, 14},
};
const OsDialogTemplate kDialogs[] = {{101, "Change HotSync Action", "MS Sans Serif", 8, 200, 60, kControls, 4}};
const OsResourceTable kTable = {nullptr, 0, kDialogs, 1, nullptr, 0, nullptr};

struct Choice {
  int doNothing = 0;
  int permanent = 0;
  int initialDoNothing = 0;
};

int procedure(OsDialog dialog, int message, uint32_t id, void* param) {
  static Choice* choice = nullptr;
  if (message == OS_MSG_INITDIALOG) {
    choice = static_cast<Choice*>(param);
    OsCheckDlgButton(dialog, 407, choice->initialDoNothing);
    return 1;
  }
  if (message != OS_MSG_COMMAND) return 0;
  if (id == 407 || id == 415) OsCheckDlgButton(dialog, id, !OsIsDlgButtonChecked(dialog, id));
  if (id == 1) {
    choice->doNothing = OsIsDlgButtonChecked(dialog, 407);
    choice->permanent = OsIsDlgButtonChecked(dialog, 415);
    OsEndDialog(dialog, 0);
  }
  if (id == 2) OsEndDialog(dialog, 1);
  return 1;
}

OsModule module() { return OsRegisterModule("test_conduit", &kTable); }

std::string fourcc(uint32_t code) {
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(code >> shift);
  return out;
}

}  // namespace

EXPORT long OpenConduit(ConduitCallback callback, RunProperties* properties) {
  std::string path = std::string(properties->desktopFolder) + "run.txt";
  if (FILE* out = std::fopen(path.c_str(), "a")) {
    std::fprintf(out, "type=%d folder=%s creator=%s callback=%d user=%s\n", properties->syncType,
                 properties->desktopFolder, fourcc(properties->creator).c_str(), callback != nullptr,
                 properties->userName);
    std::fclose(out);
  }
  if (const char* hold = std::getenv("TEST_CONDUIT_HOLD")) {
    if (FILE* inside = std::fopen((std::string(hold) + ".inside").c_str(), "w")) std::fclose(inside);
    struct stat st;
    for (int i = 0; i < 3000 && ::stat(hold, &st) != 0; ++i) ::usleep(10000);
  }
  SyncAddLogEntry("Test conduit: synchronized\n");
  const char* result = std::getenv("TEST_CONDUIT_RESULT");
  return result ? std::atol(result) : 0;
}

EXPORT long CfgConduit(int kind, void* data, uint32_t* size) {
  if (kind != 0 || !data || !size || *size != sizeof(ActionConfigBlock)) return 4217;
  auto* block = static_cast<ActionConfigBlock*>(data);
  std::printf("CfgConduit creator=%s user=%s permanent=%u temporary=%u\n", fourcc(block->creator).c_str(),
              block->userName, block->permanentSyncType, block->temporarySyncType);
  Choice choice;
  choice.initialDoNothing = block->temporarySyncType == kSyncDoNothing;
  if (OsDialogBox(module(), 101, procedure, &choice) == 0) {
    block->newSyncType = choice.doNothing ? kSyncDoNothing : kSyncFastType;
    block->preferenceKind = choice.permanent ? 1 : 2;
  }
  return 0;
}

EXPORT long ConfigureConduit(ConduitPreference* preference) {
  std::printf("ConfigureConduit type=%d\n", preference->syncType);
  Choice choice;
  choice.initialDoNothing = preference->syncType == kSyncDoNothing;
  if (OsDialogBox(module(), 101, procedure, &choice) != 0) return -1;
  preference->syncType = choice.doNothing ? kSyncDoNothing : kSyncFastType;
  preference->preferenceKind = choice.permanent ? 1 : 2;
  return 0;
}
