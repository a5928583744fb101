#include <cstdarg>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "libsync/ContentPairs.h"
#include "libsync/EngineSteps.h"
#include "libsync/SyncContext.h"

namespace tolvex {
namespace {

constexpr const char* kMethodNames[] = {"nil", "HH over DT", "DT over HH", "By Time", "Keep/Duplicate"};
constexpr size_t kLineBytes = 512;

// A line that did not fit: cut it at a character boundary and, when the
// message was a whole line, keep its line end.
void fitCutLine(char* buffer, bool endsLine) {
  size_t cut = kLineBytes - 2;
  while (cut > 0 && (static_cast<unsigned char>(buffer[cut]) & 0xC0) == 0x80) --cut;
  if (endsLine) {
    buffer[cut] = '\n';
    buffer[cut + 1] = '\0';
  } else {
    buffer[cut] = '\0';
  }
}

// Most engine lines hold no conversion but "%s": such a line is put together
// here, byte for byte as vsnprintf would, when it fits in `size`. Answers
// its length, or -1 for any other line (vsnprintf then makes it).
int formatPlain(char* out, size_t size, const char* format, va_list args) {
  for (const char* p = format; (p = std::strchr(p, '%')); p += 2)
    if (p[1] != 's') return -1;
  size_t n = 0;
  const auto append = [&](const char* text, size_t length) {
    if (n + length >= size) return false;
    std::memcpy(out + n, text, length);
    n += length;
    return true;
  };
  for (const char* p = format;;) {
    const char* percent = std::strchr(p, '%');
    const size_t run = percent ? static_cast<size_t>(percent - p) : std::strlen(p);
    if (!append(p, run)) return -1;
    if (!percent) break;
    const char* text = va_arg(args, const char*);
    if (!text || !append(text, std::strlen(text))) return -1;
    p = percent + 2;  // past the 's'
  }
  out[n] = '\0';
  return static_cast<int>(n);
}

}  // namespace

const char* collisionMethodName(int32_t method) {
  return method >= 0 && method <= 4 ? kMethodNames[method] : kMethodNames[0];
}

void engineLine(const SyncContext& context, const char* format, ...) {
  if (!context.log) return;
  // The text is formatted four bytes in, so that its first character can go
  // in front of the four blanks and the line leaves in one write. vsnprintf
  // terminates the text, and a cut line is cut only within what it wrote, so
  // the rest of the buffer is never read and need not be zeroed.
  char line[kLineBytes + 4];
  char* buffer = line + 4;
  buffer[0] = '\0';
  va_list args;
  va_start(args, format);
  va_list plain;
  va_copy(plain, args);
  int length = formatPlain(buffer, kLineBytes, format, plain);
  va_end(plain);
  if (length < 0) length = std::vsnprintf(buffer, kLineBytes, format, args);
  va_end(args);
  if (length <= 0) return;
  size_t rest = static_cast<size_t>(length) - 1;  // after its first character
  if (static_cast<size_t>(length) >= kLineBytes) {
    size_t formatLength = std::strlen(format);
    fitCutLine(buffer, formatLength > 0 && format[formatLength - 1] == '\n');
    rest = std::strlen(buffer + 1);
  }
  // A title may hold line breaks; in the log they would start lines that a
  // reader takes for the engine's own. Only a line with conversions has any;
  // the breaks that end it stay.
  if (std::strchr(format, '%')) {
    char* const from = buffer + 1;
    char* end = from + rest;
    while (end > from && (end[-1] == '\n' || end[-1] == '\r')) --end;
    // Nearly every line has none: two quick scans before any byte is looked at alone.
    const size_t inside = static_cast<size_t>(end - from);
    if (std::memchr(from, '\n', inside) || std::memchr(from, '\r', inside)) {
      for (char* c = from; c < end; ++c)
        if (*c == '\n' || *c == '\r') *c = ' ';
    }
  }
  // Its first character, four blanks, and the rest up to its end.
  line[0] = buffer[0];
  std::memset(line + 1, ' ', 4);
  // The engine works in memory only, so its lines wait in the stream's
  // buffer: synchronizeFile flushes them when it returns, and a full buffer
  // goes out on its own. One write per line cost more than the merge.
  std::fwrite(line, 1, rest + 5, context.log);
}

namespace {

// A clean copy of `item` for the list `to`, as an item new there: its ID
// belongs to the other list.
std::unique_ptr<ListNode> newCopy(const ListNode& item, ItemList& to) {
  auto copy = item.clone(true);
  copy->setUniqueID(0);
  copy->setList(&to);
  return copy;
}

// A copy of `top` and of the live items below it, for `to`, new there.
std::unique_ptr<ListNode> liveCopy(const ListNode& top, ItemList& to) {
  auto copyOf = [&to](const ListNode& item) { return newCopy(item, to); };
  auto root = copyOf(top);
  ListNode* placedRoot = root.get();
  struct Row {
    const ListNode* source;
    ListNode* parentCopy;
    ListNode* lastCopy;
  };
  std::vector<Row> rows{{top.firstChild(), placedRoot, nullptr}};
  while (!rows.empty()) {
    Row& row = rows.back();
    const ListNode* source = row.source;
    if (!source) {
      rows.pop_back();
      continue;
    }
    row.source = source->next();
    if (source->deleted()) continue;  // with everything below it
    auto copy = copyOf(*source);
    ListNode* placed = copy.get();
    if (row.lastCopy) row.lastCopy->insertAfter(std::move(copy));
    else row.parentCopy->insertFirstChild(std::move(copy));
    row.lastCopy = placed;
    rows.push_back({source->firstChild(), placed, nullptr});
  }
  return root;
}

// The losing list gives way, but nothing it holds live is lost. What its side
// made or edited since the last HotSync goes, with the live items below it,
// in order to the end of the winning list; so does, alone, every other live
// item the winner does not hold (by content, one to one; an item the winner
// deleted since counts as held: its side deleted it). An item whose parent
// went alone goes below that parent's copy instead. A desktop list still
// waiting to go to the handheld (its upload asked for, say after a failed
// rename) never reached it, so none of its live items can have been deleted
// there: all of them stay.
// The children of `parent` in the winning list (its top-level row when
// null), appended to at their end.
struct Children {
  ListNode* parent;
  ListNode* last;
  ListNode* append(std::unique_ptr<ListNode> item, ItemList& list) {
    ListNode* placed = item.get();
    if (last) last->insertAfter(std::move(item));
    else if (parent) parent->insertFirstChild(std::move(item));
    else list.pushBack(std::move(item));
    last = placed;
    return placed;
  }
};

void keepLosingWork(const ItemList& loser, bool loserIsDesktop, ItemList& winner, const SyncContext& context) {
  const bool waiting = loserIsDesktop && loser.uploadFile() != 0;
  // The loser's live items in pre-order: those kept whole with their subtree,
  // and the others, which stay unless the winner holds them.
  struct Entry {
    ListNode* item;
    bool whole;
  };
  std::vector<Entry> entries;
  std::vector<ListNode*> others, held;
  std::vector<ListNode*> rows;
  if (loser.head()) rows.push_back(loser.head());
  while (!rows.empty()) {
    ListNode* item = rows.back();
    rows.pop_back();
    if (item->next()) rows.push_back(item->next());
    if (item->deleted()) continue;  // with everything below it
    bool whole = waiting || (loserIsDesktop ? engine::isDesktopWork(*item) : engine::isHandheldWork(*item));
    entries.push_back({item, whole});
    if (whole) continue;
    others.push_back(item);
    if (item->firstChild()) rows.push_back(item->firstChild());
  }
  ItemList::forEach(winner.head(), WalkScope::kSubtree, [&held](ListNode* item) {
    held.push_back(item);
    return true;
  });
  const std::vector<ListNode*> inWinner = engine::pairByContent(others, held, context);

  std::unordered_map<const ListNode*, Children> kept;  // loser item kept alone -> its copy's children
  Children top{nullptr, winner.head() ? winner.head()->lastSibling() : nullptr};
  size_t other = 0;
  for (const Entry& entry : entries) {
    const ListNode& item = *entry.item;
    if (!entry.whole) {
      if (ListNode* twin = inWinner[other++]) {
        // Held in the handheld's form: the desktop's whole texts stay.
        if (loserIsDesktop) engine::takeDesktopTexts(*twin, item, context);
        continue;
      }
      engineLine(context, "#   Keep item the other side does not hold: %s\n", item.title().c_str());
    } else {
      engineLine(context, waiting ? "#   Keep item waiting to go to the handheld: %s\n" : "#   Keep new or edited item: %s\n",
                 item.title().c_str());
    }
    auto parent = item.parent() ? kept.find(item.parent()) : kept.end();
    Children& below = parent == kept.end() ? top : parent->second;
    ListNode* placed = below.append(entry.whole ? liveCopy(item, winner) : newCopy(item, winner), winner);
    if (!entry.whole) kept.emplace(&item, Children{placed, nullptr});
  }
}

// Two lists with different identity stamps share only a name: no item merge,
// the configured side wins whole, keeping whatever the other side holds
// live that the winner does not.
void resolveForeignPair(ItemList& desktop, ItemList& handheld, SyncContext& context) {
  engineLine(context, "! File unique: DT(%u) HH(%ul)\n", desktop.uniqueTime(), handheld.uniqueTime());
  engineLine(context,
             "! Collision; it is likely you deleted a file and\n  then created another one with the same name.\n");
  if (context.method == kDtOverHh) {
    engineLine(context, "! Your setting suggests DT over HH. Clobbering!\n");
    context.result = &desktop;
  } else if (context.method == kHhOverDt) {
    engineLine(context, "! Your setting suggests HH over DT. Clobbering!\n");
    context.result = &handheld;
  } else {
    engineLine(context, "! Your setting doesn't help in this situation; assuming!\nHH over DT to resolve. Clobbering!\n");
    context.result = &handheld;
  }
  const bool desktopWins = context.result == &desktop;
  keepLosingWork(desktopWins ? handheld : desktop, !desktopWins, *context.result, context);
  // The winner is written to both sides as it stands: its deleted items
  // must not arrive there as live ones.
  context.result->purgeDeleted();
  desktop.clearAllDirtyPosition();
  desktop.clearAllDirtyContent();
  handheld.clearAllDirtyPosition();
  handheld.clearAllDirtyContent();
  context.changed = true;
}

}  // namespace

namespace {

int synchronizeBoth(ItemList& desktop, ItemList& handheld, SyncContext& context) {
  engineLine(context, "# Synchronize file: '%s'\n", context.name.c_str());
  engineLine(context, "#   libsync version: %s built: %s\n", "0.7.2", "Oct 14 2003");
  if (handheld.findByUniqueId(0)) {
    engineLine(context,
               "! WARNING: The handheld data appears to be test data with\n!   invalid Unique-IDs. Ensure "
               "handheld Unique-IDs are\n!    non-zero. Crossing fingers.\n");
  }
  if (context.kind == kSyncFast) {
    if (desktop.uniqueTime() != handheld.uniqueTime()) {
      resolveForeignPair(desktop, handheld, context);
      return 0;
    }
    engineLine(context, "#   Both sides are same file. Will attempt to sync.\n");
    fastSync(desktop, handheld, context);
  } else {
    engineLine(context, "#   Collision test skipped on slow.\n");
    slowSync(desktop, handheld, context);
  }
  context.result = &desktop;
  return 0;
}

}  // namespace

int synchronizeFile(ItemList& desktop, ItemList& handheld, SyncContext& context) {
  const int result = synchronizeBoth(desktop, handheld, context);
  if (context.log) std::fflush(context.log);
  return result;
}

namespace engine {

int32_t effectiveMethod(const SyncContext& context) {
  return context.method >= 0 && context.method <= 4 ? context.method : kMethodNil;
}

void deletionListing(const ItemList& desktop, const SyncContext& context) {
  // Pre-order with the depth of each row on the stack.
  struct Row { const ListNode* item; int depth; };
  std::vector<Row> pending;
  if (desktop.head()) pending.push_back({desktop.head(), 0});
  while (!pending.empty()) {
    Row& row = pending.back();
    const ListNode* item = row.item;
    int depth = row.depth;
    if (!item) {
      pending.pop_back();
      continue;
    }
    row.item = item->next();
    if (item->deleted()) {
      engineLine(context, "# %*s%s%s%s%s\n", 3 * depth, "", item->title().c_str(),
                 item->dirtyContent() ? " <dirtyContent>" : "", " <del>",
                 item->dirtyPosition() ? " <dirtyPos>" : "");
    }
    if (item->firstChild()) pending.push_back({item->firstChild(), depth + 1});
  }
}

ListNode* counterpart(const ItemList& desktop, const ListNode* handheldItem) {
  return handheldItem ? desktop.findByUniqueId(handheldItem->uniqueID()) : nullptr;
}

void replaceByCopy(ListNode* target, const ListNode& source) {
  auto copy = source.clone(true);
  copy->copyLocalIdFrom(*target);
  target->replaceWith(std::move(copy)).reset();
}

void takeDesktopTexts(ListNode& handheldItem, const ListNode& desktopItem, const SyncContext& context) {
  if (handheldItem.hasTitle() != desktopItem.hasTitle() || handheldItem.title() != desktopItem.title()) {
    if (desktopItem.hasTitle()) handheldItem.setTitle(desktopItem.title());
    else handheldItem.clearTitle();
  }
  if (handheldItem.hasNote() != desktopItem.hasNote() || handheldItem.note() != desktopItem.note()) {
    if (desktopItem.hasNote()) handheldItem.setNote(desktopItem.note());
    else handheldItem.clearNote();
  }
  // After the texts: they decide how many links the handheld's record holds.
  if (context.desktopLinks) context.desktopLinks(handheldItem, desktopItem);
}

bool usableReferent(const ListNode* referent, const ListNode* moving) {
  if (!referent) return false;
  // Where the item already stands, or beside its previous sibling: no walk
  // up a deep branch is needed to know these are outside its subtree.
  if (referent == moving->parent() || referent == moving->prev()) return true;
  return !referent->isWithinSubtreeOf(moving);
}

}  // namespace engine
}  // namespace tolvex
