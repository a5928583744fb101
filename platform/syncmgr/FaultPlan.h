// Test hooks of the stand-in: SYNCMGR_FAULTS="Operation:N[,Operation:N...]"
// makes the N-th call (from 1) of the named operation fail, and says so on
// stderr ("syncmgr: injected fault: Operation:N"), so a test can tell a fault
// that fired from one that never came up; SYNCMGR_KILL (same form) ends the
// process with SIGKILL as the named call begins, as a crash at that moment
// would; SYNCMGR_TRACE=<file> appends the name of every operation called, one
// a line.
//
// The three are read on first use and again by `rearm` (the stand-in calls it
// on SyncHostAttach), which also restarts the counts.
//
// Threading: one caller thread.
#ifndef TOLVEX_PLATFORM_SYNCMGR_FAULTPLAN_H
#define TOLVEX_PLATFORM_SYNCMGR_FAULTPLAN_H

#include <map>
#include <set>
#include <string>

namespace tolvex {

class FaultPlan {
 public:
  // Reads SYNCMGR_FAULTS, SYNCMGR_KILL and SYNCMGR_TRACE anew and restarts every count.
  void rearm();
  // Counts one call of `operation`, traces it, and answers whether it is to fail.
  bool enter(const char* operation);

 private:
  bool armed_ = false;
  std::map<std::string, std::set<unsigned long>> faults_;
  std::map<std::string, std::set<unsigned long>> kills_;
  std::map<std::string, unsigned long> calls_;
  std::string trace_;  // the file SYNCMGR_TRACE names; empty: no trace
};

// Parses "Op:N,Op:N"; malformed entries are reported on stderr and ignored.
std::map<std::string, std::set<unsigned long>> parseFaultList(const std::string& text);

}  // namespace tolvex

#endif
