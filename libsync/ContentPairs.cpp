#include "libsync/ContentPairs.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

namespace tolvex::engine {
namespace {

void appendNumber(std::string& key, uint32_t value) {
  key.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// A text as the pairing reads it: in its form when the context gives one
// (the form stands for an absent text too), else with its presence.
void appendText(std::string& key, bool present, const std::string& text, TextForm form) {
  std::string formed = form ? form(text) : (present ? "+" : "-") + text;
  appendNumber(key, static_cast<uint32_t>(formed.size()));
  key += formed;
}

std::string contentKey(const ListNode& item, const SyncContext& context) {
  std::string key;
  for (uint32_t field : {uint32_t{item.progress()}, uint32_t{item.checked()}, uint32_t{item.priority()},
                         item.hhCreateTime(), item.hhStartTime(), item.hhFinishTime(), item.hhTargetTime(),
                         static_cast<uint32_t>(item.dispOverride().kind), item.dispOverride().value})
    appendNumber(key, field);
  appendText(key, item.hasTitle(), item.title(), context.titleForm);
  appendText(key, item.hasNote(), item.note(), context.noteForm);
  // Links too: a pair is taken for one item, and a side's links that the
  // other's do not match would be lost with its version.
  appendNumber(key, item.linkToDo());
  appendNumber(key, item.linkDatebook());
  const std::optional<std::string>& file = item.linkFile();
  appendText(key, file.has_value(), file ? *file : std::string(), context.linkFileForm);
  const std::vector<EabLink>& links = item.linkEAB();
  size_t held = links.size();
  if (context.addressLinksHeld) held = std::min(held, context.addressLinksHeld(item));
  appendNumber(key, static_cast<uint32_t>(held));
  for (size_t i = 0; i < held; ++i) {
    appendNumber(key, links[i].eabType);
    appendNumber(key, links[i].eabID);
  }
  return key;
}

}  // namespace

bool sameContent(const ListNode& a, const ListNode& b, const SyncContext& context) {
  return contentKey(a, context) == contentKey(b, context);
}

std::vector<ListNode*> pairByContent(const std::vector<ListNode*>& from, const std::vector<ListNode*>& among,
                                     const SyncContext& context) {
  // Candidates by the hash of their content, in order. A bucket's taken
  // items are skipped from its front, so equal items cost nothing to pass;
  // only items of other content that share a hash are compared again.
  struct Bucket {
    std::vector<ListNode*> items;
    size_t front = 0;
  };
  std::unordered_map<size_t, Bucket> buckets;
  const std::hash<std::string> hash;
  for (ListNode* item : among) buckets[hash(contentKey(*item, context))].items.push_back(item);
  std::vector<ListNode*> partners(from.size(), nullptr);
  for (size_t i = 0; i < from.size(); ++i) {
    const std::string key = contentKey(*from[i], context);
    auto found = buckets.find(hash(key));
    if (found == buckets.end()) continue;
    Bucket& bucket = found->second;
    for (size_t at = bucket.front; at < bucket.items.size(); ++at) {
      ListNode*& candidate = bucket.items[at];
      if (!candidate || contentKey(*candidate, context) != key) continue;
      partners[i] = candidate;
      candidate = nullptr;
      while (bucket.front < bucket.items.size() && !bucket.items[bucket.front]) ++bucket.front;
      break;
    }
  }
  return partners;
}

}  // namespace tolvex::engine
