// The modeless progress window as a model: control texts, range, position and
// the cancel flag. When stderr is a terminal it is drawn as one line redrawn in
// place, with the time spent on the current list; Ctrl-C is its Cancel button
// and a second Ctrl-C ends the program. Handles stay comparable after destroy:
// unknown handles are ignored, so a caller holding a stale one does nothing
// harmful.
//
// Threading: the caller's thread owns the windows. On a terminal one more
// thread redraws the line every second, so a long list is seen to be still at
// work while the caller is busy; it only draws, under the same lock as every
// change, and changes nothing the caller can read.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/os/Module.h"

struct OsProgress_ {
  std::map<uint32_t, std::string> texts;
  int low = 0, high = 100, position = 0;
  bool open = true;
  bool cancelled = false;
  bool drawn = false;
  std::chrono::steady_clock::time_point listStart = std::chrono::steady_clock::now();
};

namespace {

constexpr uint32_t kListText = 1018, kActionText = 1019, kLogText = 1020;

volatile sig_atomic_t interruptCount = 0;
struct sigaction savedAction;
bool handlerInstalled = false;

void onInterrupt(int) {
  if (interruptCount > 0) {
    // The second Ctrl-C: end the program as the default action would.
    ::signal(SIGINT, SIG_DFL);
    ::raise(SIGINT);
    return;
  }
  interruptCount = 1;
}

void installHandler() {
  if (handlerInstalled) return;
  struct sigaction action{};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &savedAction);
  handlerInstalled = true;
  interruptCount = 0;
}

void restoreHandler() {
  if (!handlerInstalled) return;
  sigaction(SIGINT, &savedAction, nullptr);
  handlerInstalled = false;
}

// Held by every call and by the redrawing thread. Never destroyed, so the
// thread may outlive the statics of a process that is ending.
std::mutex& lock() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::vector<std::unique_ptr<OsProgress_>>& windows() {
  static std::vector<std::unique_ptr<OsProgress_>> all;
  return all;
}

// The window behind a handle when it is one of ours, else null (no dereference).
OsProgress_* known(OsProgress window) {
  for (auto& w : windows()) {
    if (w.get() == window) return w.get();
  }
  return nullptr;
}

OsProgress_* openWindow(OsProgress window) {
  OsProgress_* w = known(window);
  return w && w->open ? w : nullptr;
}

bool anyOpen() {
  return std::any_of(windows().begin(), windows().end(), [](auto& w) { return w->open; });
}

int terminalWidth() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 10) return size.ws_col;
  return 80;
}

std::string textOf(const OsProgress_& w, uint32_t id) {
  auto it = w.texts.find(id);
  return it == w.texts.end() ? std::string() : it->second;
}

// Control characters would break the single line.
std::string oneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

void draw(OsProgress_& w) {
  if (!isatty(STDERR_FILENO)) return;
  int width = terminalWidth() - 1;
  constexpr int kBarWidth = 20;
  int span = w.high - w.low;
  int filled = span > 0 ? static_cast<int>(static_cast<long long>(std::clamp(w.position - w.low, 0, span)) *
                                           kBarWidth / span)
                        : 0;
  std::string bar = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] ";
  const long seconds = static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(
                                             std::chrono::steady_clock::now() - w.listStart)
                                             .count());
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%ld:%02ld ", seconds / 60, seconds % 60);
  bar += elapsed;
  std::string text = oneLine(textOf(w, kListText)) + " | " + oneLine(textOf(w, kActionText)) + " | " +
                     oneLine(textOf(w, kLogText));
  std::string line = bar + text;
  if (static_cast<int>(line.size()) > width) line.resize(static_cast<size_t>(std::max(width, 0)));
  line = "\r\033[K" + line;
  ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
  w.drawn = true;
}

void erase(OsProgress_& w) {
  if (!w.drawn || !isatty(STDERR_FILENO)) return;
  ssize_t ignored = ::write(STDERR_FILENO, "\r\033[K", 4);
  (void)ignored;
  w.drawn = false;
}

void close(OsProgress_& w) {
  erase(w);
  w.open = false;
  if (!anyOpen() && !w.cancelled) restoreHandler();
}

