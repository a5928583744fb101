// Placeholder: the per-list merge lands with the end-to-end work.
#include "conduit/ListMerge.h"
namespace tolvex {
bool synchronizeList(const RunEnv&, SyncContext&, const DatabaseEntry&) { return false; }
}  // namespace tolvex
