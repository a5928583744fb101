// The conduit's resources: string table, the two action dialog templates, the
// progress dialog, four small bitmaps and the help text.
#include "conduit/Module.h"

namespace tolvex {

namespace {

constexpr uint32_t kNoId = 0xFFFF;

const OsStringResource kStrings[] = {
    {kStrConduitName, "Tolvex"},
    {kStrCurrentSettings, "%s's Current Settings:"},
    {kStrSync8005, "Synchronize"},
    {kStrCopyDtOverHh, "Synchronize"},
    {kStrCopyHhOverDt, "Synchronize"},
    {kStrDoNothing, "Do Nothing"},
    {kStrSync8009, "Synchronize"},
};

// The action controls below the current-settings box, laid out from `top`.
#define TOLVEX_ACTION_CONTROLS(top)                                                              \
  {kNoId, OS_CTL_GROUP, "Synchronize?", 7, (top), 287, 30},                                    \
  {1003, OS_CTL_PICTURE, "#106", 15, (top) + 10, 16, 14},                                       \
  {407, OS_CTL_CHECKBOX, "Do &not synchronize", 40, (top) + 13, 150, 10},                       \
  {403, OS_CTL_GROUP, "Synching at same computer as last synch", 7, (top) + 34, 287, 108},      \
  {1000, OS_CTL_PICTURE, "#103", 15, (top) + 45, 16, 12},                                       \
  {404, OS_CTL_RADIO, "Synchronize", 38, (top) + 46, 200, 10},                                  \
  {1001, OS_CTL_PICTURE, "#104", 15, (top) + 59, 16, 12},                                       \
  {405, OS_CTL_RADIO, "Copy desktop file over handheld", 38, (top) + 60, 200, 10},              \
  {1002, OS_CTL_PICTURE, "#105", 15, (top) + 73, 16, 12},                                       \
  {406, OS_CTL_RADIO, "Copy handheld file over desktop", 38, (top) + 74, 200, 10},              \
  {kNoId, OS_CTL_STATIC, "When item is modified on both sides:", 15, (top) + 90, 200, 8},       \
  {412, OS_CTL_RADIO, "Keep items from both sides", 38, (top) + 101, 200, 10},                  \
  {410, OS_CTL_RADIO, "Desktop item overwrites handheld", 38, (top) + 113, 200, 10},            \
  {411, OS_CTL_RADIO, "Handheld item overwrites desktop", 38, (top) + 125, 200, 10},            \
  {1012, OS_CTL_GROUP, "Synching at different computer than last synch", 7, (top) + 146, 287, \
   44},                                                                                          \
  {1007, OS_CTL_PICTURE, "#104", 15, (top) + 157, 16, 12},                                      \
  {408, OS_CTL_RADIO, "Copy desktop file over handheld", 38, (top) + 158, 200, 10},             \
  {1008, OS_CTL_PICTURE, "#105", 15, (top) + 173, 16, 12},                                      \
  {409, OS_CTL_RADIO, "Copy handheld file over desktop", 38, (top) + 174, 200, 10},             \
  {415, OS_CTL_CHECKBOX, "Set &as default", 7, (top) + 195, 100, 10},                           \
  {1, OS_CTL_DEFBUTTON, "OK", 130, (top) + 193, 50, 14},                                        \
  {2, OS_CTL_BUTTON, "Cancel", 187, (top) + 193, 50, 14},                                       \
  {9, OS_CTL_BUTTON, "&Help", 244, (top) + 193, 50, 14}

const OsDialogControl kActionControls[] = {
    {1006, OS_CTL_GROUP, "Current Settings", 7, 4, 287, 38},
    {kNoId, OS_CTL_STATIC, "Default HotSync Action:", 15, 16, 90, 8},
    {1004, OS_CTL_STATIC, "Static", 110, 16, 176, 8},
    {kNoId, OS_CTL_STATIC, "Next HotSync Action:", 15, 28, 90, 8},
    {1005, OS_CTL_STATIC, "Static", 110, 28, 176, 8},
    TOLVEX_ACTION_CONTROLS(48),
};

const OsDialogControl kLegacyActionControls[] = {
    TOLVEX_ACTION_CONTROLS(7),
};

#undef TOLVEX_ACTION_CONTROLS

const OsDialogControl kProgressControls[] = {
    {kNoId, OS_CTL_STATIC, "Synchronizing:", 7, 7, 50, 8},
    {1018, OS_CTL_STATIC, "", 60, 7, 150, 8},
    {kNoId, OS_CTL_STATIC, "Synchronizing:", 7, 18, 50, 8},
    {1019, OS_CTL_STATIC, "", 60, 18, 150, 8},
    {kNoId, OS_CTL_STATIC, "Logs:", 7, 29, 50, 8},
    {1020, OS_CTL_STATIC, "", 60, 29, 150, 8},
    {1021, OS_CTL_PROGRESS, "msctls_progress32", 7, 42, 203, 10},
    {1022, OS_CTL_STATIC, "", 160, 56, 50, 8},
    {kNoId, OS_CTL_STATIC, "http://www.example.org/", 7, 56, 150, 8},
    {2, OS_CTL_BUTTON, "Cancel", 83, 74, 50, 14},
};

#define TOLVEX_COUNT(a) (sizeof(a) / sizeof((a)[0]))

const OsDialogTemplate kDialogs[] = {
    {kDlgAction, "Change HotSync Action", "MS Sans Serif", 8, 301, 271, kActionControls,
     TOLVEX_COUNT(kActionControls)},
    {kDlgActionLegacy, "Change HotSync Action", "MS Sans Serif", 8, 301, 230,
     kLegacyActionControls, TOLVEX_COUNT(kLegacyActionControls)},
    {kDlgProgress, "Marrowind Tolvex", "MS Sans Serif", 8, 217, 95, kProgressControls,
     TOLVEX_COUNT(kProgressControls)},
};

// 8 by 8 pictures; light grey (0xC0C0C0) is the background the OS maps to
// the button face colour.
constexpr uint32_t G = 0xC0C0C0, K = 0x000000, B = 0x0000C0, R = 0xC00000, W = 0xFFFFFF;
const uint32_t kSyncPixels[64] = {
    G, G, B, B, B, B, G, G,  G, B, G, G, G, G, R, G,  B, G, G, G, G, R, R, R,  B, G, G, G, G, G, R, G,
    G, B, G, G, G, G, G, R,  B, B, B, G, G, G, G, R,  G, B, G, G, G, G, R, G,  G, G, R, R, R, R, G, G,
};
const uint32_t kDtOverHhPixels[64] = {
    K, K, K, K, K, G, G, G,  K, W, W, W, K, G, G, G,  K, K, K, K, K, G, G, G,  G, G, K, G, G, G, B, G,
    G, G, G, G, G, B, B, B,  G, G, G, G, K, K, K, G,  G, G, G, G, K, W, K, G,  G, G, G, G, K, K, K, G,
};
const uint32_t kHhOverDtPixels[64] = {
    G, G, G, G, K, K, K, G,  G, G, G, G, K, W, K, G,  G, G, G, G, K, K, K, G,  G, B, G, G, G, G, G, G,
    B, B, B, G, G, G, G, G,  K, K, K, K, K, G, G, G,  K, W, W, W, K, G, G, G,  K, K, K, K, K, G, G, G,
};
const uint32_t kSynchronizePixels[64] = {
    G, G, G, K, K, G, G, G,  G, G, K, W, W, K, G, G,  G, G, G, G, W, K, G, G,  G, G, G, W, K, G, G, G,
    G, G, G, K, G, G, G, G,  G, G, G, G, G, G, G, G,  G, G, G, K, G, G, G, G,  G, G, G, G, G, G, G, G,
};

const OsBitmapResource kBitmaps[] = {
    {kBmpSync, 8, 8, kSyncPixels},
    {kBmpDtOverHh, 8, 8, kDtOverHhPixels},
    {kBmpHhOverDt, 8, 8, kHhOverDtPixels},
    {kBmpSynchronize, 8, 8, kSynchronizePixels},
};

// Shown for context 131471, the "Change HotSync Action" dialog.
const char* const kHelpText =
    "Change HotSync Action (Tolvex)\n"
    "\n"
    "Do not synchronize: Tolvex skips the next HotSync.\n"
    "\n"
    "Synching at same computer as last synch: what happens to a list that is on both\n"
    "the handheld and this desktop when the handheld last synchronized here.\n"
    "  Synchronize - merge the two versions item by item.\n"
    "  Copy desktop file over handheld - the desktop list replaces the handheld list.\n"
    "  Copy handheld file over desktop - the handheld list replaces the desktop file.\n"
    "\n"
    "When item is modified on both sides: which version of an item changed on both\n"
    "sides is kept while merging - both, the desktop one or the handheld one.\n"
    "\n"
    "Synching at different computer than last synch: what happens to a list on both\n"
    "sides when the handheld last synchronized elsewhere.\n"
    "\n"
    "Set as default: keep these choices for every HotSync; otherwise they apply to\n"
    "the next HotSync only.\n";

const OsResourceTable kTable = {
    kStrings, TOLVEX_COUNT(kStrings), kDialogs, TOLVEX_COUNT(kDialogs),
    kBitmaps, TOLVEX_COUNT(kBitmaps), kHelpText,
};

#undef TOLVEX_COUNT

}  // namespace

const OsResourceTable* conduitResourceTable() { return &kTable; }

}  // namespace tolvex
