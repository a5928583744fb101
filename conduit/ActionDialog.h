// The "Change HotSync Action" dialog: the user picks the strategy for runs at
// the same and at a different computer, the collision method, whether the
// next HotSync does nothing, and whether the choice is permanent.
//
// The choice is read from and written to the registry store; the HotSync
// host's sync type and preference kind come back in the ActionConfigBlock.
// The dialog is modal and runs on the caller's thread; one at a time.
#ifndef TOLVEX_CONDUIT_ACTIONDIALOG_H
#define TOLVEX_CONDUIT_ACTIONDIALOG_H
#include <cstdint>
#include <string>

#include "platform/hotsync/ConduitApi.h"
#include "platform/os/HostOs.h"

namespace tolvex {

// Control ids of dialog templates 101 and 399 (1004-1006 exist in 101 only).
enum : uint32_t {
  kCtlOk = 1, kCtlCancel = 2, kCtlHelp = 9,
  kCtlFastGroup = 403, kCtlFastSync = 404, kCtlFastDtOverHh = 405, kCtlFastHhOverDt = 406,
  kCtlDoNothing = 407, kCtlSlowDtOverHh = 408, kCtlSlowHhOverDt = 409,
  kCtlMethodDtOverHh = 410, kCtlMethodHhOverDt = 411, kCtlMethodKeepBoth = 412,
  kCtlSetAsDefault = 415,
  kCtlPicFastSync = 1000, kCtlPicFastDtOverHh = 1001, kCtlPicFastHhOverDt = 1002,
  kCtlPicSynchronize = 1003, kCtlDefaultAction = 1004, kCtlNextAction = 1005,
  kCtlCurrentSettings = 1006,
};

// The help command that opens a context (kHelpContext in Module.h).
constexpr uint32_t kWinHelpContextCommand = 1;

// End values of the dialog.
constexpr long kActionDialogOk = 0;
constexpr long kActionDialogCancel = 1;
constexpr long kActionDialogNotSaved = 2;  // OK, but a chosen setting could not be stored

class ActionDialog {
 public:
  // Shows template `templateId` modally over `block`, which the dialog fills on
  // OK. Answers kActionDialogOk, kActionDialogCancel, kActionDialogNotSaved
  // (the block is then left as it was), or -1 when the template cannot be
  // loaded.
  static long run(uint32_t templateId, ActionConfigBlock* block);

  // The dialog procedure; answers nonzero when it handled the message.
  static int procedure(OsDialog dialog, int message, uint32_t controlId, void* param);

  // The help file beside the library at `libraryPath`: the path cut after its
  // last "/" and "hotsync.hlp"; empty when no "/" follows the first character.
  static std::string helpFileFor(const std::string& libraryPath);

 private:
  static void startUp(OsDialog dialog, ActionConfigBlock* block);
  static void setUpBitmaps(OsDialog dialog);
  static void showCurrentSettings(OsDialog dialog, const ActionConfigBlock& block,
                                  const std::string& nextAction);
  static int command(OsDialog dialog, uint32_t controlId);
  static void accept(OsDialog dialog);
  static void showHelp();
};

}  // namespace tolvex
#endif
