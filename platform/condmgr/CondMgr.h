// Conduit Manager stand-in: which conduit library serves which creator code,
// and where the HotSync program lives. State is kept in $HOTSYNC_HOME.
// Plain C; one caller thread.
#ifndef TOLVEX_PLATFORM_CONDMGR_H
#define TOLVEX_PLATFORM_CONDMGR_H
#include <stdint.h>
#ifdef __cplusplus
extern "C" {
#endif
#define CM_API __attribute__((visibility("default")))
enum { CONDERR_NONE = 0, CONDERR_NOT_FOUND = -1001, CONDERR_BUFFER_TOO_SMALL = -1002,
       CONDERR_BAD_ARG = -1003, CONDERR_IO = -1004 };
// Ordinal 90: copies the HotSync program's path into `path` (size in: buffer
// size, out: length). 0 when the path is known.
CM_API int CmGetHotSyncExecPath(char* path, int* size);
// Ordinal 65: removes the registration of the conduit for a four-character creator.
CM_API int CmRemoveConduitByCreatorID(const char* creator);
// Host side.
CM_API int CmSetHotSyncExecPath(const char* path);
CM_API int CmInstallConduit(const char* creator, const char* libraryPath, const char* folderName);
// Copies the registration of `creator` out; 0 when registered.
CM_API int CmGetConduitByCreator(const char* creator, char* libraryPath, int libraryPathSize,
                                 char* folderName, int folderNameSize);
// Lists registered creators as "Wkdq\nQzvm\n..." into buf; answers the count or <0.
CM_API int CmListCreators(char* buf, int size);
#ifdef __cplusplus
}
#endif
#endif
