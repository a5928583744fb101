// What the hotsync program keeps between runs in $HOTSYNC_HOME/hotsync.ini:
// this desktop's id, whether the default conduit was registered, and each
// conduit's HotSync action (a permanent sync type and a next-time-only one).
#ifndef TOLVEX_PLATFORM_HOTSYNC_HOSTSTATE_H
#define TOLVEX_PLATFORM_HOTSYNC_HOSTSTATE_H
#include <cstdint>
#include <optional>
#include <string>

namespace tolvex::host {

struct HotSyncAction {
  int32_t permanent = 0;                // sync type used when nothing else is pending
  std::optional<int32_t> nextTimeOnly;  // consumed by the next sync
};

class HostState {
 public:
  // This desktop's id, made (non-zero, random) and stored on first use; 0 on failure.
  static uint32_t desktopId();
  static bool defaultConduitRegistered();
  static void setDefaultConduitRegistered();
  static HotSyncAction action(const std::string& creator);
  static bool setAction(const std::string& creator, const HotSyncAction& action);
  // The sync type the action asks for this time; a next-time-only type is
  // consumed. Answers the action's type (0 when nothing is stored), or
  // nothing when a next-time-only type could not be cleared: it would
  // otherwise apply again at every HotSync.
  static std::optional<int32_t> takeAction(const std::string& creator);
  // The handheld user of the last HotSync ("" when none is known), for the
  // dialogs opened without a handheld at hand.
  static std::string lastUser();
  static void setLastUser(const std::string& name);
};

}  // namespace tolvex::host
#endif
