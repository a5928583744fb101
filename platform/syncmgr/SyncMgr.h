// Sync Manager stand-in: the handheld-access API a conduit calls, working on a
// handheld image (a folder of .pdb files plus device.ini).
//
// Plain C interface. Every call answers 0 for success or a non-zero SYNCERR_*
// code. Numbers inside the records below are in host order; record *bytes*
// (record data, app-info blocks, remote-call buffers) are handheld bytes
// (big-endian), which SyncHHToHostWord/DWord convert.
//
// Threading: one caller thread; no call is reentrant.
#ifndef TOLVEX_PLATFORM_SYNCMGR_H
#define TOLVEX_PLATFORM_SYNCMGR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SYNC_API __attribute__((visibility("default")))

typedef uint32_t CONDHANDLE;

// Error codes (any non-zero value is a failure).
enum {
  SYNCERR_NONE = 0,
  SYNCERR_UNKNOWN = 0x4001,
  SYNCERR_NOT_FOUND = 0x4002,      // database or record does not exist
  SYNCERR_BAD_ARG = 0x4003,
  SYNCERR_NOT_OPEN = 0x4004,       // no image attached or handle not open
  SYNCERR_EXISTS = 0x4005,         // database of that name already exists
  SYNCERR_TOO_BIG = 0x4006,        // record larger than the caller's buffer
  SYNCERR_READ_ONLY = 0x4007,      // write to a database opened for reading
  SYNCERR_NO_MODULE = 0x4008,      // handheld sync module not installed
  SYNCERR_IO = 0x4009,             // the image could not be read or written
  SYNCERR_TOO_MANY = 0x400A,       // too many open databases
  SYNCERR_FAULT = 0x40FF,          // injected by SYNCMGR_FAULTS
};

#define SYNC_DB_NAMELEN 32

// Open modes.
enum { SYNC_MODE_READ = 0x80, SYNC_MODE_WRITE = 0x40, SYNC_MODE_SECRET = 0x10 };
// Record attribute bit for a deleted record.
enum { SYNC_REC_DELETED = 0x80 };

#pragma pack(push, 1)

// One database of the handheld's database list (78 bytes).
typedef struct SyncDbRecord {
  int32_t cardNum;                 // 0
  uint16_t dbFlags;                // 4
  uint32_t dbType;                 // 6
  char name[SYNC_DB_NAMELEN];      // 10, NUL-terminated
  uint32_t creator;                // 42
  uint16_t version;                // 46
  uint32_t modNumber;              // 48
  uint16_t index;                  // 52
  uint32_t createDate;             // 54, seconds since 1904-01-01
  uint32_t modDate;                // 58
  uint32_t backupDate;             // 62
  uint32_t miscFlags;              // 66
  uint32_t recCount;               // 70
  uint32_t reserved;               // 74
} SyncDbRecord;

// Creation record for SyncCreateDB (52 bytes).
typedef struct SyncCreateRecord {
  uint8_t handle;                  // 0, out
  uint32_t creator;                // 1
  uint32_t flags;                  // 5, database attribute flags
  uint8_t cardNo;                  // 9
  char name[SYNC_DB_NAMELEN];      // 10
  uint32_t dbType;                 // 42
  uint16_t version;                // 46
  uint32_t reserved;               // 48
} SyncCreateRecord;

// Record information block for SyncReadRecordByIndex and SyncWriteRec.
typedef struct SyncRecordInfo {
  uint8_t handle;                  // 0
  uint32_t recId;                  // 1: read: out; write: in (0 = new), out
  uint16_t recIndex;               // 5: read: in
  uint8_t attribs;                 // 7: read: out (SYNC_REC_DELETED)
  int16_t category;                // 8: read: out
  uint32_t conduitId;              // 10: unused
  uint32_t recSize;                // 14: read: out; write: in
  uint16_t bufSize;                // 18: read: buffer size; write: bytes
  uint8_t* buffer;                 // 20
  uint32_t reserved;               // 20 + sizeof(void*)
} SyncRecordInfo;

