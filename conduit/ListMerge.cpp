#include "conduit/ListMerge.h"

#include <memory>

#include "conduit/Backups.h"
#include "desktop/XmlFile.h"
#include "outline/DesktopTexts.h"
#include "outline/HandheldList.h"
#include "outline/ItemRecord.h"
#include "outline/ListCopy.h"
#include "outline/PendingRebuilds.h"
#include "platform/syncmgr/SyncMgr.h"

namespace tolvex {
namespace {

class NullLog : public RunLog {
 public:
  void write(const char*) override {}
};

std::string listPath(const RunEnv& env, const DatabaseEntry& entry) {
  return env.desktopFolder + entry.name + ".XML";
}

// Writes the merged list to both sides: the handheld first, then, once the
// handheld holds it, the desktop file. The backup ring turns only once the
// new desktop file is written whole, just before it replaces the old one.
bool saveBothSides(const RunEnv& env, ItemList& result, const DatabaseEntry& entry,
                   const DesktopBefore& before) {
  logLine(env, "# Some changes were made. Do the works.\n");
  // Once the handheld's records are written the list no longer changes (but
  // for the upload request below): the desktop file's text is made beside
  // the rest of the rebuild, and put in place only once that is done.
  const std::string path = listPath(env, entry);
  DesktopListDraft draft;
  bool renamed = false;
  if (!rebuildHandheldList(env, result, entry, &renamed, &before, [&] { draft.start(result, path); })) {
    logLine(env, "!   Couldn't update handheld. Skipping desktop save.\n");
    return false;
  }
  NullLog silent;
  RunLog& log = env.log ? *env.log : silent;
  auto roll = [&] {
    log.line("# Roll desktop-side backups.\n");
    rollBackups(log, env.desktopFolder, entry.name);
  };
  int written;
  if (renamed && draft.started()) {
    written = draft.save(env, roll, &before.stamp);
  } else {
    // The merged list waits under the temporary name: ask the next run to
    // put the desktop copy back on the handheld. The draft lacks that.
    draft.abandon();
    if (!renamed) result.setUploadFile(1);
    std::string message;
    written = writeDesktopList(env, result, path, message, roll, &before.stamp);
  }
  if (written != 0) {
    logLine(env, "# ERROR: Couldn't save updated list to desktop!\n");
    return false;
  }
  logLine(env, "# Saved updated list to desktop.\n");
  // A list waiting under the temporary name is not in step until the next run.
  return settleRebuildNote(env, entry.name, result, renamed);
}

// Both sides of one list, read whole. Null members when a side could not be
// read (logged).
struct BothSides {
  std::unique_ptr<ItemList> handheld, desktop;
  DesktopBefore before;
  bool declined = false;  // the handheld list asks not to be synchronized
};

bool readBothSides(const RunEnv& env, const DatabaseEntry& entry, BothSides& sides) {
  std::optional<uint8_t> handle = openListDatabase(env, entry, &sides.declined);
  if (!handle) return false;
  logLine(env, "#   Fetching details from handheld\n");
  bool complete = false;
  sides.handheld = readHandheldList(env, *handle, &complete);
  if (sides.handheld) sides.handheld->setUniqueTime(entry.created);
  SyncCloseDB(*handle);

  logLine(env, "#   Fetching details from desktop\n");
  const std::string path = listPath(env, entry);
  sides.before.stamp = stampOf(path);
  sides.desktop = readDesktopList(env, path);
  if (!sides.handheld || !sides.desktop) {
    logLine(env, "!   Couldn't fetch at least one. Bailing.\n");
    return false;
  }
  // A merge of a partly read list would write back a list without the
  // records it missed.
  if (!complete) {
    logLine(env, "!   Handheld list could not be read whole. Leaving both sides as they are.\n");
    return false;
  }
  sides.before.snapshot = DesktopSnapshot(*sides.desktop);
  return true;
}

int32_t unread(const BothSides& sides) { return sides.declined ? 0 : kListNotInSync; }

int32_t mergeSides(const RunEnv& env, SyncContext& context, const DatabaseEntry& entry, BothSides& sides) {
  sides.desktop->copyHeaderRecordFrom(*sides.handheld);
  // A slow merge pairs items by uniqueID whatever the lists' identities.
  if (context.kind == kSyncSlow || sides.desktop->uniqueTime() == sides.handheld->uniqueTime())
    keepDesktopTexts(*sides.handheld, *sides.desktop);
  // Items of lists with different identities pair by content as the
  // handheld holds it, so a text it holds cut still finds its desktop twin.
  context.titleForm = handheldTitle;
  context.noteForm = handheldNote;
  context.linkFileForm = handheldLinkFile;
  context.addressLinksHeld = linkEabCapacity;
  context.desktopLinks = keepDesktopLinks;
  context.name = entry.name.substr(0, 512);
  context.result = nullptr;
  context.changed = false;
  synchronizeFile(*sides.desktop, *sides.handheld, context);
  if (!context.result) {
    logLine(env, "!   Something bad happened. Bailing.\n");
    return kListNotInSync;
  }
  // A merge into the desktop list leaves nothing of the handheld list to be
  // used: it goes before the result is written, so the two are never held
  // beside the new database.
  if (context.result == sides.desktop.get()) sides.handheld.reset();
  bool saved = true;
  if (context.changed)
    saved = saveBothSides(env, *context.result, entry, sides.before);
  else
    logLine(env, "# No changes were made. Natch.\n");
  context.result = nullptr;
  return saved ? 0 : kListNotInSync;
}

}  // namespace

int32_t synchronizeList(const RunEnv& env, SyncContext& context, const DatabaseEntry& entry) {
  BothSides sides;
  if (!readBothSides(env, entry, sides)) return unread(sides);
  return mergeSides(env, context, entry, sides);
}

int32_t mergeAfterInterruptedRebuild(const RunEnv& env, SyncContext& context, const DatabaseEntry& entry) {
  BothSides sides;
  if (!readBothSides(env, entry, sides)) return unread(sides);
  if (sides.desktop->uniqueTime() == entry.created) {
    // The desktop file was saved after all; only the note was left.
    clearPendingRebuild(env.desktopFolder, entry.name);
    return mergeSides(env, context, entry, sides);
  }
  std::optional<RebuildRecord> record = readRebuildRecord(env.desktopFolder, entry.name);
  if (!record) {
    logLine(env, "!   The record of the interrupted rebuild is missing or damaged. Leaving both sides as they are;\n");
    logLine(env, "!   copy one side over the other with the HotSync action to settle the list.\n");
    return kListNotInSync;
  }
  logLine(env, "#   Merging the desktop edits made since with the list the interrupted run left on the handheld.\n");
  prepareReplay(*record, *sides.desktop, *sides.handheld);
  // The flags say exactly what changed on each side since that run.
  const int32_t kind = context.kind;
  context.kind = kSyncFast;
  const int32_t merged = mergeSides(env, context, entry, sides);
  context.kind = kind;
  return merged;
}

}  // namespace tolvex
