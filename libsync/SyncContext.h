// The merge engine's entry: what the pipeline hands over for one list, and
// the operation that merges a handheld list into its desktop twin.
// The engine edits the lists it is given and owns nothing. Single-threaded.
#ifndef TOLVEX_LIBSYNC_SYNCCONTEXT_H
#define TOLVEX_LIBSYNC_SYNCCONTEXT_H
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "outline/ItemList.h"

namespace tolvex {

enum SyncKind : int32_t { kSyncKindNil = 0, kSyncSlow = 1, kSyncFast = 2 };
enum CollisionMethod : int32_t {
  kMethodNil = 0, kHhOverDt = 1, kDtOverHh = 2, kByTime = 3, kKeepDuplicate = 4 };

// How one side holds a text (for instance cut, with stand-ins for the
// characters it lacks).
using TextForm = std::string (*)(const std::string&);
// Gives a handheld item the links of its desktop twin where it holds them as
// the handheld does (a file link cut short, only the address links one
// record holds). Answers whether it took any.
using LinkForm = bool (*)(ListNode& handheldItem, const ListNode& desktopItem);

struct SyncContext {
  std::string name;              // list name, at most 512 characters
  int32_t kind = kSyncFast;
  int32_t method = kHhOverDt;
  std::FILE* log = nullptr;      // absent: the engine writes nothing
  ItemList* result = nullptr;    // out
  bool changed = false;          // out
  bool verbose = false;
  // The handheld's form of a title and of a note: items of lists with
  // different identities pair by content in that form. Null: as they stand.
  TextForm titleForm = nullptr;
  TextForm noteForm = nullptr;
  // Likewise for the links: the handheld's form of a file link, and how many
  // of an item's address links its record holds. Null: as they stand, all.
  TextForm linkFileForm = nullptr;
  size_t (*addressLinksHeld)(const ListNode& item) = nullptr;
  // Null: a content pair keeps the winner's links as they stand.
  LinkForm desktopLinks = nullptr;
};

// Name of a method for the "Configured" lines ("nil" outside 0..4).
const char* collisionMethodName(int32_t method);

// Engine log line: formatted into a 512-byte buffer and written
// as its first character, four blanks and the rest. Left in the stream's
// buffer; synchronizeFile flushes the log before it returns.
void engineLine(const SyncContext& context, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Always 0; sets context.result and context.changed. The log is flushed
// on return.
int synchronizeFile(ItemList& desktop, ItemList& handheld, SyncContext& context);
int fastSync(ItemList& desktop, ItemList& handheld, SyncContext& context);
int slowSync(ItemList& desktop, ItemList& handheld, SyncContext& context);

}  // namespace tolvex
#endif