// Card information for SyncReadSingleCardInfo.
typedef struct SyncCardInfo {
  uint8_t cardNo;                  // 0
  uint16_t cardVersion;            // 1
  uint32_t createDate;             // 3
  uint32_t romSize;                // 7
  uint32_t ramSize;                // 11
  uint32_t freeRam;                // 15
  char cardName[32];               // 19
  char manufName[32];              // 51
  uint16_t romDbCount;             // 83
  uint16_t ramDbCount;             // 85
  uint32_t reserved;               // 87
} SyncCardInfo;

// User identity for SyncReadUserID; the name is the first field.
typedef struct SyncUserInfo {
  char name[64];                   // 0, NUL-terminated; empty when unknown
  int32_t nameLength;              // 64
  char password[64];               // 68
  int32_t passwordLength;          // 132
  uint32_t lastSyncDate;           // 136
  uint32_t lastSyncPC;             // 140: desktop id of the last sync, 0 = never
  uint32_t userId;                 // 144
  uint32_t viewerId;               // 148
  uint32_t reserved;               // 152
} SyncUserInfo;

// Application-info block description for SyncReadDBAppInfoBlock.
typedef struct SyncAppInfoBlock {
  char reserved0[SYNC_DB_NAMELEN]; // 0
  uint16_t bufSize;                // 32: in: buffer size
  uint16_t bytesRead;              // 34: out: bytes placed in the buffer
  uint8_t* buffer;                 // 36
  uint32_t reserved;               // 36 + sizeof(void*)
} SyncAppInfoBlock;

// Request for SyncReadOpenDbInfo: the byte 0x80, then the handle.
typedef struct SyncOpenDbInfoRequest {
  uint8_t flags;                   // 0: 0x80
  uint8_t handle;                  // 1
} SyncOpenDbInfoRequest;

// Remote call to a handheld module (SyncCallRemoteModule).
typedef struct SyncCallModuleParams {
  uint32_t creator;                // 0: module creator, e.g. 'Qzvm'
  uint32_t type;                   // 4: module type, 'appl'
  uint16_t function;               // 8: function number
  uint32_t paramSize;              // 10
  void* param;                     // 14
  uint32_t replySize;              // 14 + P
  void* reply;                     // 18 + P
  uint32_t resultCode;             // 18 + 2P: the module's own result
  uint32_t replyBytes;             // 22 + 2P: bytes placed in the reply
  uint32_t reserved;               // 26 + 2P
} SyncCallModuleParams;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(SyncDbRecord) == 78, "database record is 78 bytes");
static_assert(offsetof(SyncDbRecord, dbType) == 6 && offsetof(SyncDbRecord, name) == 10 &&
              offsetof(SyncDbRecord, creator) == 42 && offsetof(SyncDbRecord, createDate) == 54,
              "database record layout");
static_assert(offsetof(SyncCreateRecord, creator) == 1 && offsetof(SyncCreateRecord, flags) == 5 &&
              offsetof(SyncCreateRecord, cardNo) == 9 && offsetof(SyncCreateRecord, name) == 10 &&
              offsetof(SyncCreateRecord, dbType) == 42 && offsetof(SyncCreateRecord, version) == 46,
              "creation record layout");
static_assert(offsetof(SyncRecordInfo, recId) == 1 && offsetof(SyncRecordInfo, recIndex) == 5 &&
              offsetof(SyncRecordInfo, attribs) == 7 && offsetof(SyncRecordInfo, category) == 8 &&
              offsetof(SyncRecordInfo, recSize) == 14 && offsetof(SyncRecordInfo, bufSize) == 18 &&
              offsetof(SyncRecordInfo, buffer) == 20,
              "record information layout");
static_assert(offsetof(SyncUserInfo, name) == 0, "user name first");
static_assert(offsetof(SyncCardInfo, cardNo) == 0, "card number first");
static_assert(offsetof(SyncCallModuleParams, function) == 8 &&
              offsetof(SyncCallModuleParams, paramSize) == 10 &&
              offsetof(SyncCallModuleParams, param) == 14, "call record layout");
#endif

// Handheld sync module function numbers and the creator/type it answers under.
enum { SYNC_MODULE_VERSION = 127, SYNC_MODULE_GET_ENCODING = 126, SYNC_MODULE_RENAME_DB = 125 };
#define SYNC_FOURCC(a, b, c, d) \
  (((uint32_t)(a) << 24) | ((uint32_t)(b) << 16) | ((uint32_t)(c) << 8) | (uint32_t)(d))

