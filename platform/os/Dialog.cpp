// Modal dialogs: the stand-in builds the controls from the template, delivers
// messages to the caller's procedure and keeps the control states; clicking
// does nothing by itself (the procedure checks and toggles). A dialog is
// driven by a script of clicks, interactively on the terminal, or, with
// neither, ends as if Cancel was pressed.
#include "platform/os/Dialog.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/os/Module.h"

namespace {

constexpr uint32_t kButtonFace = 0xD4D0C8;  // the button face colour of the classic scheme
constexpr uint32_t kLightGrey = 0xC0C0C0;

struct Script {
  bool set = false;
  std::vector<uint32_t> clicks;
  int end = OS_DIALOG_END_CANCEL;
};

Script& pendingScript() {
  static Script script;
  return script;
}
bool& interactive() {
  static bool enabled = false;
  return enabled;
}
// The last dialog as it ended.
std::unique_ptr<OsDialog_>& lastDialog() {
  static std::unique_ptr<OsDialog_> last;
  return last;
}

void deliverClick(OsDialog_& dialog, uint32_t click) {
  if (click == OS_DIALOG_SCRIPT_HELP) {
    dialog.send(OS_MSG_HELP, 0, nullptr);
  } else if (click == OS_DIALOG_SCRIPT_SYSCOLORCHANGE) {
    dialog.send(OS_MSG_SYSCOLORCHANGE, 0, nullptr);
  } else {
    dialog.send(OS_MSG_COMMAND, click, nullptr);
  }
}

void runScript(OsDialog_& dialog, const Script& script) {
  for (uint32_t click : script.clicks) {
    if (dialog.ended) return;
    deliverClick(dialog, click);
  }
  if (dialog.ended) return;
  uint32_t end = script.end == OS_DIALOG_END_OK ? 1 : 2;
  dialog.send(OS_MSG_COMMAND, end, nullptr);
  // A procedure that ignores OK/Cancel would leave the dialog open forever.
  if (!dialog.ended) {
    dialog.ended = true;
    dialog.result = end;
  }
}

}  // namespace

OsDialogControlState* OsDialog_::find(uint32_t id) {
  for (auto& control : controls) {
    if (control.id == id && id != 0xFFFF) return &control;
  }
  return nullptr;
}

int OsDialog_::send(int message, uint32_t controlId, void* param) {
  return proc ? proc(this, message, controlId, param) : 0;
}

