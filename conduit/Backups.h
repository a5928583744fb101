// Rolling desktop backups of a list file when it is replaced.
#ifndef TOLVEX_CONDUIT_BACKUPS_H
#define TOLVEX_CONDUIT_BACKUPS_H
#include <string>

#include "common/RunLog.h"

namespace tolvex {

// Turns the ring .1 -> .2, .0 -> .1 in "<folder>Backup/" and puts the live
// file "<folder><name>.XML" in as ".0". Run it only once the replacement is
// written whole: the live file gets ".0" as a second name (a hard link), so it
// stays in place until the caller renames the replacement over it; where a
// link cannot be made it is moved instead. A "Backup" that is a symbolic link
// is replaced by a folder of its own, as a list file that is a link is
// replaced when saved: nothing is ever written through a link. Logs every
// step, reports nothing.
void rollBackups(RunLog& log, const std::string& folder, const std::string& name);

}  // namespace tolvex
#endif