// --- Conduit-facing operations (the comment gives the platform ordinal) ---
SYNC_API long SyncRegisterConduit(CONDHANDLE* handle);               // 22
SYNC_API long SyncUnRegisterConduit(CONDHANDLE handle);              // 23
SYNC_API long SyncAddLogEntry(const char* text);                     // 42
SYNC_API long SyncGetAPIVersion(uint32_t* major, uint32_t* minor);
SYNC_API long SyncReadUserID(SyncUserInfo* info);                    // 24
SYNC_API long SyncReadSingleCardInfo(SyncCardInfo* info);
// Fills up to *count records of card `card` from `startIndex`; lowers *count.
SYNC_API long SyncReadDBList(uint8_t card, uint16_t startIndex, int ramOnly,
                             SyncDbRecord* records, int* count);    // 30
SYNC_API long SyncOpenDB(const char* name, int card, uint8_t* handle, uint8_t mode);  // 26
SYNC_API long SyncCreateDB(SyncCreateRecord* record);                // 27
SYNC_API long SyncCloseDB(uint8_t handle);                           // 28
SYNC_API long SyncDeleteDB(const char* name, int card);              // 29
SYNC_API long SyncReadOpenDbInfo(const SyncOpenDbInfoRequest* request, SyncDbRecord* info);
SYNC_API long SyncGetDBRecordCount(uint8_t handle, uint16_t* count);
SYNC_API long SyncReadRecordByIndex(SyncRecordInfo* info);           // 36
SYNC_API long SyncWriteRec(SyncRecordInfo* info);                    // 32
SYNC_API long SyncReadDBAppInfoBlock(uint8_t handle, SyncAppInfoBlock* block);  // 38
SYNC_API long SyncCallRemoteModule(SyncCallModuleParams* params);
SYNC_API uint16_t SyncHHToHostWord(uint16_t value);
SYNC_API uint32_t SyncHHToHostDWord(uint32_t value);

// --- Host-facing operations (used by the hotsync program, never by a conduit) ---
typedef void (*SyncHostLogSink)(const char* text, void* context);
// Attaches the handheld image in `folder`; reads device.ini. Non-zero on failure.
// Files the image skips, or holds as unreadable databases (their header still
// names them; opening or deleting one answers SYNCERR_IO), are reported on
// stderr and to the log sink.
SYNC_API long SyncHostAttach(const char* folder);
// Writes back anything still open and detaches. SYNCERR_IO when a changed
// database could not be written back at some point since attaching (each
// such failure was reported on stderr and to the log sink).
SYNC_API long SyncHostDetach(void);
// Where SyncAddLogEntry lines go (stdout when none is set).
SYNC_API void SyncHostSetLogSink(SyncHostLogSink sink, void* context);
// Creates a new handheld image: the folder (made when missing) and its device.ini
// with user `userName` (NULL: no [user] group) and the defaults of the other groups.
SYNC_API long SyncHostCreateImage(const char* folder, const char* userName);
// Copies the database file `path` (a .pdb of a backup) into the attached image
// unchanged, under the image's file name for its header name. Refuses a
// symbolic link, anything but a regular file, a file that is not a well-formed
// record database (SYNCERR_BAD_ARG) and a name the image already holds
// (SYNCERR_EXISTS). `message` (NUL-terminated, cut to `size`) gets the
// database name on success, the reason otherwise.
SYNC_API long SyncHostImportDatabase(const char* path, char* message, size_t size);
// Writes an open database's application-info block (image preparation and tests).
SYNC_API long SyncWriteDBAppInfoBlock(uint8_t handle, const uint8_t* bytes, uint16_t size);
// Sets attributes (SYNC_REC_DELETED, ...) and category of record `index` of an open database.
SYNC_API long SyncHostSetRecordAttributes(uint8_t handle, uint16_t index, uint8_t attribs,
                                          int16_t category);
// Records `desktopId` as the handheld's last desktop (device.ini [sync]).
SYNC_API long SyncHostSetLastDesktop(uint32_t desktopId);

#ifdef __cplusplus
}
#endif
#endif