extern "C" {

long OsDialogBox(OsModule module, uint32_t templateId, OsDialogProc proc, void* param) {
  Script script = std::move(pendingScript());
  pendingScript() = Script();
  const OsDialogTemplate* tmpl = tolvex::os::findDialog(module, templateId);
  if (!tmpl || !proc) return -1;

  auto dialog = std::make_unique<OsDialog_>();
  dialog->module = module;
  dialog->proc = proc;
  dialog->title = tmpl->title ? tmpl->title : "";
  for (size_t i = 0; i < tmpl->controlCount && tmpl->controls; ++i) {
    const OsDialogControl& c = tmpl->controls[i];
    OsDialogControlState state{c.id, c.kind, c.text ? c.text : "", false, 0, {}};
    dialog->controls.push_back(std::move(state));
  }

  dialog->send(OS_MSG_INITDIALOG, 0, param);
  if (!dialog->ended) {
    if (script.set) {
      runScript(*dialog, script);
    } else if (!interactive() || !tolvex::os::runDialogOnTerminal(*dialog)) {
      runScript(*dialog, Script{});
    }
  }
  dialog->send(OS_MSG_DESTROY, 0, nullptr);
  dialog->proc = nullptr;
  long result = dialog->result;
  lastDialog() = std::move(dialog);
  return result;
}

void OsEndDialog(OsDialog dialog, long result) {
  if (!dialog || dialog->ended) return;
  dialog->ended = true;
  dialog->result = result;
}

int OsSetDlgItemText(OsDialog dialog, uint32_t id, const char* text) {
  OsDialogControlState* control = dialog ? dialog->find(id) : nullptr;
  if (!control) return 0;
  control->text = text ? text : "";
  return 1;
}

int OsGetDlgItemText(OsDialog dialog, uint32_t id, char* buffer, int size) {
  OsDialogControlState* control = dialog ? dialog->find(id) : nullptr;
  if (!buffer || size <= 0) return 0;
  buffer[0] = '\0';
  if (!control) return 0;
  size_t length = std::min(control->text.size(), static_cast<size_t>(size - 1));
  std::memcpy(buffer, control->text.data(), length);
  buffer[length] = '\0';
  return static_cast<int>(length);
}

int OsSetWindowText(OsDialog dialog, const char* text) {
  if (!dialog) return 0;
  dialog->title = text ? text : "";
  return 1;
}

int OsCheckDlgButton(OsDialog dialog, uint32_t id, int checked) {
  OsDialogControlState* control = dialog ? dialog->find(id) : nullptr;
  if (!control || (control->kind != OS_CTL_CHECKBOX && control->kind != OS_CTL_RADIO)) return 0;
  control->checked = checked != 0;
  return 1;
}

int OsIsDlgButtonChecked(OsDialog dialog, uint32_t id) {
  OsDialogControlState* control = dialog ? dialog->find(id) : nullptr;
  return control && control->checked ? 1 : 0;
}

int OsCheckRadioButton(OsDialog dialog, uint32_t first, uint32_t last, uint32_t check) {
  if (!dialog || first > last) return 0;
  bool found = false;
  for (auto& control : dialog->controls) {
    if (control.id < first || control.id > last || control.id == 0xFFFF) continue;
    if (control.kind != OS_CTL_RADIO && control.kind != OS_CTL_CHECKBOX) continue;
    control.checked = control.id == check;
    found = found || control.checked;
  }
  return found ? 1 : 0;
}

int OsSetDlgItemBitmap(OsDialog dialog, uint32_t id, OsModule module, uint32_t bitmapId) {
  OsDialogControlState* control = dialog ? dialog->find(id) : nullptr;
  const OsBitmapResource* bitmap = tolvex::os::findBitmap(module, bitmapId);
  if (!control || !bitmap || bitmap->width <= 0 || bitmap->height <= 0 || !bitmap->pixels) return 0;
  size_t count = static_cast<size_t>(bitmap->width) * static_cast<size_t>(bitmap->height);
  std::vector<uint32_t> pixels(bitmap->pixels, bitmap->pixels + count);
  for (uint32_t& p : pixels) {
    if ((p & 0xFFFFFF) == kLightGrey) p = (p & 0xFF000000) | kButtonFace;
  }
  control->pixels = std::move(pixels);  // the picture held before is released here
  control->bitmapId = bitmapId;
  return 1;
}

void OsDialogScript(const uint32_t* clicks, size_t count, int end) {
  Script script;
  script.set = true;
  if (clicks) script.clicks.assign(clicks, clicks + count);
  script.end = end == OS_DIALOG_END_OK ? OS_DIALOG_END_OK : OS_DIALOG_END_CANCEL;
  pendingScript() = std::move(script);
}

void OsDialogInteractive(int enable) { interactive() = enable != 0; }

const char* OsDialogLastText(uint32_t id) {
  OsDialogControlState* control = lastDialog() ? lastDialog()->find(id) : nullptr;
  return control ? control->text.c_str() : "";
}

int OsDialogLastChecked(uint32_t id) {
  OsDialogControlState* control = lastDialog() ? lastDialog()->find(id) : nullptr;
  return control && control->checked ? 1 : 0;
}

uint32_t OsDialogLastBitmap(uint32_t id) {
  OsDialogControlState* control = lastDialog() ? lastDialog()->find(id) : nullptr;
  return control ? control->bitmapId : 0;
}

const char* OsDialogLastTitle(void) { return lastDialog() ? lastDialog()->title.c_str() : ""; }

long OsDialogLastResult(void) { return lastDialog() ? lastDialog()->result : -1; }

}  // extern "C"
