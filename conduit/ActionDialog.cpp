#include "conduit/ActionDialog.h"

#include <cstring>

#include "conduit/Entry.h"
#include "conduit/Module.h"
#include "conduit/RegistryStore.h"

namespace tolvex {

namespace {

constexpr uint32_t kBlockVersion = 1;
constexpr uint32_t kBlockSize = sizeof(ActionConfigBlock);
constexpr uint32_t kNameRequestVersion = 1;
constexpr uint32_t kNameRequestSize = sizeof(ConduitNameRequest);
constexpr uint32_t kNameBufferSize = 256;
constexpr int kStringBufferSize = 256;
constexpr int32_t kPreferencePermanent = 1;
constexpr int32_t kPreferenceTemporary = 2;

// Results of CfgConduit for bad arguments.
constexpr long kErrNoBlock = 4212;
constexpr long kErrNoBlockSize = 4216;
constexpr long kErrWrongKind = 4217;
constexpr long kErrBlockSize = 4218;
constexpr long kErrBlockVersion = 4219;

// The registry values behind one choice: temporary, then permanent name.
struct SettingNames {
  const char* temporary;
  const char* permanent;
};
constexpr SettingNames kFastNames{"StrategyFastTemp", "StrategyFast"};
constexpr SettingNames kSlowNames{"StrategySlowTemp", "StrategySlow"};
constexpr SettingNames kMethodNames{"MethodTemp", "MethodPerm"};

// One radio of a group and the registry value it stands for.
struct RadioValue {
  uint32_t control;
  int32_t value;
};
// In the order OK looks for the first checked radio.
constexpr RadioValue kFastRadios[] = {{kCtlFastSync, 1}, {kCtlFastDtOverHh, 3}, {kCtlFastHhOverDt, 2}};
constexpr RadioValue kSlowRadios[] = {{kCtlSlowDtOverHh, 3}, {kCtlSlowHhOverDt, 2}};
constexpr RadioValue kMethodRadios[] = {
    {kCtlMethodKeepBoth, 4}, {kCtlMethodDtOverHh, 2}, {kCtlMethodHhOverDt, 1}};

// Pictures refreshed at start-up and when the system colours change.
struct PictureBitmap {
  uint32_t control;
  uint32_t bitmap;
};
constexpr PictureBitmap kPictures[] = {
    {kCtlPicFastSync, kBmpSync}, {kCtlPicFastDtOverHh, kBmpDtOverHh}, {kCtlPicFastHhOverDt, kBmpHhOverDt},
    {kCtlPicSynchronize, kBmpSynchronize}};

// The block of the open dialog, for the OK button; null while none is open.
ActionConfigBlock* openBlock = nullptr;

std::string loadString(uint32_t id) {
  char buffer[kStringBufferSize] = {};
  if (OsLoadString(conduitModule(), id, buffer, kStringBufferSize) <= 0) return std::string();
  return std::string(buffer);
}

// The pending temporary value, else the permanent one, else `fallback`.
int32_t currentSetting(const SettingNames& names, int32_t fallback) {
  int32_t value = RegistryStore::readValue(names.temporary);
  if (value > 0) return value;
  value = RegistryStore::readValue(names.permanent);
  if (value > 0) return value;
  return fallback;
}

// The string that describes a strategy value, 0 when it has none.
uint32_t strategyText(int32_t strategy) {
  switch (strategy) {
    case 1: return kStrSync8005;
    case 2: return kStrCopyHhOverDt;
    case 3: return kStrCopyDtOverHh;
    default: return 0;
  }
}

uint32_t methodRadio(int32_t method) {
  switch (method) {
    case 4: return kCtlMethodKeepBoth;
    case 1: return kCtlMethodHhOverDt;
    case 2: return kCtlMethodDtOverHh;
    default: return 0;
  }
}

uint32_t fastRadio(int32_t strategy) {
  switch (strategy) {
    case 1: return kCtlFastSync;
    case 2: return kCtlFastHhOverDt;
    case 3: return kCtlFastDtOverHh;
    default: return 0;
  }
}

uint32_t slowRadio(int32_t strategy) {
  switch (strategy) {
    case 2: return kCtlSlowHhOverDt;
    case 3: return kCtlSlowDtOverHh;
    default: return 0;
  }
}

// The text of the default action for the host's permanent sync type.
uint32_t defaultActionText(uint32_t syncType) {
  switch (syncType) {
    case kSyncFastType:
    case kSyncSlowType: return kStrSync8005;
    case kSyncHHtoPC: return kStrCopyHhOverDt;
    case kSyncPCtoHH: return kStrCopyDtOverHh;
    default: return kStrDoNothing;
  }
}

// "%s's Current Settings:" with the user's name; the name field need not be
// terminated, and the resource text is never used as a format. Without a
// name the title leaves it out ("Current Settings:", not "'s Current ...").
std::string currentSettingsTitle(const ActionConfigBlock& block) {
  std::string name(block.userName, strnlen(block.userName, sizeof(block.userName)));
  std::string text = loadString(kStrCurrentSettings);
  size_t at = text.find("%s");
  if (at == std::string::npos) return text;
  if (!name.empty()) return text.replace(at, 2, name);
  size_t end = text.find(' ', at);
  return text.erase(at, end == std::string::npos ? 2 : end + 1 - at);
}

// The value of the first checked radio of a group; 0 when none is checked.
template <size_t N>
int32_t checkedValue(OsDialog dialog, const RadioValue (&radios)[N]) {
  for (const RadioValue& radio : radios) {
    if (OsIsDlgButtonChecked(dialog, radio.control)) return radio.value;
  }
  return 0;
}

// False when a chosen value could not be stored.
bool writeIfChosen(const char* name, int32_t value) { return value <= 0 || RegistryStore::writeValue(name, value); }

}  // namespace

long ActionDialog::run(uint32_t templateId, ActionConfigBlock* block) {
  long result = OsDialogBox(conduitModule(), templateId, &ActionDialog::procedure, block);
  openBlock = nullptr;
  return result;
}

int ActionDialog::procedure(OsDialog dialog, int message, uint32_t controlId, void* param) {
  switch (message) {
    case OS_MSG_INITDIALOG:
      if (param) startUp(dialog, static_cast<ActionConfigBlock*>(param));
      return 1;
    case OS_MSG_SYSCOLORCHANGE:
      setUpBitmaps(dialog);
      return 1;
    case OS_MSG_COMMAND:
      return command(dialog, controlId);
    case OS_MSG_HELP:
      showHelp();
      return 1;
    case OS_MSG_DESTROY:
      openBlock = nullptr;
      return 1;
    default:
      return 0;
  }
}

void ActionDialog::startUp(OsDialog dialog, ActionConfigBlock* block) {
  // The next-action text is the string loaded last, so every load goes
  // through `loaded`: the group title, the window title, then the strategies.
  std::string loaded = loadString(kStrSync8009);
  OsSetDlgItemText(dialog, kCtlFastGroup, loaded.c_str());
  loaded = loadString(kStrConduitName);
  OsSetWindowText(dialog, loaded.c_str());
  setUpBitmaps(dialog);
  openBlock = block;
  OsCheckDlgButton(dialog, kCtlDoNothing, block->temporarySyncType == kSyncDoNothing ? 1 : 0);

  if (uint32_t radio = methodRadio(currentSetting(kMethodNames, 1))) OsCheckDlgButton(dialog, radio, 1);
  int32_t fast = currentSetting(kFastNames, 1);
  if (uint32_t radio = fastRadio(fast)) {
    OsCheckDlgButton(dialog, radio, 1);
    loaded = loadString(strategyText(fast));
  }
  int32_t slow = currentSetting(kSlowNames, 2);
  if (uint32_t radio = slowRadio(slow)) {
    OsCheckDlgButton(dialog, radio, 1);
    loaded = loadString(strategyText(slow));
  }
  if (block->creator != 0) showCurrentSettings(dialog, *block, loaded);
}

void ActionDialog::setUpBitmaps(OsDialog dialog) {
  for (const PictureBitmap& picture : kPictures) {
    OsSetDlgItemBitmap(dialog, picture.control, conduitModule(), picture.bitmap);
  }
}

void ActionDialog::showCurrentSettings(OsDialog dialog, const ActionConfigBlock& block,
                                       const std::string& nextAction) {
  OsSetDlgItemText(dialog, kCtlNextAction, nextAction.c_str());
  OsSetDlgItemText(dialog, kCtlDefaultAction, loadString(defaultActionText(block.permanentSyncType)).c_str());
  OsSetDlgItemText(dialog, kCtlCurrentSettings, currentSettingsTitle(block).c_str());
}

int ActionDialog::command(OsDialog dialog, uint32_t controlId) {
  switch (controlId) {
    case kCtlFastSync:
    case kCtlFastDtOverHh:
    case kCtlFastHhOverDt:
      OsCheckRadioButton(dialog, kCtlFastSync, kCtlFastHhOverDt, controlId);
      return 1;
    case kCtlSlowDtOverHh:
    case kCtlSlowHhOverDt:
      OsCheckRadioButton(dialog, kCtlSlowDtOverHh, kCtlSlowHhOverDt, controlId);
      return 1;
    case kCtlMethodDtOverHh:
    case kCtlMethodHhOverDt:
    case kCtlMethodKeepBoth:
      OsCheckRadioButton(dialog, kCtlMethodDtOverHh, kCtlMethodKeepBoth, controlId);
      return 1;
    case kCtlDoNothing:
    case kCtlSetAsDefault:  // the OS layer leaves even plain check boxes to the procedure
      OsCheckDlgButton(dialog, controlId, OsIsDlgButtonChecked(dialog, controlId) ? 0 : 1);
      return 1;
    case kCtlOk:
      accept(dialog);
      return 1;
    case kCtlCancel:
      OsEndDialog(dialog, kActionDialogCancel);
      return 1;
    case kCtlHelp:
      showHelp();
      return 1;
    default:
      return 0;
  }
}

void ActionDialog::accept(OsDialog dialog) {
  bool permanent = OsIsDlgButtonChecked(dialog, kCtlSetAsDefault) != 0;
  // Only the chosen kind's values change; a pending value of the other kind stays.
  bool saved = writeIfChosen(permanent ? kFastNames.permanent : kFastNames.temporary, checkedValue(dialog, kFastRadios));
  saved &= writeIfChosen(permanent ? kSlowNames.permanent : kSlowNames.temporary, checkedValue(dialog, kSlowRadios));
  saved &= writeIfChosen(permanent ? kMethodNames.permanent : kMethodNames.temporary, checkedValue(dialog, kMethodRadios));
  // Settings that were not stored would not be used: the action is not
  // reported as chosen either.
  if (!saved) {
    OsEndDialog(dialog, kActionDialogNotSaved);
    return;
  }
  if (openBlock) {
    openBlock->preferenceKind = permanent ? kPreferencePermanent : kPreferenceTemporary;
    openBlock->newSyncType = OsIsDlgButtonChecked(dialog, kCtlDoNothing) ? kSyncDoNothing : kSyncFastType;
  }
  OsEndDialog(dialog, kActionDialogOk);
}

std::string ActionDialog::helpFileFor(const std::string& libraryPath) {
  size_t slash = libraryPath.rfind('/');
  if (slash == std::string::npos || slash == 0) return std::string();
  return libraryPath.substr(0, slash + 1) + "hotsync.hlp";
}

void ActionDialog::showHelp() {
  const char* path = OsModulePath(conduitModule());
  std::string helpFile = helpFileFor(path ? path : "");
  if (helpFile.empty()) return;
  OsWinHelp(conduitModule(), helpFile.c_str(), kWinHelpContextCommand, kHelpContext);
}

}  // namespace tolvex

