// Remote calls to the handheld sync module (creator "Qzvm", type "appl",
// named TolvanSync in messages) that the run driver makes.
#ifndef TOLVEX_CONDUIT_HANDHELDMODULE_H
#define TOLVEX_CONDUIT_HANDHELDMODULE_H
#include <string>

#include "common/RunLog.h"

namespace tolvex {

struct ModuleAnswer {
  long callResult = 0;   // SyncCallRemoteModule's answer; non-zero: not reached
  std::string text;      // version text (at most 8 characters) or encoding name
};

// The module's version text; a module error is logged and leaves it empty.
ModuleAnswer queryModuleVersion(RunLog& log);
// The handheld's encoding name; a module error is logged and leaves it empty.
ModuleAnswer queryModuleEncoding(RunLog& log);

}  // namespace tolvex
#endif
