// Items of two lists paired by what they hold. Lists with different identity
// stamps were not last synchronized with each other: every rebuild of a
// handheld list gives its items new IDs, so the IDs of the two sides say
// nothing, but an item both sides hold unchanged reads the same on both.
// Internal to the engine.
#ifndef TOLVEX_LIBSYNC_CONTENTPAIRS_H
#define TOLVEX_LIBSYNC_CONTENTPAIRS_H
#include <vector>

#include "libsync/SyncContext.h"

namespace tolvex::engine {

// True when the two items hold the same content: every field compareContent
// weighs but the ID, and the links, with the texts and links in the
// context's forms (when set).
bool sameContent(const ListNode& a, const ListNode& b, const SyncContext& context);

// For each item of `from`, in order, the first item of `among` (in its order)
// with the same content that no earlier item took; null for none. One to one,
// linear in the items and their texts.
std::vector<ListNode*> pairByContent(const std::vector<ListNode*>& from, const std::vector<ListNode*>& among,
                                     const SyncContext& context);

}  // namespace tolvex::engine
#endif
