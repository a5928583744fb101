// Merge speed on large lists: both sides hold the same items, every one
// content- and position-dirty on both sides, some with other content, some
// moved. Prints wall time per merge and the peak resident memory.
// Run: build/bin/bench_speed [largest size]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "libsync/SyncContext.h"

namespace tolvex {
namespace {

// A tree of `count` items: rows of random length, nesting a few levels deep.
std::vector<ListNode*> buildTree(ItemList& list, size_t count, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<ListNode*> nodes;
  nodes.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    auto item = std::make_unique<ListNode>(static_cast<uint32_t>(i + 1), &list);
    item->setTitle("Item " + std::to_string(i + 1));
    item->setNote("Some note text for item " + std::to_string(i + 1));
    ListNode* raw = item.get();
    if (nodes.empty()) {
      list.pushBack(std::move(item));
    } else {
      ListNode* at = nodes[nodes.size() - 1 - rng() % std::min<size_t>(nodes.size(), 8)];
      if (rng() % 3 == 0 && at->depth() < 6) at->insertFirstChild(std::move(item));
      else at->insertAfter(std::move(item));
    }
    nodes.push_back(raw);
  }
  return nodes;
}

void markAll(const std::vector<ListNode*>& nodes) {
  for (ListNode* n : nodes) {
    n->setDirtyContent(true);
    n->setDirtyPosition(true);
  }
}

struct Pair {
  ItemList desktop, handheld;
};

std::unique_ptr<Pair> makePair(size_t count) {
  auto pair = std::make_unique<Pair>();
  std::vector<ListNode*> dt = buildTree(pair->desktop, count, 7);
  std::vector<ListNode*> hh = buildTree(pair->handheld, count, 7);
  std::mt19937_64 rng(11);
  for (size_t i = 0; i < hh.size(); i += 7) hh[i]->setTitle("Changed " + std::to_string(i));
  for (size_t i = 3; i + 1 < hh.size(); i += 10) {   // moves: after a later item
    ListNode* target = hh[i + 1 + rng() % std::min<size_t>(hh.size() - i - 1, 50)];
    if (target->isWithinSubtreeOf(hh[i])) continue;
    target->insertAfter(hh[i]->unlink());
  }
  markAll(dt);
  markAll(hh);
  pair->desktop.setUniqueTime(1234);
  pair->handheld.setUniqueTime(1234);
  return pair;
}

long peakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

double runMerge(size_t count, int32_t kind, int32_t method, std::FILE* log, size_t* resultSize) {
  auto pair = makePair(count);
  SyncContext context;
  context.name = "Tolvk-Bench";
  context.kind = kind;
  context.method = method;
  context.log = log;
  auto start = std::chrono::steady_clock::now();
  synchronizeFile(pair->desktop, pair->handheld, context);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  *resultSize = context.result ? context.result->size() : 0;
  return seconds;
}

}  // namespace
}  // namespace tolvex

int main(int argc, char** argv) {
  using namespace tolvex;
  size_t largest = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 65000;
  std::FILE* log = std::fopen("/dev/null", "w");
  struct Run { const char* label; int32_t kind; int32_t method; };
  const Run runs[] = {{"fast HH over DT", kSyncFast, kHhOverDt}, {"fast DT over HH", kSyncFast, kDtOverHh},
                      {"fast By Time", kSyncFast, kByTime},       {"fast Keep/Duplicate", kSyncFast, kKeepDuplicate},
                      {"slow HH over DT", kSyncSlow, kHhOverDt}};
  std::printf("%8s  %-20s %10s %10s %10s %8s\n", "items", "merge", "logged s", "silent s", "result", "peak MB");
  for (size_t count : {1000u, 4000u, 16000u, 65000u}) {
    if (count > largest) break;
    for (const Run& run : runs) {
      size_t resultSize = 0;
      double logged = runMerge(count, run.kind, run.method, log, &resultSize);
      double silent = runMerge(count, run.kind, run.method, nullptr, &resultSize);
      std::printf("%8zu  %-20s %10.3f %10.3f %10zu %8.1f\n", count, run.label, logged, silent, resultSize,
                  peakRssKb() / 1024.0);
      std::fflush(stdout);
    }
  }
  std::fclose(log);
  return 0;
}
