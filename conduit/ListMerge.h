// Merging one list present on both sides: read both, let libsync merge them,
// write the result to the handheld and, after the backup roll, the desktop.
#ifndef TOLVEX_CONDUIT_LISTMERGE_H
#define TOLVEX_CONDUIT_LISTMERGE_H
#include "common/DatabaseEntry.h"
#include "common/RunLog.h"
#include "libsync/SyncContext.h"

namespace tolvex {

// 0 when the merge ran to the end (changed or not) or the handheld list asks
// not to be synchronized; kListNotInSync (ListCopy.h) when the list could not
// be read, merged or saved on both sides.
int32_t synchronizeList(const RunEnv& env, SyncContext& context, const DatabaseEntry& entry);
// For a list whose rebuild a run before this one finished on the handheld but
// never saved to the desktop, where the file was edited since: merges those
// edits with what the handheld holds, using the rebuild's record (see
// outline/RebuildRecord.h). Without one both sides are left alone and the
// answer is kListNotInSync.
int32_t mergeAfterInterruptedRebuild(const RunEnv& env, SyncContext& context, const DatabaseEntry& entry);

}  // namespace tolvex
#endif
