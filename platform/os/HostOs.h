// OS stand-in: registry, progress window, modal dialogs, resources, help and
// the log viewer, shaped like the desktop platform the conduit was written for.
// Plain C; everything runs on the caller's thread. State lives in $HOTSYNC_HOME.
#ifndef TOLVEX_PLATFORM_HOSTOS_H
#define TOLVEX_PLATFORM_HOSTOS_H
#include <stddef.h>
#include <stdint.h>
#ifdef __cplusplus
extern "C" {
#endif
#define OS_API __attribute__((visibility("default")))

// ---- Registry (over $HOTSYNC_HOME/registry.ini) ----
typedef struct OsRegKey_* OsRegKey;
enum { OS_HKEY_LOCAL_MACHINE = 1 };
enum { OS_REG_OK = 0, OS_REG_NOT_FOUND = 2, OS_REG_ERROR = 1 };
enum { OS_REG_CREATED_NEW_KEY = 1, OS_REG_OPENED_EXISTING_KEY = 2 };
enum { OS_REG_DWORD = 4, OS_REG_SZ = 1 };
// `path` uses "\" between parts, e.g. "Software\\Marrowind\\Tolvex\\RegBool".
OS_API long OsRegOpenKey(int root, const char* path, OsRegKey* key);
// disposition out: OS_REG_CREATED_NEW_KEY or OS_REG_OPENED_EXISTING_KEY.
OS_API long OsRegCreateKey(int root, const char* path, const char* keyClass, OsRegKey* key,
                           uint32_t* disposition);
// Copies at most *size bytes of the value into data; *size becomes its size.
OS_API long OsRegQueryValue(OsRegKey key, const char* name, uint32_t* type, void* data,
                            uint32_t* size);
OS_API long OsRegSetValue(OsRegKey key, const char* name, uint32_t type, const void* data,
                          uint32_t size);
OS_API long OsRegCloseKey(OsRegKey key);

// ---- Resources ----
// A module's resource table: the library that owns it registers it once when loaded.
typedef struct OsStringResource { uint32_t id; const char* text; } OsStringResource;
typedef struct OsBitmapResource { uint32_t id; int width, height; const uint32_t* pixels; } OsBitmapResource;
typedef struct OsDialogControl {
  uint32_t id;           // 0xFFFF for a static without id
  int kind;              // OS_CTL_*
  const char* text;
  int x, y, cx, cy;      // dialog units
} OsDialogControl;
enum { OS_CTL_STATIC = 1, OS_CTL_GROUP = 2, OS_CTL_CHECKBOX = 3, OS_CTL_RADIO = 4,
       OS_CTL_BUTTON = 5, OS_CTL_DEFBUTTON = 6, OS_CTL_PICTURE = 7, OS_CTL_PROGRESS = 8 };
typedef struct OsDialogTemplate {
  uint32_t id; const char* title; const char* font; int fontSize; int cx, cy;
  const OsDialogControl* controls; size_t controlCount;
} OsDialogTemplate;
typedef struct OsResourceTable {
  const OsStringResource* strings; size_t stringCount;
  const OsDialogTemplate* dialogs; size_t dialogCount;
  const OsBitmapResource* bitmaps; size_t bitmapCount;
  const char* helpText;              // shown by OsWinHelp, may be NULL
} OsResourceTable;
typedef const struct OsModule_* OsModule;
OS_API OsModule OsRegisterModule(const char* libraryPath, const OsResourceTable* table);
OS_API const char* OsModulePath(OsModule module);
// Copies string `id` (at most size-1 chars, terminated). Answers the length, 0 when missing.
OS_API int OsLoadString(OsModule module, uint32_t id, char* buffer, int size);

// ---- Dialogs ----
typedef struct OsDialog_* OsDialog;
enum { OS_MSG_INITDIALOG = 1, OS_MSG_COMMAND = 2, OS_MSG_SYSCOLORCHANGE = 3, OS_MSG_HELP = 4,
       OS_MSG_DESTROY = 5 };
// Answers nonzero when the message was handled.
typedef int (*OsDialogProc)(OsDialog dialog, int message, uint32_t controlId, void* param);
// Runs template `templateId` of `module` modally; `param` arrives with OS_MSG_INITDIALOG.
// Answers the value passed to OsEndDialog, or -1 when the template cannot be loaded.
OS_API long OsDialogBox(OsModule module, uint32_t templateId, OsDialogProc proc, void* param);
OS_API void OsEndDialog(OsDialog dialog, long result);
OS_API int OsSetDlgItemText(OsDialog dialog, uint32_t id, const char* text);   // 0 when no such control
OS_API int OsGetDlgItemText(OsDialog dialog, uint32_t id, char* buffer, int size);
OS_API int OsSetWindowText(OsDialog dialog, const char* text);
OS_API int OsCheckDlgButton(OsDialog dialog, uint32_t id, int checked);
OS_API int OsIsDlgButtonChecked(OsDialog dialog, uint32_t id);
OS_API int OsCheckRadioButton(OsDialog dialog, uint32_t first, uint32_t last, uint32_t check);
// Loads bitmap `bitmapId`, maps light grey 0xC0C0C0 to the button face colour, puts it
// into picture control `id`; the picture held before is released. 0 on failure.
OS_API int OsSetDlgItemBitmap(OsDialog dialog, uint32_t id, OsModule module, uint32_t bitmapId);
// How modal dialogs are driven: scripted clicks (then OK/Cancel), or interactive on a terminal.
enum { OS_DIALOG_END_OK = 1, OS_DIALOG_END_CANCEL = 2 };
// The script serves the next OsDialogBox only. Besides control ids a click may be
// OS_DIALOG_SCRIPT_HELP (the F1 help request) or OS_DIALOG_SCRIPT_SYSCOLORCHANGE.
// With neither a script nor interactive mode a dialog ends as if Cancel was pressed.
enum { OS_DIALOG_SCRIPT_HELP = 0xFFFFFFF0u, OS_DIALOG_SCRIPT_SYSCOLORCHANGE = 0xFFFFFFF1u };
OS_API void OsDialogScript(const uint32_t* clicks, size_t count, int end);
OS_API void OsDialogInteractive(int enable);
// The last modal dialog as it ended, for tests: a control's text, check state and
// picture's bitmap id (""/0 when no such control), the title and the result.
OS_API const char* OsDialogLastText(uint32_t id);
OS_API int OsDialogLastChecked(uint32_t id);
OS_API uint32_t OsDialogLastBitmap(uint32_t id);
OS_API const char* OsDialogLastTitle(void);
OS_API long OsDialogLastResult(void);
// The choices the last modal dialog ended with, in the dialog's own words:
// for each group of radio buttons "heading: label of the checked one\n" (the
// heading is the group box or label above the group, as the template names it).
OS_API const char* OsDialogLastChoices(void);
// The first scripted click that named no control of the dialog, 0 when none
// did. Such a script is not played: the dialog ends as if Cancel was pressed.
OS_API uint32_t OsDialogLastUnknownClick(void);
// What can be clicked in the dialogs of the module registered for the library
// file `libraryPath`: one "ID<TAB>label<TAB>heading\n" line per check box,
// radio button and button (each id once; heading as above, "" for none).
// "" when no module of that file is registered.
OS_API const char* OsModuleClickableControls(const char* libraryPath);

// ---- Progress window (modeless) ----
typedef struct OsProgress_* OsProgress;
OS_API OsProgress OsProgressCreate(OsModule module, uint32_t templateId);
OS_API void OsProgressSetText(OsProgress window, uint32_t controlId, const char* text);
OS_API const char* OsProgressText(OsProgress window, uint32_t controlId);  // "" when unknown
OS_API void OsProgressSetRange(OsProgress window, int low, int high);
OS_API void OsProgressSetPosition(OsProgress window, int position);
// Dispatches pending events (Ctrl-C); answers nonzero once Cancel was pressed.
OS_API int OsProgressCancelled(OsProgress window);
OS_API void OsProgressDestroy(OsProgress window);
// The last window created, for tests: texts stay readable after destroy.
OS_API OsProgress OsProgressLast(void);
// For tests: the range and position, and whether the window still exists
// (0 after destroy or after Cancel).
OS_API void OsProgressGetRange(OsProgress window, int* low, int* high);
OS_API int OsProgressPosition(OsProgress window);
OS_API int OsProgressIsOpen(OsProgress window);
// Prints one line on stdout without tearing the progress line drawn on the
// same terminal: the progress line is taken away, the text printed, the
// progress line drawn again below it.
OS_API void OsProgressPrintLine(const char* text);

// ---- Help, log viewer, files ----
// Prints the module's help text on stdout; answers 1 when there was one, else 0.
OS_API int OsWinHelp(OsModule module, const char* helpFile, uint32_t command, uint32_t context);
OS_API const char* OsLastHelpRequest(void);  // "file#context" of the last request, for tests
// Starts the log viewer on `path` without waiting ($TOLVEX_LOG_VIEWER, xdg-open, or stderr).
// Answers 1 when a viewer was started, 0 when the path was printed instead, -1 on failure.
OS_API int OsShowLogFile(const char* path);
#ifdef __cplusplus
}
#endif
#endif