// Redraws the open windows once a second, for the life of the process.
void startTicker() {
  static bool started = false;
  if (started || !isatty(STDERR_FILENO)) return;
  started = true;
  // Without a thread to be had the line is still drawn at each change; only
  // its clock stands still while the caller is busy.
  try {
    std::thread([] {
      for (;;) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        std::lock_guard<std::mutex> guard(lock());
        // Out of memory here is a second not shown: thrown out of this
        // thread it would end the program and the run with it.
        try {
          for (auto& w : windows()) {
            if (w->open && w->drawn) draw(*w);
          }
        } catch (const std::bad_alloc&) {
        }
      }
    }).detach();
  } catch (const std::system_error&) {
  }
}

}  // namespace

extern "C" {

OsProgress OsProgressCreate(OsModule module, uint32_t templateId) {
  std::lock_guard<std::mutex> guard(lock());
  const OsDialogTemplate* tmpl = tolvex::os::findDialog(module, templateId);
  if (!tmpl) return nullptr;
  // Windows closed long ago are dropped; the last one stays readable.
  auto& all = windows();
  all.erase(std::remove_if(all.begin(), all.end(), [](auto& w) { return !w->open; }), all.end());
  auto window = std::make_unique<OsProgress_>();
  for (size_t i = 0; i < tmpl->controlCount && tmpl->controls; ++i) {
    const OsDialogControl& c = tmpl->controls[i];
    if (c.id != 0xFFFF) window->texts[c.id] = c.text ? c.text : "";
  }
  installHandler();
  all.push_back(std::move(window));
  draw(*all.back());
  startTicker();
  return all.back().get();
}

void OsProgressSetText(OsProgress window, uint32_t controlId, const char* text) {
  std::lock_guard<std::mutex> guard(lock());
  OsProgress_* w = openWindow(window);
  if (!w || !text) return;
  // The clock runs per list: a new list name starts it again.
  if (controlId == kListText && w->texts[controlId] != text) w->listStart = std::chrono::steady_clock::now();
  w->texts[controlId] = text;
  draw(*w);
}

const char* OsProgressText(OsProgress window, uint32_t controlId) {
  std::lock_guard<std::mutex> guard(lock());
  OsProgress_* w = known(window);
  if (!w) return "";
  auto it = w->texts.find(controlId);
  return it == w->texts.end() ? "" : it->second.c_str();
}

void OsProgressSetRange(OsProgress window, int low, int high) {
  std::lock_guard<std::mutex> guard(lock());
  OsProgress_* w = openWindow(window);
  if (!w) return;
  w->low = low;
  w->high = high;
  draw(*w);
}

void OsProgressSetPosition(OsProgress window, int position) {
  std::lock_guard<std::mutex> guard(lock());
  OsProgress_* w = openWindow(window);
  if (!w) return;
  w->position = position;
  draw(*w);
}

int OsProgressCancelled(OsProgress window) {
  std::lock_guard<std::mutex> guard(lock());
  OsProgress_* w = known(window);
  if (!w) return 0;
  if (w->open && interruptCount > 0) {
    // Cancel closes the window; the handler stays so a second Ctrl-C ends the program.
    w->cancelled = true;
    close(*w);
    if (isatty(STDERR_FILENO)) {
      ssize_t ignored = ::write(STDERR_FILENO, "Cancel requested; Ctrl-C again to stop at once.\n", 48);
      (void)ignored;
    }
  }
  return w->cancelled ? 1 : 0;
}

void OsProgressDestroy(OsProgress window) {
  std::lock_guard<std::mutex> guard(lock());
  OsProgress_* w = known(window);
  if (!w) return;
  if (w->open) close(*w);
  if (!anyOpen()) restoreHandler();
}

OsProgress OsProgressLast(void) {
  std::lock_guard<std::mutex> guard(lock());
  return windows().empty() ? nullptr : windows().back().get();
}

void OsProgressGetRange(OsProgress window, int* low, int* high) {
  std::lock_guard<std::mutex> guard(lock());
  OsProgress_* w = known(window);
  if (low) *low = w ? w->low : 0;
  if (high) *high = w ? w->high : 0;
}

int OsProgressPosition(OsProgress window) {
  std::lock_guard<std::mutex> guard(lock());
  OsProgress_* w = known(window);
  return w ? w->position : 0;
}

void OsProgressPrintLine(const char* text) {
  std::lock_guard<std::mutex> guard(lock());
  OsProgress_* shown = nullptr;
  for (auto& w : windows()) {
    if (w->open && w->drawn) shown = w.get();
  }
  if (shown) erase(*shown);
  std::fputs(text ? text : "", stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  if (shown) draw(*shown);
}

int OsProgressIsOpen(OsProgress window) {
  std::lock_guard<std::mutex> guard(lock());
  return openWindow(window) ? 1 : 0;
}

}  // extern "C"
