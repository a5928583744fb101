// Modal dialogs: the stand-in builds the controls from the template, delivers
// messages to the caller's procedure and keeps the control states; clicking
// does nothing by itself (the procedure checks and toggles). A dialog is
// driven by a script of clicks, interactively on the terminal, or, with
// neither, ends as if Cancel was pressed.
#include "platform/os/Dialog.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>

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
uint32_t& unknownClick() {
  static uint32_t click = 0;
  return click;
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

namespace tolvex::os {

std::string plainText(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

char shortcutOf(const std::string& text) {
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '&') continue;
    if (text[i + 1] == '&') {
      ++i;
      continue;
    }
    return static_cast<char>(std::tolower(static_cast<unsigned char>(text[i + 1])));
  }
  return 0;
}

bool isClickable(int kind) {
  return kind == OS_CTL_CHECKBOX || kind == OS_CTL_RADIO || kind == OS_CTL_BUTTON || kind == OS_CTL_DEFBUTTON;
}

std::string headingOf(const OsDialogTemplate& tmpl, size_t index) {
  const OsDialogControl& control = tmpl.controls[index];
  for (size_t i = index; i-- > 0;) {
    const OsDialogControl& c = tmpl.controls[i];
    const bool labelled = c.text && *c.text && c.id == 0xFFFF;
    if (c.kind == OS_CTL_GROUP) {
      const bool inside = control.x >= c.x && control.y >= c.y && control.x < c.x + c.cx && control.y < c.y + c.cy;
      if (!inside) return std::string();
    } else if (!(c.kind == OS_CTL_STATIC && labelled)) {
      continue;
    }
    std::string text = plainText(c.text ? c.text : "");
    while (!text.empty() && (text.back() == ':' || text.back() == ' ')) text.pop_back();
    return text;
  }
  return std::string();
}

}  // namespace tolvex::os

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
  dialog->tmpl = tmpl;
  dialog->proc = proc;
  dialog->title = tmpl->title ? tmpl->title : "";
  for (size_t i = 0; i < tmpl->controlCount && tmpl->controls; ++i) {
    const OsDialogControl& c = tmpl->controls[i];
    OsDialogControlState state{c.id, c.kind, c.text ? c.text : "", c.text ? c.text : "", false, 0, {}};
    dialog->controls.push_back(std::move(state));
  }
  // A click on a control the dialog does not have is a mistake in the
  // script: none of it is played, so nothing half-chosen is kept.
  unknownClick() = 0;
  for (uint32_t click : script.clicks) {
    const bool special = click == OS_DIALOG_SCRIPT_HELP || click == OS_DIALOG_SCRIPT_SYSCOLORCHANGE;
    if (!special && unknownClick() == 0 && !dialog->find(click)) unknownClick() = click;
  }
  if (unknownClick() != 0) script = Script{};

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

const char* OsDialogLastChoices(void) {
  static std::string text;
  text.clear();
  const OsDialog_* dialog = lastDialog().get();
  if (!dialog || !dialog->tmpl) return "";
  for (size_t i = 0; i < dialog->controls.size(); ++i) {
    const OsDialogControlState& c = dialog->controls[i];
    const std::string label = tolvex::os::plainText(c.text);
    if (c.kind != OS_CTL_RADIO || !c.checked) continue;
    const std::string heading = tolvex::os::headingOf(*dialog->tmpl, i);
    text += (heading.empty() ? std::string() : heading + ": ") + label + "\n";
  }
  return text.c_str();
}

uint32_t OsDialogLastUnknownClick(void) { return unknownClick(); }

const char* OsModuleClickableControls(const char* libraryPath) {
  static std::string text;
  text.clear();
  OsModule module = tolvex::os::findModuleOf(libraryPath);
  if (!module || !module->table || !module->table->dialogs) return "";
  std::vector<uint32_t> listed;
  for (size_t d = 0; d < module->table->dialogCount; ++d) {
    const OsDialogTemplate& tmpl = module->table->dialogs[d];
    for (size_t i = 0; i < tmpl.controlCount && tmpl.controls; ++i) {
      const OsDialogControl& c = tmpl.controls[i];
      if (!tolvex::os::isClickable(c.kind) || c.id == 0xFFFF) continue;
      if (std::find(listed.begin(), listed.end(), c.id) != listed.end()) continue;
      listed.push_back(c.id);
      text += std::to_string(c.id) + "\t" + tolvex::os::plainText(c.text ? c.text : "") + "\t" +
              tolvex::os::headingOf(tmpl, i) + "\n";
    }
  }
  return text.c_str();
}

}  // extern "C"
