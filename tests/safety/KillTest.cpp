// SIGKILL a sync in the middle, then run a normal sync: the second run must
// succeed and leave every item, in its latest version, in the live desktop
// file and the live handheld database of its own list.
// The kills land as chosen Sync Manager calls begin (SYNCMGR_KILL): each
// rename that replaces a list, each deletion of a list's old database, and
// calls spread over the run; every third spread kill is timed instead, to
// land between calls (desktop writes).
// TOLVEX_KILLS sets the number of spread kills (default 6) and
// TOLVEX_KILL_TOPS the top-level items of each list (default 25, each with 9
// children); the long run uses more of both.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "ListFixtures.h"
#include "SafetyHarness.h"
#include "platform/syncmgr/PdbFile.h"

namespace tolvex::safety {
namespace {

std::vector<std::string> linesOf(const std::string& path) {
  std::vector<std::string> out;
  std::istringstream in(readFile(path));
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

int lineCount(const std::string& path) {
  std::string s = readFile(path);
  return static_cast<int>(std::count(s.begin(), s.end(), '\n'));
}

// "Operation:N" for the call at `index` of a run's trace.
std::string callAt(const std::vector<std::string>& calls, size_t index) {
  int nth = 0;
  for (size_t i = 0; i <= index; ++i) nth += calls[i] == calls[index];
  return calls[index] + ":" + std::to_string(nth);
}

void expectImageAndFilesParse(const World& w) {
  for (const auto& [name, content] : snapshot(w.device)) {
    if (!hasSuffix(name, ".pdb")) continue;
    std::string error, bytes = content.substr(2);
    EXPECT_TRUE(PdbFile::parse(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &error))
        << name << ": " << error;
  }
  for (const auto& [name, content] : snapshot(w.desktop)) {
    if (!hasSuffix(name, ".XML") || name.find('/') != std::string::npos) continue;
    std::string message;
    EXPECT_TRUE(ListFileReader().read(w.desktop + "/" + name, message)) << name << ": " << message;
  }
}

struct Kill {
  std::string call;  // "Operation:N", or empty for a kill by time
  long atMs = 0;
};

TEST(KillAtAnyMoment, EveryItemStaysInItsListAndTheNextRunMendsIt) {
  World w;
  ASSERT_EQ(w.initDevice().exitCode, 0);
  ListTitles expected;
  const char* topsEnv = std::getenv("TOLVEX_KILL_TOPS");
  const int tops = topsEnv ? std::max(1, std::atoi(topsEnv)) : kTop;
  for (int l = 0; l < 4; ++l) writeList(w, l, expected, tops);
  RunResult first = w.sync();
  ASSERT_EQ(first.exitCode, 0) << first.out;
  // Collisions go to the desktop: a run that took an interrupted rebuild for
  // a plain change would put the older desktop list over the handheld's.
  const std::string registry = w.home + "/registry.ini", group = "[HKEY_LOCAL_MACHINE/Software/Marrowind/Tolvex/RegBool]\n";
  std::string settings = readFile(registry);
  ASSERT_NE(settings.find(group), std::string::npos) << settings;
  writeFile(registry, settings.insert(settings.find(group) + group.size(), "MethodPerm=2\n"));

  // Lists 0 to 2 change on both sides, list 3 is now only on the handheld
  // (its desktop file is gone), list 4 only on the desktop.
  for (int l = 0; l < 3; ++l) {
    editDesktop(w, l, expected);
    editHandheld(w, l, expected);
  }
  ASSERT_EQ(std::rename(listFile(w, 3).c_str(), (w.root() + "/gone.XML").c_str()), 0);
  writeList(w, 4, expected, tops);
  Pristine pristine(w);

  // A whole run, in Sync Manager calls and in time.
  const std::string trace = w.root() + "/trace";
  std::remove(trace.c_str());
  auto t0 = std::chrono::steady_clock::now();
  RunResult whole = w.hotsync({"sync", "--device", w.device, "--desktop", w.desktop}, 120, {{"SYNCMGR_TRACE", trace}});
  const long wholeMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_EQ(whole.exitCode, 0) << whole.out;
  ASSERT_NE(w.lastLog().find("#   Collision method: 2 (DT over HH)\n"), std::string::npos) << w.lastLog();
  std::string report;
  ASSERT_EQ(missingItems(w, expected, Where::kBothSides, &report), 0) << "an unhindered run loses" << report;
  const std::vector<std::string> calls = linesOf(trace);
  ASSERT_GT(calls.size(), 10u);

  // Each rename of a rebuilt list (the module's first two calls are its
  // version and encoding): the old database is gone, the new one still has
  // its temporary name.
  std::vector<Kill> kills;
  for (size_t i = 0, module = 0; i < calls.size(); ++i)
    if (calls[i] == "SyncCallRemoteModule" && ++module > 2) kills.push_back({callAt(calls, i)});
  const size_t renames = kills.size();
  EXPECT_EQ(renames, 5u) << "a rename per list";
  // Each deletion of an old database: the new one is complete under its
  // temporary name and noted, the old one still in place.
  for (size_t i = 0; i < calls.size(); ++i)
    if (calls[i] == "SyncDeleteDB") kills.push_back({callAt(calls, i)});
  const char* env = std::getenv("TOLVEX_KILLS");
  const int spread = env ? std::max(2, std::atoi(env)) : 6;
  for (int k = 0; k < spread; ++k) {
    if (k % 3 == 2) kills.push_back({"", 1 + wholeMs * k / spread});
    else kills.push_back({callAt(calls, 1 + (calls.size() - 2) * k / (spread - 1))});
  }

  const int byCall = int(std::count_if(kills.begin(), kills.end(), [](const Kill& k) { return !k.call.empty(); }));
  int midRun = 0;
  for (const Kill& kill : kills) {
    SCOPED_TRACE(kill.call.empty() ? "kill after " + std::to_string(kill.atMs) + " ms" : "kill at " + kill.call);
    pristine.restore();
    std::remove(trace.c_str());
    RunResult cut;
    if (kill.call.empty()) {
      auto start = std::chrono::steady_clock::now();
      auto at = std::chrono::milliseconds(kill.atMs);
      cut = w.hotsync({"sync", "--device", w.device, "--desktop", w.desktop}, 120, {{"SYNCMGR_TRACE", trace}},
                      [start, at](pid_t) { return std::chrono::steady_clock::now() - start >= at; });
      // Killed before it made every call of a whole run.
      if (cut.signaled && lineCount(trace) < int(calls.size())) ++midRun;
    } else {
      cut = w.hotsync({"sync", "--device", w.device, "--desktop", w.desktop}, 120, {{"SYNCMGR_KILL", kill.call}});
      EXPECT_TRUE(cut.signaled && cut.signal == SIGKILL) << "the kill did not land\n" << cut.out;
      if (cut.signaled && cut.signal == SIGKILL) ++midRun;
    }
    RunResult next = w.sync();
    ASSERT_FALSE(next.signaled) << next.out;
    EXPECT_EQ(next.exitCode, 0) << next.out << "\n" << w.lastLog();
    expectImageAndFilesParse(w);
    report.clear();
    EXPECT_EQ(missingItems(w, expected, Where::kBothSides, &report), 0) << "missing:" << report << "\n"
                                                                        << w.lastLog();
    // Mended, not merged as two lists: no older version stays beside the latest.
    report.clear();
    EXPECT_EQ(unexpectedItems(w, expected, &report), 0) << "unexpected:" << report << "\n" << w.lastLog();
    if (HasFailure()) break;
  }
  RecordProperty("killsMidRun", midRun);
  size_t items = 0;
  for (const auto& [list, titles] : expected) items += titles.size();
  std::printf("kills that landed mid-run: %d of %zu (%zu at a rename; %zu items, %zu Sync Manager calls, "
              "%ld ms a whole run)\n",
              midRun, kills.size(), renames, items, calls.size(), wholeMs);
  EXPECT_GE(midRun, byCall) << "every kill at a call lands mid-run";
}

}  // namespace
}  // namespace tolvex::safety
