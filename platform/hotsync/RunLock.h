// The run lock. While a HotSync runs, or a command that writes what a HotSync
// reads, it holds an exclusive flock on a lock file in every folder it writes,
// so a second one cannot change those folders underneath it. Nobody waits: a
// command that cannot get every hold changes nothing and says who holds it.
//
// The kernel drops a hold when its process ends, however it ends, so a killed
// run never leaves a folder locked; the lock file itself stays and is reused.
// Code that tidies up after killed runs may rely on this: while it holds the
// lock of a folder, no other HotSync is writing there.
//
// Ownership: a RunLock owns its open lock files; the holds end when it is
// destroyed. Threading: one thread.
#ifndef TOLVEX_PLATFORM_HOTSYNC_RUNLOCK_H
#define TOLVEX_PLATFORM_HOTSYNC_RUNLOCK_H
#include <memory>
#include <string>
#include <vector>

namespace tolvex::host {

// The lock file's name in each locked folder: hidden, and matching neither the
// list files ("Tolvk-*.XML"), nor the image's databases ("*.pdb"), nor the
// names of temporary files (".NAME.tmp...").
inline constexpr const char kLockFileName[] = ".hotsync.lock";

struct LockRequest {
  std::string folder;
  std::string what;  // for messages: "the handheld image", ...
};

class RunLock {
 public:
  // Holds every folder of `requests` (in the order given), or none: answers
  // null with *error naming the folder that could not be held and why (the
  // process holding it, when known). A folder named twice is held once.
  static std::unique_ptr<RunLock> acquire(const std::vector<LockRequest>& requests, std::string* error);

  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  ~RunLock();

 private:
  RunLock() = default;
  std::vector<int> files_;
};

}  // namespace tolvex::host
#endif
