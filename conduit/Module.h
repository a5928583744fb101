// The conduit library's module handle: its resource table, registered with
// the OS layer when the library is loaded.
#ifndef TOLVEX_CONDUIT_MODULE_H
#define TOLVEX_CONDUIT_MODULE_H
#include "platform/os/HostOs.h"

namespace tolvex {

OsModule conduitModule();
// Every resource of the conduit: strings, dialog templates, bitmaps, help text.
const OsResourceTable* conduitResourceTable();

// Resource ids.
enum : uint32_t {
  kStrConduitName = 1, kStrCurrentSettings = 8004, kStrSync8005 = 8005, kStrCopyDtOverHh = 8006,
  kStrCopyHhOverDt = 8007, kStrDoNothing = 8008, kStrSync8009 = 8009,
  kDlgAction = 101, kDlgProgress = 102, kDlgActionLegacy = 399,
  kBmpSync = 103, kBmpDtOverHh = 104, kBmpHhOverDt = 105, kBmpSynchronize = 106,
  kHelpContext = 131471,
};

}  // namespace tolvex
#endif
