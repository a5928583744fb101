// Draws a modal dialog on /dev/tty and turns keys into the messages a mouse
// would send: arrows and Tab move the focus over check boxes, radios and
// buttons, Space clicks the focused one, Enter presses the focused button (the
// default button when the focus is elsewhere), Esc is Cancel, F1 or "?" asks
// for help, and the letter after "&" in a control's text (drawn underlined)
// clicks it.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <string>

#include "platform/os/Dialog.h"

namespace {

bool focusable(const OsDialogControlState& c) { return tolvex::os::isClickable(c.kind); }

using tolvex::os::plainText;

class Terminal {
 public:
  bool open() {
    fd_ = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return false;
    if (tcgetattr(fd_, &saved_) != 0) {
      ::close(fd_);
      fd_ = -1;
      return false;
    }
    termios raw = saved_;
    raw.c_lflag &= ~(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~(IXON | ICRNL | INLCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(fd_, TCSAFLUSH, &raw);
    return true;
  }
  ~Terminal() {
    if (fd_ < 0) return;
    tcsetattr(fd_, TCSAFLUSH, &saved_);
    write("\033[?25h");
    ::close(fd_);
  }
  void write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }
  // One byte, or -1 on end of input; waitMs < 0 waits for ever.
  int readByte(int waitMs) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) return -1;
    unsigned char c;
    return ::read(fd_, &c, 1) == 1 ? c : -1;
  }

 private:
  int fd_ = -1;
  termios saved_{};
};

enum Key { kNone, kUp, kDown, kTab, kBackTab, kSpace, kEnter, kEscape, kHelp, kChar, kEnd };

Key readKey(Terminal& t, char* ch) {
  int c = t.readByte(-1);
  if (c < 0 || c == 4) return kEnd;  // closed terminal or Ctrl-D
  if (c == 3) return kEscape;        // Ctrl-C cancels like Esc
  if (c == '\t') return kTab;
  if (c == ' ') return kSpace;
  if (c == '\r' || c == '\n') return kEnter;
  if (c == '?') return kHelp;
  if (c == 27) {
    int n = t.readByte(50);
    if (n < 0) return kEscape;
    int m = t.readByte(50);
    if (n == 'O' && m == 'P') return kHelp;  // F1
    if (n == '[') {
      if (m == 'A' || m == 'D') return kUp;
      if (m == 'B' || m == 'C') return kDown;
      if (m == 'Z') return kBackTab;
      std::string rest;
      while (m >= 0 && m != '~' && rest.size() < 8) {
        rest += static_cast<char>(m);
        m = t.readByte(50);
      }
      if (rest == "11" || rest == "[A") return kHelp;  // F1 on other terminals
    }
    return kNone;
  }
  if (std::isprint(c)) {
    *ch = static_cast<char>(std::tolower(c));
    return kChar;
  }
  return kNone;
}

// A clickable control's label with its shortcut letter underlined.
std::string label(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&' || i + 1 >= text.size()) {
      out += text[i];
    } else if (text[++i] == '&') {
      out += '&';
    } else {
      out += "\033[4m" + std::string(1, text[i]) + "\033[24m";
    }
  }
  return out;
}

std::string draw(const OsDialog_& dialog, size_t focus) {
  std::string out = "\033[H\033[2J\033[?25l";
  out += "== " + plainText(dialog.title) + " ==\r\n\r\n";
  std::string buttons;
  for (size_t i = 0; i < dialog.controls.size(); ++i) {
    const OsDialogControlState& c = dialog.controls[i];
    std::string mark = i == focus ? "> " : "  ";
    switch (c.kind) {
      case OS_CTL_STATIC:
        if (!c.text.empty()) out += "  " + plainText(c.text) + "\r\n";
        break;
      case OS_CTL_GROUP:
        out += "\r\n  -- " + plainText(c.text) + " --\r\n";
        break;
      case OS_CTL_CHECKBOX:
        out += mark + (c.checked ? "[x] " : "[ ] ") + label(c.text) + "\r\n";
        break;
      case OS_CTL_RADIO:
        out += mark + (c.checked ? "(*) " : "( ) ") + label(c.text) + "\r\n";
        break;
      case OS_CTL_BUTTON:
      case OS_CTL_DEFBUTTON:
        buttons += (i == focus ? ">" : " ") + std::string("[ ") + label(c.text) + " ] ";
        break;
      default:
        break;  // pictures and progress bars are not drawn
    }
  }
  out += "\r\n" + buttons + "\r\n\r\n";
  out += "  arrows/Tab move, Space selects, Enter presses the focused button (else OK),\r\n";
  out += "  an underlined letter clicks its control, Esc Cancel, F1 or ? help\r\n";
  return out;
}

// Enter presses the focused button; elsewhere the default button (OK).
uint32_t enterTarget(const OsDialog_& dialog, size_t focus) {
  if (focus < dialog.controls.size()) {
    const OsDialogControlState& c = dialog.controls[focus];
    if (c.kind == OS_CTL_BUTTON || c.kind == OS_CTL_DEFBUTTON) return c.id;
  }
  for (const OsDialogControlState& c : dialog.controls) {
    if (c.kind == OS_CTL_DEFBUTTON) return c.id;
  }
  return 1;
}

size_t step(const OsDialog_& dialog, size_t focus, int direction) {
  size_t n = dialog.controls.size();
  size_t i = focus;
  for (size_t k = 0; k < n; ++k) {
    i = direction > 0 ? (i + 1) % n : (i + n - 1) % n;
    if (focusable(dialog.controls[i])) return i;
  }
  return focus;
}

}  // namespace

namespace tolvex::os {

bool runDialogOnTerminal(OsDialog_& dialog) {
  Terminal terminal;
  if (!terminal.open()) return false;
  size_t focus = dialog.controls.size();
  for (size_t i = 0; i < dialog.controls.size(); ++i) {
    if (focusable(dialog.controls[i])) {
      focus = i;
      break;
    }
  }
  while (!dialog.ended) {
    terminal.write(draw(dialog, focus));
    char ch = 0;
    Key key = readKey(terminal, &ch);
    bool haveFocus = focus < dialog.controls.size();
    switch (key) {
      case kUp:
      case kBackTab:
        if (haveFocus) focus = step(dialog, focus, -1);
        break;
      case kDown:
      case kTab:
        if (haveFocus) focus = step(dialog, focus, 1);
        break;
      case kSpace:
        if (haveFocus) dialog.send(OS_MSG_COMMAND, dialog.controls[focus].id, nullptr);
        break;
      case kEnter:
        dialog.send(OS_MSG_COMMAND, enterTarget(dialog, focus), nullptr);
        break;
      case kEscape:
      case kEnd:
        dialog.send(OS_MSG_COMMAND, 2, nullptr);
        if (!dialog.ended && key == kEnd) {
          dialog.ended = true;  // no more input: never spin
          dialog.result = 2;
        }
        break;
      case kHelp:
        terminal.write("\033[H\033[2J");
        dialog.send(OS_MSG_HELP, 0, nullptr);
        terminal.write("\r\n  (press any key)");
        terminal.readByte(-1);
        break;
      case kChar:
        for (size_t i = 0; i < dialog.controls.size(); ++i) {
          if (focusable(dialog.controls[i]) && tolvex::os::shortcutOf(dialog.controls[i].text) == ch) {
            focus = i;
            dialog.send(OS_MSG_COMMAND, dialog.controls[i].id, nullptr);
            break;
          }
        }
        break;
      default:
        break;
    }
  }
  terminal.write("\033[H\033[2J");
  return true;
}

}  // namespace tolvex::os
