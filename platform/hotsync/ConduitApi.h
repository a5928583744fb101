// What the HotSync host and a conduit library exchange: the records passed to
// the conduit's exported C entry points, laid out byte for byte, and the
// entry points' types (looked up with dlsym).
#ifndef TOLVEX_PLATFORM_CONDUITAPI_H
#define TOLVEX_PLATFORM_CONDUITAPI_H
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)
// The host's record for one run (1198 bytes).
typedef struct RunProperties {
  int32_t syncType;          // 0: 0 eFast .. 7 eProfileInstall
  char desktopFolder[256];   // 4: ends in "/"
  char localName[256];       // 260: host's name for the desktop
  char userName[256];        // 516
  char remoteNames[136];     // 772: not used
  uint32_t creator;          // 908: creator code the conduit was invoked under
  uint32_t cardNo;           // 912
  uint32_t dbType;           // 916
  char reserved[278];        // 920
} RunProperties;

// Name request for GetConduitInfo kind 0 (80 bytes).
typedef struct ConduitNameRequest {
  uint32_t version;          // 0: 1
  uint32_t size;             // 4: 80
  uint32_t creator;          // 8
  uint32_t userId;           // 12
  char userName[64];         // 16
} ConduitNameRequest;

// Exchanged with CfgConduit, built by ConfigureConduit (352 bytes).
typedef struct ActionConfigBlock {
  uint32_t version;          // 0: 1
  uint32_t size;             // 4: 352
  uint32_t creator;          // 8: non-zero when the host filled the block
  uint32_t userId;           // 12
  char userName[64];         // 16
  char folder[256];          // 80
  uint32_t permanentSyncType;// 336
  uint32_t temporarySyncType;// 340
  uint32_t newSyncType;      // 344: out, 6 or 0
  uint32_t preferenceKind;   // 348: out, 1 permanent, 2 temporary
} ActionConfigBlock;

// The older configuration entry's preference record.
typedef struct ConduitPreference {
  char reserved[516];        // 0
  int32_t preferenceKind;    // 516: 1 permanent, 2 temporary
  int32_t syncType;          // 520
  char reserved2[32];        // 524
} ConduitPreference;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(RunProperties) == 1198, "RunProperties is 1198 bytes");
static_assert(offsetof(RunProperties, desktopFolder) == 4 && offsetof(RunProperties, creator) == 908,
              "RunProperties layout");
static_assert(sizeof(ConduitNameRequest) == 80, "name request is 80 bytes");
static_assert(sizeof(ActionConfigBlock) == 352, "action block is 352 bytes");
static_assert(offsetof(ActionConfigBlock, permanentSyncType) == 336 &&
              offsetof(ActionConfigBlock, preferenceKind) == 348, "action block layout");
static_assert(offsetof(ConduitPreference, preferenceKind) == 516 &&
              offsetof(ConduitPreference, syncType) == 520, "preference layout");
#endif

enum { kSyncFastType = 0, kSyncSlowType = 1, kSyncHHtoPC = 2, kSyncPCtoHH = 3, kSyncInstall = 4,
       kSyncBackup = 5, kSyncDoNothing = 6, kSyncProfileInstall = 7 };

typedef void (*ConduitCallback)(void);
typedef long (*OpenConduitFn)(ConduitCallback callback, RunProperties* properties);
typedef long (*GetConduitNameFn)(char* buffer, uint32_t size);
typedef uint32_t (*GetConduitVersionFn)(void);
typedef long (*GetConduitInfoFn)(int kind, void* request, void* out, uint32_t* outSize);
typedef long (*ConfigureConduitFn)(ConduitPreference* preference);
typedef long (*CfgConduitFn)(int kind, void* block, uint32_t* blockSize);

/* ConfigureConduit and CfgConduit answer this when OK was pressed but a
   chosen setting could not be stored: the action is then not reported. */
enum { kConduitSettingsNotSaved = 4220 };

#ifdef __cplusplus
}
#endif
#endif
