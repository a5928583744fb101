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
  std::string templateText;  // the text the template gave it
  bool checked = false;
  uint32_t bitmapId = 0;
  std::vector<uint32_t> pixels;  // the mapped picture
};

struct OsDialog_ {
  OsModule module = nullptr;
  const OsDialogTemplate* tmpl = nullptr;  // controls[i] is tmpl->controls[i]
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
// A control text without its "&" markers ("&&" is a literal "&").
std::string plainText(const std::string& text);
// The shortcut letter of a text (the one after "&"), lower case, or 0.
char shortcutOf(const std::string& text);
bool isClickable(int kind);
// The heading of control `index` of a template: the nearest group box or
// labelled static before it, a group box only when the control lies inside
// it; "" when there is none. Without "&" markers or a closing ":".
std::string headingOf(const OsDialogTemplate& tmpl, size_t index);

}  // namespace tolvex::os
#endif
