// Rolling desktop backups of a list file before it is replaced.
#ifndef TOLVEX_CONDUIT_BACKUPS_H
#define TOLVEX_CONDUIT_BACKUPS_H
#include <string>

#include "common/RunLog.h"

namespace tolvex {

// Moves the live desktop file "<folder><name>.XML" into "<folder>Backup/<name>.0",
// turning .1 -> .2 and .0 -> .1 first; logs every step, reports nothing.
void rollBackups(RunLog& log, const std::string& folder, const std::string& name);

}  // namespace tolvex
#endif
