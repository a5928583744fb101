// The private copies a dry run works on: the handheld image, the desktop
// folder and the HotSync state folder, copied whole (FolderCopy.h) into a new
// folder under $TMPDIR (default /tmp), so that the real HotSync can run on
// them and change nothing of the originals. A folder that lies inside
// another of the three is found at its place inside that one's copy, as the
// run would find it; a HotSync state folder that does not exist yet is not
// made.
//
// The copy of the desktop folder starts without a log (lastsync.txt), so a
// log there afterwards is the dry run's own. When the copies are dropped, it
// may stay where the run wrote it, for the user to read; the rest goes.
//
// Ownership: owns the temporary folder until it is destroyed. One thread.
#ifndef TOLVEX_PLATFORM_HOTSYNC_DRYRUN_H
#define TOLVEX_PLATFORM_HOTSYNC_DRYRUN_H
#include <memory>
#include <optional>
#include <string>

namespace tolvex::host {

class DryRunCopies {
 public:
  // `home` may be empty (no HotSync state at all). Null with *error when a
  // copy cannot be made; nothing is left behind then.
  static std::unique_ptr<DryRunCopies> make(const std::string& image, const std::string& desktop,
                                            const std::string& home, std::string* error);
  ~DryRunCopies();
  DryRunCopies(const DryRunCopies&) = delete;
  DryRunCopies& operator=(const DryRunCopies&) = delete;

  const std::string& folder() const { return folder_; }
  const std::string& image() const { return image_; }
  const std::string& desktop() const { return desktop_; }  // without a final "/"
  const std::string& home() const { return home_; }         // empty when `home` was
  // The run's log, kept when the copies are dropped.
  std::string log() const { return desktop_ + "/lastsync.txt"; }
  void keepLog() { keepLog_ = true; }

 private:
  explicit DryRunCopies(std::string folder) : folder_(std::move(folder)) {}

  std::string folder_;  // holds the copies
  std::string image_, desktop_, home_;
  bool keepLog_ = false;
};

// Points $HOTSYNC_HOME at `home` for its lifetime (nothing when `home` is
// empty), so that the host, the stand-ins and the conduit all keep their
// state there; then puts back what was there.
class HomeSwitch {
 public:
  explicit HomeSwitch(const std::string& home);
  ~HomeSwitch();
  HomeSwitch(const HomeSwitch&) = delete;
  HomeSwitch& operator=(const HomeSwitch&) = delete;

 private:
  bool switched_ = false;
  std::optional<std::string> saved_;
};

}  // namespace tolvex::host
#endif