using tolvex::ActionDialog;

extern "C" __attribute__((visibility("default"))) long ConfigureConduit(ConduitPreference* preference) {
  if (!preference) return -1;
  ActionConfigBlock block;
  std::memset(&block, 0, sizeof block);
  block.version = tolvex::kBlockVersion;
  block.size = tolvex::kBlockSize;
  uint32_t syncType = static_cast<uint32_t>(preference->syncType);
  block.permanentSyncType = syncType;
  block.temporarySyncType = syncType;
  block.newSyncType = syncType;
  block.preferenceKind = tolvex::kPreferenceTemporary;
  const long ended = ActionDialog::run(tolvex::kDlgActionLegacy, &block);
  if (ended == tolvex::kActionDialogNotSaved) return kConduitSettingsNotSaved;
  if (ended != tolvex::kActionDialogOk) return -1;
  preference->syncType = static_cast<int32_t>(block.newSyncType);
  preference->preferenceKind = static_cast<int32_t>(block.preferenceKind);
  return 0;
}

extern "C" __attribute__((visibility("default"))) long CfgConduit(int kind, void* block, uint32_t* blockSize) {
  if (!block) return tolvex::kErrNoBlock;
  if (!blockSize) return tolvex::kErrNoBlockSize;
  if (*blockSize != tolvex::kBlockSize) return tolvex::kErrBlockSize;
  if (kind != 0) return tolvex::kErrWrongKind;
  auto* config = static_cast<ActionConfigBlock*>(block);
  if (config->version != tolvex::kBlockVersion) return tolvex::kErrBlockVersion;

  ConduitNameRequest request;
  std::memset(&request, 0, sizeof request);
  request.version = tolvex::kNameRequestVersion;
  request.size = tolvex::kNameRequestSize;
  request.creator = config->creator;
  request.userId = config->userId;
  std::memcpy(request.userName, config->userName, sizeof request.userName);
  char name[tolvex::kNameBufferSize] = {};
  uint32_t nameSize = tolvex::kNameBufferSize;
  // The name is looked up exactly as the host's identity query does it.
  if (long code = GetConduitInfo(0, &request, name, &nameSize); code != 0) return code;

  // The host learns the outcome from the block, which only OK fills.
  const long ended = ActionDialog::run(tolvex::kDlgAction, config);
  return ended == tolvex::kActionDialogNotSaved ? kConduitSettingsNotSaved : 0;
  return 0;
}
