#include <gtest/gtest.h>

#include "tests/libsync/EngineTestSupport.h"
#include "tests/libsync/RandomLists.h"
#include "tests/libsync/ReferenceEngine.h"

namespace tolvex {
namespace {

using testing::LogCapture;
using testing::RandomLists;

// Every field the merge can change, item by item in pre-order.
std::string fullState(const ItemList& list) {
  std::string out = testing::shape(list) + "\n" + testing::flagsOf(list) + "\n";
  ItemList::forEach(list.head(), WalkScope::kSubtree, [&out](ListNode* n) {
    out += std::to_string(n->uniqueID()) + (n->hasTitle() ? "'" + n->title() : "-") +
           (n->hasNote() ? "'" + n->note() : "-") + (n->localID() ? "'" + *n->localID() : "-") +
           std::to_string(n->progress()) + std::to_string(n->checked()) + "\n";
    return true;
  });
  return out;
}

struct Outcome {
  std::string desktop, handheld, log;
  int result = 0;   // 1 desktop, 2 handheld
  bool changed = false;
};

template <typename Synchronize>
Outcome runOne(uint64_t seed, const testing::RandomListOptions& options, int32_t kind, int32_t method,
               Synchronize synchronize) {
  RandomLists random(seed, options);
  ItemList desktop, handheld;
  random.fill(desktop, handheld);
  LogCapture log;
  SyncContext context;
  context.name = "Tolvk-Diff";
  context.kind = kind;
  context.method = method;
  context.log = log.file();
  synchronize(desktop, handheld, context);
  Outcome out;
  out.desktop = fullState(desktop);
  out.handheld = fullState(handheld);
  out.log = log.text();
  out.result = context.result == &desktop ? 1 : context.result == &handheld ? 2 : 0;
  out.changed = context.changed;
  EXPECT_EQ(testing::treeError(desktop), "");
  return out;
}

// The engine against the walk-from-the-head reference: same trees, same
// flags, byte-identical logs, on random pairs of every kind and method.
TEST(DifferentialTest, EngineMatchesWalkingReference) {
  testing::RandomListOptions options;
  options.maxItems = 200;
  testing::RandomListOptions duplicates = options;   // Keep/Duplicate and moves meet more often
  duplicates.dirtyContent = 0.6;
  duplicates.dirtyPosition = 0.6;
  int cases = 0;
  for (uint64_t seed = 1; seed <= 700 && !HasFailure(); ++seed) {
    for (int32_t kind : {kSyncFast, kSyncSlow}) {
      for (int32_t method = -1; method <= 5; ++method) {
        const auto& opts = seed % 2 ? options : duplicates;
        SCOPED_TRACE("seed " + std::to_string(seed) + " kind " + std::to_string(kind) + " method " +
                     std::to_string(method));
        Outcome fast = runOne(seed, opts, kind, method, [](ItemList& d, ItemList& h, SyncContext& c) {
          synchronizeFile(d, h, c);
        });
        Outcome ref = runOne(seed, opts, kind, method, [](ItemList& d, ItemList& h, SyncContext& c) {
          reference::synchronizeFile(d, h, c);
        });
        ASSERT_EQ(fast.desktop, ref.desktop);
        ASSERT_EQ(fast.handheld, ref.handheld);
        ASSERT_EQ(fast.log, ref.log);
        ASSERT_EQ(fast.result, ref.result);
        ASSERT_EQ(fast.changed, ref.changed);
        ++cases;
      }
    }
  }
  EXPECT_EQ(cases, 700 * 2 * 7);
}

}  // namespace
}  // namespace tolvex
