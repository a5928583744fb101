// The conduit's exported entry points for a run and for its identity (the
// HotSync host looks them up by name; the types are in ConduitApi.h).
#ifndef TOLVEX_CONDUIT_ENTRY_H
#define TOLVEX_CONDUIT_ENTRY_H
#include "platform/hotsync/ConduitApi.h"

extern "C" {
// One HotSync run: 0 success, negative failure (-5 no callback, -6 no run).
long OpenConduit(ConduitCallback callback, RunProperties* properties);
// The display name "Tolvex"; 0, or -1 when it cannot be loaded.
long GetConduitName(char* buffer, uint32_t size);
uint32_t GetConduitVersion(void);
long GetConduitInfo(int kind, void* request, void* out, uint32_t* outSize);
}
#endif
