// Inside the OS stand-in: a modal dialog's live state, shared by the message
// delivery and the terminal renderer.
#ifndef TOLVEX_PLATFORM_OS_DIALOG_H
#define TOLVEX_PLATFORM_OS_DIALOG_H
#include <string>
#include <vector>

#include "platform/os/HostOs.h"

struct OsDialogControlState {
  uint32_t id;
  int kind;
  std::string text;
  bool checked = false;
  uint32_t bitmapId = 0;
  std::vector<uint32_t> pixels;  // the mapped picture
};

struct OsDialog_ {
  OsModule module = nullptr;
  OsDialogProc proc = nullptr;
  std::string title;
  std::vector<OsDialogControlState> controls;
  bool ended = false;
  long result = 0;

  OsDialogControlState* find(uint32_t id);
  // Delivers one message; answers the procedure's answer.
  int send(int message, uint32_t controlId, void* param);
};

namespace tolvex::os {

// Runs the dialog on /dev/tty until it ends. False when no terminal could be used.
bool runDialogOnTerminal(OsDialog_& dialog);

}  // namespace tolvex::os
#endif
